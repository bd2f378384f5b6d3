// Date numbers: days since 1899-12-30 with the time of day as the fraction, and their text.
//
// Thread-safety: pure functions.
#ifndef LARKSPIRE_PLATFORM_DATETIME_H_
#define LARKSPIRE_PLATFORM_DATETIME_H_

#include <string>

namespace larkspire {

// A date and a time of day to the microsecond: 13:14:15.123456 is millisecond 123 and
// microsecond 456.
struct TDateTimeParts {
  int year = 1899, month = 12, day = 30;
  int hour = 0, minute = 0, second = 0, millisecond = 0;
  int microsecond = 0;  // 0 to 999, below the millisecond
};

// Raises EVariantError for a date or time out of range.
double EncodeDateTime(const TDateTimeParts& parts);
// The parts of a date number. The fraction of a second is the shortest (whole seconds, then
// milliseconds, then microseconds) that encodes to the same number, so a value encoded from
// parts decodes to those parts.
TDateTimeParts DecodeDateTime(double days);
// "2026-12-09 13:45:00", with ".123" when there are milliseconds and ".123456" when there are
// microseconds; the date alone when the time is midnight.
std::string DateTimeToText(double days);
// The fraction of a second as ".5" or ".123456", without trailing zeros; empty for none.
std::string SecondFractionText(const TDateTimeParts& parts);
// Accepts "YYYY-MM-DD", "YYYY-MM-DD HH:MM[:SS[.ffffff]]", "YYYY-MM-DDTHH:MM:SS[.ffffff]" and
// "HH:MM[:SS[.ffffff]]"; digits after the sixth are dropped.
bool TextToDateTime(const std::string& text, double& days);

}  // namespace larkspire

#endif  // LARKSPIRE_PLATFORM_DATETIME_H_
