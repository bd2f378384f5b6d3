#include "server/net/inflight_budget.h"

#include <algorithm>

namespace larkspire::server {

bool TInflightBudget::Acquire(uint64_t bytes, std::chrono::milliseconds wait) {
  if (bytes > limit_) return false;
  std::unique_lock lock(mutex_);
  if (!freed_.wait_for(lock, wait, [&] { return limit_ - used_ >= bytes; })) return false;
  used_ += bytes;
  return true;
}

uint64_t TInflightBudget::AcquireUpTo(uint64_t at_least, uint64_t at_most,
                                      std::chrono::milliseconds wait) {
  at_least = std::min(at_least, at_most);
  if (at_least > limit_) return 0;
  std::unique_lock lock(mutex_);
  if (!freed_.wait_for(lock, wait, [&] { return limit_ - used_ >= at_least; })) return 0;
  const uint64_t taken = std::min(at_most, limit_ - used_);
  used_ += taken;
  return taken;
}

void TInflightBudget::Release(uint64_t bytes) {
  {
    std::lock_guard lock(mutex_);
    used_ -= std::min(used_, bytes);
  }
  freed_.notify_all();
}

uint64_t TInflightBudget::InUse() {
  std::lock_guard lock(mutex_);
  return used_;
}

void TInflightShare::ShrinkTo(uint64_t bytes) {
  if (budget_ == nullptr || bytes >= bytes_) return;
  budget_->Release(bytes_ - bytes);
  bytes_ = bytes;
}

}  // namespace larkspire::server
