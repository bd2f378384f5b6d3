// Time as the library sees it: a millisecond tick counter that wraps, the current date number and
// sleep. Everything goes through an IClock so that tests can drive time instead of waiting.
//
// Thread-safety: the clock functions may be called from any thread; install a clock before
// threads start using it.
#ifndef LARKSPIRE_PLATFORM_CLOCK_H_
#define LARKSPIRE_PLATFORM_CLOCK_H_

#include <atomic>
#include <cstdint>

namespace larkspire {

class IClock {
 public:
  virtual ~IClock() = default;
  // Milliseconds since an arbitrary start, wrapping at 2^32.
  virtual uint32_t TickCount() = 0;
  // Local date and time as a date number.
  virtual double Now() = 0;
  virtual void Sleep(uint32_t milliseconds) = 0;
};

// The system clock.
IClock& SystemClock();
// The clock in use (the system clock unless a test installed another).
IClock& Clock();
// Installs a clock; nullptr restores the system clock. Returns the previous one.
IClock* SetClock(IClock* clock);

inline uint32_t TickCount() {
  return Clock().TickCount();
}
inline double Now() {
  return Clock().Now();
}
inline void Sleep(uint32_t milliseconds) {
  Clock().Sleep(milliseconds);
}

// A clock for tests: ticks move only when Advance is called; Sleep sleeps for real, briefly
// (threads that poll still get to run), but does not move the ticks.
class TManualClock : public IClock {
 public:
  explicit TManualClock(uint32_t start = 0) : ticks_(start) {}
  uint32_t TickCount() override { return ticks_.load(); }
  double Now() override { return 46000.0 + ticks_.load() / 86400000.0; }
  void Sleep(uint32_t milliseconds) override;
  void Advance(uint32_t milliseconds) { ticks_ += milliseconds; }

 private:
  std::atomic<uint32_t> ticks_;
};

}  // namespace larkspire

#endif  // LARKSPIRE_PLATFORM_CLOCK_H_
