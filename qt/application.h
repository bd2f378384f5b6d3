// TLarkspireApplication: the application object of a Larkspire Qt program. It knows the main
// form (the window on which wait windows centre and whose closing ends the program) and is the
// last line of the default exception handling: an exception that escapes an event handler is
// shown by ShowException and the program goes on.
//
// Thread-safety: main thread only.
#ifndef LARKSPIRE_QT_APPLICATION_H_
#define LARKSPIRE_QT_APPLICATION_H_

#include <QApplication>

class QWidget;

namespace larkspire {

class TLarkspireApplication : public QApplication {
 public:
  TLarkspireApplication(int& argc, char** argv);

  bool notify(QObject* receiver, QEvent* event) override;

  // The application's main form; falls back to the active window while none is set. Works
  // with any QApplication.
  static QWidget* MainForm();
  static void SetMainForm(QWidget* form);
};

}  // namespace larkspire

#endif  // LARKSPIRE_QT_APPLICATION_H_
