#include "platform/thread.h"

namespace larkspire {

TThread::~TThread() {
  WaitFor();
}

void TThread::Start() {
  if (thread_.joinable()) return;
  thread_ = std::thread([this] {
    try {
      Execute();
    } catch (...) {
      fatal_ = std::current_exception();
    }
    finished_ = true;
  });
}

void TThread::WaitFor() {
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

}  // namespace larkspire
