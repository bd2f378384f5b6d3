// TQtWaitWindow: the Qt backend of the connection's wait window: a frameless, modal window
// centred on the application's main form, a grey frame with a green inner frame and the
// message in Arial 9, shown while a command runs on the worker thread.
//
//   InstallQtWaitWindows();   // before the first connection is created
//
// Thread-safety: created, driven and destroyed on the main thread.
#ifndef LARKSPIRE_QT_WAIT_WINDOW_H_
#define LARKSPIRE_QT_WAIT_WINDOW_H_

#include <QPointer>
#include <functional>
#include <string>

#include "platform/wait_window.h"

class QDialog;

namespace larkspire {

class TQtWaitWindow : public IWaitWindowBackend {
 public:
  // The window's object name, for tests and screenshots that look for it.
  static constexpr const char* kObjectName = "LarkspireWaitForm";

  TQtWaitWindow();
  ~TQtWaitWindow() override;

  int TextWidth(const std::string& text) override;
  void Apply(const TWaitWindowLayout& layout) override;
  void RunModal(int interval_ms, const std::function<bool()>& tick) override;

  // The window (created on first use); it stays hidden between waits.
  QDialog* Window();

 private:
  void PlaceOnMainForm();

  QPointer<QDialog> window_;
  TWaitWindowLayout layout_;
};

// Makes every wait window created from now on a TQtWaitWindow.
void InstallQtWaitWindows();

}  // namespace larkspire

#endif  // LARKSPIRE_QT_WAIT_WINDOW_H_
