// TJumpingClock: the system clock, whose ticks a test moves ahead at once (Jump), for code that
// measures ages on the tick count while real waits (resends, keep-alives) still run in real
// time. It installs itself for its lifetime and puts the previous clock back.
//
// Thread-safety: Jump and the clock functions may be called from any thread.
#ifndef LARKSPIRE_TESTS_SUPPORT_JUMPING_CLOCK_H_
#define LARKSPIRE_TESTS_SUPPORT_JUMPING_CLOCK_H_

#include <atomic>
#include <cstdint>

#include "platform/clock.h"

namespace larkspire::test {

class TJumpingClock : public IClock {
 public:
  TJumpingClock() { previous_ = SetClock(this); }
  TJumpingClock(const TJumpingClock&) = delete;
  TJumpingClock& operator=(const TJumpingClock&) = delete;
  ~TJumpingClock() override { SetClock(previous_); }
  uint32_t TickCount() override { return SystemClock().TickCount() + ahead_.load(); }
  double Now() override { return SystemClock().Now(); }
  void Sleep(uint32_t milliseconds) override { SystemClock().Sleep(milliseconds); }
  void Jump(uint32_t milliseconds) { ahead_ += milliseconds; }

 private:
  IClock* previous_ = nullptr;
  std::atomic<uint32_t> ahead_{0};
};

}  // namespace larkspire::test

#endif  // LARKSPIRE_TESTS_SUPPORT_JUMPING_CLOCK_H_
