#include "platform/wait_window.h"

#include <mutex>

#include "platform/clock.h"

namespace larkspire {
namespace {

std::mutex g_mutex;
TWaitWindowFactory g_factory;

}  // namespace

int THeadlessWaitWindow::TextWidth(const std::string& text) {
  int characters = 0;
  for (unsigned char c : text)
    if ((c & 0xC0) != 0x80) ++characters;
  return characters * 7;
}

void THeadlessWaitWindow::RunModal(int interval_ms, const std::function<bool()>& tick) {
  while (true) {
    if (hook_) hook_();
    if (tick()) return;
    SystemClock().Sleep(static_cast<uint32_t>(interval_ms));
  }
}

void SetWaitWindowFactory(TWaitWindowFactory factory) {
  std::lock_guard lock(g_mutex);
  g_factory = std::move(factory);
}

std::unique_ptr<IWaitWindowBackend> CreateWaitWindowBackend() {
  std::lock_guard lock(g_mutex);
  if (g_factory) return g_factory();
  return std::make_unique<THeadlessWaitWindow>();
}

}  // namespace larkspire
