#include "platform/clock.h"

#include <chrono>
#include <ctime>
#include <thread>

#include "platform/datetime.h"

namespace larkspire {
namespace {

class TSystemClock : public IClock {
 public:
  uint32_t TickCount() override {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
  }
  double Now() override {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    TDateTimeParts parts;
    parts.year = local.tm_year + 1900;
    parts.month = local.tm_mon + 1;
    parts.day = local.tm_mday;
    parts.hour = local.tm_hour;
    parts.minute = local.tm_min;
    parts.second = local.tm_sec > 59 ? 59 : local.tm_sec;
    parts.millisecond = static_cast<int>(ms);
    return EncodeDateTime(parts);
  }
  void Sleep(uint32_t milliseconds) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  }
};

std::atomic<IClock*> g_clock{nullptr};

}  // namespace

IClock& SystemClock() {
  static TSystemClock clock;
  return clock;
}

IClock& Clock() {
  IClock* clock = g_clock.load();
  return clock != nullptr ? *clock : SystemClock();
}

IClock* SetClock(IClock* clock) {
  return g_clock.exchange(clock);
}

void TManualClock::Sleep(uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds < 5 ? milliseconds : 5));
}

}  // namespace larkspire
