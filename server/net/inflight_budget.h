// The memory all requests in flight may hold together (--max-inflight): a request's frame body
// while it is read, and what it inflates to while it is decoded and served. A session takes its
// share before the bytes arrive; when the budget is spent it waits a little for others to give
// theirs back, and otherwise refuses the request with a retryable code (its body is read and
// dropped, so the connection stays in step and nothing else is lost).
//
// Thread-safety: every member may be called from any session at once.
#ifndef LARKSPIRE_SERVER_INFLIGHT_BUDGET_H_
#define LARKSPIRE_SERVER_INFLIGHT_BUDGET_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace larkspire::server {

class TInflightBudget {
 public:
  static constexpr std::chrono::milliseconds kWait{2000};

  explicit TInflightBudget(uint64_t limit) : limit_(limit) {}

  // Takes bytes from the budget, waiting up to wait for them; false when they did not come
  // free in time (or are more than the whole budget).
  bool Acquire(uint64_t bytes, std::chrono::milliseconds wait = kWait);
  // Takes as much as is free now, between at_least and at_most, waiting up to wait for
  // at_least; 0 when even that did not come free.
  uint64_t AcquireUpTo(uint64_t at_least, uint64_t at_most, std::chrono::milliseconds wait = kWait);
  void Release(uint64_t bytes);
  uint64_t Limit() const { return limit_; }
  uint64_t InUse();

 private:
  const uint64_t limit_;
  std::mutex mutex_;
  std::condition_variable freed_;
  uint64_t used_ = 0;
};

// A share of the budget given back when it goes out of scope.
class TInflightShare {
 public:
  explicit TInflightShare(TInflightBudget* budget) : budget_(budget) {}
  TInflightShare(const TInflightShare&) = delete;
  TInflightShare& operator=(const TInflightShare&) = delete;
  ~TInflightShare() { Reset(); }
  // Adds bytes already acquired to the share.
  void Add(uint64_t bytes) { bytes_ += bytes; }
  // Gives back what exceeds bytes.
  void ShrinkTo(uint64_t bytes);
  void Reset() { ShrinkTo(0); }

 private:
  TInflightBudget* budget_;
  uint64_t bytes_ = 0;
};

}  // namespace larkspire::server

#endif  // LARKSPIRE_SERVER_INFLIGHT_BUDGET_H_
