// The seam between the connection's wait window and a window system. The window logic (its
// geometry rules and when it closes) lives in the components; a backend only measures text,
// applies the geometry and runs the modal loop. The demo installs a Qt backend; the default has
// no window and pumps a message hook every 10 ms until the wait is over.
//
// Thread-safety: a backend is driven from the thread that shows the window (the main thread).
#ifndef LARKSPIRE_PLATFORM_WAIT_WINDOW_H_
#define LARKSPIRE_PLATFORM_WAIT_WINDOW_H_

#include <functional>
#include <memory>
#include <string>

namespace larkspire {

struct TWaitWindowLayout {
  int Width = 200;
  int Height = 40;
  int MinWidth = 100;
  int InnerLeft = 3;
  int InnerTop = 3;
  int InnerWidth = 194;
  int InnerHeight = 34;
  int LabelLeft = 15;
  int LabelTop = 13;
  std::string Caption = "请等待...";
};

class IWaitWindowBackend {
 public:
  virtual ~IWaitWindowBackend() = default;
  // Width of text in the label's font ("Arial", size 9), in pixels.
  virtual int TextWidth(const std::string& text) = 0;
  // Applies the layout (the window stays centred on the application's main window).
  virtual void Apply(const TWaitWindowLayout& layout) = 0;
  // Shows the window modally and calls tick every interval_ms while processing messages;
  // returns once tick has returned true (the window is then closed).
  virtual void RunModal(int interval_ms, const std::function<bool()>& tick) = 0;
};

// The windowless backend: text is 7 pixels a character, and RunModal calls the message hook,
// then tick, every interval.
class THeadlessWaitWindow : public IWaitWindowBackend {
 public:
  int TextWidth(const std::string& text) override;
  void Apply(const TWaitWindowLayout& layout) override { layout_ = layout; }
  void RunModal(int interval_ms, const std::function<bool()>& tick) override;

  void SetMessageHook(std::function<void()> hook) { hook_ = std::move(hook); }
  const TWaitWindowLayout& Layout() const { return layout_; }

 private:
  std::function<void()> hook_;
  TWaitWindowLayout layout_;
};

// Makes the backend for each new wait window; the default makes THeadlessWaitWindow.
using TWaitWindowFactory = std::function<std::unique_ptr<IWaitWindowBackend>()>;
void SetWaitWindowFactory(TWaitWindowFactory factory);
std::unique_ptr<IWaitWindowBackend> CreateWaitWindowBackend();

}  // namespace larkspire

#endif  // LARKSPIRE_PLATFORM_WAIT_WINDOW_H_
