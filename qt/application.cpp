#include "qt/application.h"

#include <QPointer>
#include <QWidget>

#include "qt/exception_handler.h"

namespace larkspire {
namespace {

QPointer<QWidget>& MainFormPointer() {
  static QPointer<QWidget> form;
  return form;
}

}  // namespace

TLarkspireApplication::TLarkspireApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TLarkspireApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (...) {
    HandleException(std::current_exception());
    return false;
  }
}

QWidget* TLarkspireApplication::MainForm() {
  QWidget* form = MainFormPointer();
  return form != nullptr ? form : QApplication::activeWindow();
}

void TLarkspireApplication::SetMainForm(QWidget* form) {
  MainFormPointer() = form;
}

}  // namespace larkspire
