#include "platform/datetime.h"

#include <cmath>
#include <cstdio>

#include "platform/exception.h"

namespace larkspire {
namespace {

bool IsLeap(int y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int DaysInMonth(int y, int m) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

// Days from 0001-01-01 to the given date (proleptic Gregorian), 0-based.
long long DayNumber(int y, int m, int d) {
  long long days = 0;
  const long long py = y - 1;
  days = py * 365 + py / 4 - py / 100 + py / 400;
  for (int i = 1; i < m; ++i) days += DaysInMonth(y, i);
  return days + d - 1;
}

const long long kEpoch = DayNumber(1899, 12, 30);
constexpr long long kMicrosPerDay = 86400000000LL;

// The date number of a day and a time of day in microseconds. Before the epoch the fraction
// still counts forward from midnight, as the platform's does.
double ComposeDays(double date, long long micros) {
  const double time = static_cast<double>(micros) / static_cast<double>(kMicrosPerDay);
  return date >= 0 ? date + time : date - time;
}

void CivilFromDays(long long n, int& y, int& m, int& d) {
  // n: days since 0001-01-01. Walk 400-year cycles, then years, then months.
  long long cycles = n / 146097;
  long long rest = n % 146097;
  if (rest < 0) {
    rest += 146097;
    --cycles;
  }
  int year = static_cast<int>(cycles * 400) + 1;
  while (true) {
    const int len = IsLeap(year) ? 366 : 365;
    if (rest < len) break;
    rest -= len;
    ++year;
  }
  int month = 1;
  while (rest >= DaysInMonth(year, month)) {
    rest -= DaysInMonth(year, month);
    ++month;
  }
  y = year;
  m = month;
  d = static_cast<int>(rest) + 1;
}

// The fraction of a second at s (its '.'), to the microsecond; s moves past its digits.
bool ReadFraction(const char*& s, TDateTimeParts& p) {
  ++s;
  int digits = 0, micros = 0;
  while (*s >= '0' && *s <= '9') {
    if (digits < 6) micros = micros * 10 + (*s - '0');
    ++digits;
    ++s;
  }
  if (digits == 0) return false;
  for (int i = digits; i < 6; ++i) micros *= 10;
  p.millisecond = micros / 1000;
  p.microsecond = micros % 1000;
  return true;
}

}  // namespace

double EncodeDateTime(const TDateTimeParts& p) {
  if (p.year < 1 || p.year > 9999 || p.month < 1 || p.month > 12 || p.day < 1 ||
      p.day > DaysInMonth(p.year, p.month) || p.hour < 0 || p.hour > 23 || p.minute < 0 ||
      p.minute > 59 || p.second < 0 || p.second > 59 || p.millisecond < 0 || p.millisecond > 999 ||
      p.microsecond < 0 || p.microsecond > 999)
    throw EVariantError("Invalid date or time");
  const double date = static_cast<double>(DayNumber(p.year, p.month, p.day) - kEpoch);
  const long long micros =
      (((p.hour * 60LL + p.minute) * 60 + p.second) * 1000 + p.millisecond) * 1000 + p.microsecond;
  return ComposeDays(date, micros);
}

TDateTimeParts DecodeDateTime(double days) {
  TDateTimeParts p;
  double whole = std::trunc(days);
  const double fraction = std::fabs(days - whole);
  long long micros = std::llround(fraction * kMicrosPerDay);
  // The shortest fraction that gives the same number: whole seconds and milliseconds are not
  // turned into microseconds by the rounding of the number.
  for (const long long unit : {1000000LL, 1000LL}) {
    const long long rounded = (micros + unit / 2) / unit * unit;
    if (rounded != micros && ComposeDays(whole, rounded) == days) {
      micros = rounded;
      break;
    }
  }
  if (micros >= kMicrosPerDay) {
    // Rounded up to the next midnight: the next day, also before the epoch, where the
    // fraction counts forward from the day's midnight too.
    micros -= kMicrosPerDay;
    whole += 1;
  }
  CivilFromDays(static_cast<long long>(whole) + kEpoch, p.year, p.month, p.day);
  const long long ms = micros / 1000;
  p.hour = static_cast<int>(ms / 3600000);
  p.minute = static_cast<int>(ms / 60000 % 60);
  p.second = static_cast<int>(ms / 1000 % 60);
  p.millisecond = static_cast<int>(ms % 1000);
  p.microsecond = static_cast<int>(micros % 1000);
  return p;
}

std::string DateTimeToText(double days) {
  const TDateTimeParts p = DecodeDateTime(days);
  char text[64];
  if (p.hour == 0 && p.minute == 0 && p.second == 0 && p.millisecond == 0 && p.microsecond == 0)
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", p.year, p.month, p.day);
  else if (p.millisecond == 0 && p.microsecond == 0)
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", p.year, p.month, p.day,
                  p.hour, p.minute, p.second);
  else if (p.microsecond == 0)
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", p.year, p.month, p.day,
                  p.hour, p.minute, p.second, p.millisecond);
  else
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d%03d", p.year, p.month,
                  p.day, p.hour, p.minute, p.second, p.millisecond, p.microsecond);
  return text;
}

std::string SecondFractionText(const TDateTimeParts& p) {
  int micros = p.millisecond * 1000 + p.microsecond;
  if (micros == 0) return std::string();
  int digits = 6;
  while (micros % 10 == 0) micros /= 10, --digits;
  char text[16];
  std::snprintf(text, sizeof text, ".%0*d", digits, micros);
  return text;
}

bool TextToDateTime(const std::string& text, double& days) {
  TDateTimeParts p;
  int consumed = 0;
  const char* s = text.c_str();
  p.hour = p.minute = p.second = p.millisecond = 0;
  if (std::sscanf(s, "%4d-%2d-%2d%n", &p.year, &p.month, &p.day, &consumed) == 3) {
    s += consumed;
    if (*s == ' ' || *s == 'T') {
      ++s;
      consumed = 0;
      if (std::sscanf(s, "%2d:%2d%n", &p.hour, &p.minute, &consumed) != 2) return false;
      s += consumed;
      if (*s == ':') {
        consumed = 0;
        if (std::sscanf(s, ":%2d%n", &p.second, &consumed) != 1) return false;
        s += consumed;
        if (*s == '.' && !ReadFraction(s, p)) return false;
      }
    }
  } else {
    p.year = 1899;
    p.month = 12;
    p.day = 30;
    consumed = 0;
    if (std::sscanf(s, "%2d:%2d%n", &p.hour, &p.minute, &consumed) != 2) return false;
    s += consumed;
    if (*s == ':') {
      consumed = 0;
      if (std::sscanf(s, ":%2d%n", &p.second, &consumed) != 1) return false;
      s += consumed;
      if (*s == '.' && !ReadFraction(s, p)) return false;
    }
  }
  while (*s == ' ') ++s;
  if (*s != 0) return false;
  try {
    days = EncodeDateTime(p);
  } catch (const Exception&) {
    return false;
  }
  return true;
}

}  // namespace larkspire
