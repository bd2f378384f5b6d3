// TLarkspireWaitForm: the small modal window shown while a command with a wait message runs on
// the worker thread. It keeps the window's geometry rules (200 x 40, at least 100 wide, the
// inner frame 6 narrower than the window, the caption "请等待..." until ShowText) and closes
// itself on the first 10 ms timer tick after Running has gone false. Drawing and the modal loop
// are the backend's (platform/wait_window.h).
//
// Thread-safety: ShowText and WaitModal run on the thread that shows the window; Running may
// be cleared from the worker thread.
#ifndef LARKSPIRE_COMPONENTS_WAIT_FORM_H_
#define LARKSPIRE_COMPONENTS_WAIT_FORM_H_

#include <atomic>
#include <memory>
#include <string>

#include "platform/wait_window.h"

namespace larkspire {

class TLarkspireWaitForm {
 public:
  // Takes the backend from the installed wait-window factory.
  TLarkspireWaitForm();
  explicit TLarkspireWaitForm(std::unique_ptr<IWaitWindowBackend> backend);
  TLarkspireWaitForm(const TLarkspireWaitForm&) = delete;
  TLarkspireWaitForm& operator=(const TLarkspireWaitForm&) = delete;
  ~TLarkspireWaitForm();

  std::atomic<bool> Running{false};

  // Sets the caption and sizes the window to the text: its width plus 30, at least 100.
  void ShowText(const std::string& text);
  // Shows the window modally until a timer tick finds Running false.
  void WaitModal();
  // The timer handler: true when the window closed.
  bool CheckDone();

  const TWaitWindowLayout& Layout() const { return layout_; }
  bool TimerEnabled() const { return timer_enabled_; }
  IWaitWindowBackend& Backend() { return *backend_; }

 private:
  std::unique_ptr<IWaitWindowBackend> backend_;
  TWaitWindowLayout layout_;
  bool timer_enabled_ = false;
};

}  // namespace larkspire

#endif  // LARKSPIRE_COMPONENTS_WAIT_FORM_H_
