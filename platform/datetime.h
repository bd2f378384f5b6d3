// Date numbers: days since 1899-12-30 with the time of day as the fraction, and their text.
//
// Thread-safety: pure functions.
#ifndef LARKSPIRE_PLATFORM_DATETIME_H_
#define LARKSPIRE_PLATFORM_DATETIME_H_

#include <string>

namespace larkspire {

struct TDateTimeParts {
  int year = 1899, month = 12, day = 30;
  int hour = 0, minute = 0, second = 0, millisecond = 0;
};

// Raises EVariantError for a date or time out of range.
double EncodeDateTime(const TDateTimeParts& parts);
TDateTimeParts DecodeDateTime(double days);
// "2026-12-09 13:45:00", with ".123" when there are milliseconds; the date alone when the time
// is midnight.
std::string DateTimeToText(double days);
// Accepts "YYYY-MM-DD", "YYYY-MM-DD HH:MM[:SS[.fff]]", "YYYY-MM-DDTHH:MM:SS[.fff]" and "HH:MM[:SS]".
bool TextToDateTime(const std::string& text, double& days);

}  // namespace larkspire

#endif  // LARKSPIRE_PLATFORM_DATETIME_H_
