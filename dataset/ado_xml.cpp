#include "dataset/ado_xml.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <deque>
#include <limits>
#include <optional>
#include <type_traits>
#include <unordered_map>
#include <utility>

#include <pugixml.hpp>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/datetime.h"
#include "platform/exception.h"

namespace larkspire {
namespace {

// How a column's values are read and written.
enum class TKind {
  kInteger,  // Integer or Int64 within [low, high]
  kUInt64,   // ui8: Int64, or its decimal text above the Int64 range
  kSingle,
  kDouble,
  kCurrency,
  kDecimal,  // Currency when exact, else the exact decimal text
  kBoolean,
  kDateTime,
  kDate,
  kTime,
  kGuid,
  kString,
  kBinary,
};

struct TColumn {
  TKind kind = TKind::kString;
  int64_t low = 0, high = 0;
  bool int32 = false;
  const TRecordsetField* field = nullptr;
};

[[noreturn]] void Malformed(const std::string& message) {
  throw EMalformedData("rowset document: " + message);
}

bool ColumnFor(const TRecordsetField& field, TColumn& column) {
  TAdoDataType type = field.DataType;
  if (type == TAdoDataType::adEmpty)
    type = AdoTypeOf(field.TypeName, field.DbType, field.FixedLength, field.Long, field.MaxLength);
  column.field = &field;
  auto integer = [&](int64_t low, int64_t high, bool int32) {
    column.kind = TKind::kInteger;
    column.low = low;
    column.high = high;
    column.int32 = int32;
  };
  switch (type) {
    case TAdoDataType::adTinyInt:
      integer(-128, 127, true);
      break;
    case TAdoDataType::adUnsignedTinyInt:
      integer(0, 255, true);
      break;
    case TAdoDataType::adSmallInt:
      integer(-32768, 32767, true);
      break;
    case TAdoDataType::adUnsignedSmallInt:
      integer(0, 65535, true);
      break;
    case TAdoDataType::adInteger:
      integer(std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max(), true);
      break;
    case TAdoDataType::adUnsignedInt:
      integer(0, 4294967295LL, false);
      break;
    case TAdoDataType::adBigInt:
      integer(std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max(), false);
      break;
    case TAdoDataType::adUnsignedBigInt:
      column.kind = TKind::kUInt64;
      break;
    case TAdoDataType::adSingle:
      column.kind = TKind::kSingle;
      break;
    case TAdoDataType::adDouble:
      column.kind = TKind::kDouble;
      break;
    case TAdoDataType::adCurrency:
      column.kind = TKind::kCurrency;
      break;
    case TAdoDataType::adDecimal:
    case TAdoDataType::adNumeric:
      column.kind = TKind::kDecimal;
      break;
    case TAdoDataType::adBoolean:
      column.kind = TKind::kBoolean;
      break;
    case TAdoDataType::adDate:
    case TAdoDataType::adDBTimeStamp:
    case TAdoDataType::adFileTime:
      column.kind = TKind::kDateTime;
      break;
    case TAdoDataType::adDBDate:
      column.kind = TKind::kDate;
      break;
    case TAdoDataType::adDBTime:
      column.kind = TKind::kTime;
      break;
    case TAdoDataType::adGUID:
      column.kind = TKind::kGuid;
      break;
    case TAdoDataType::adBinary:
    case TAdoDataType::adVarBinary:
    case TAdoDataType::adLongVarBinary:
      column.kind = TKind::kBinary;
      break;
    case TAdoDataType::adEmpty:
      return false;
    default:
      column.kind = TKind::kString;
      break;
  }
  return true;
}

const char* KindName(TKind kind) {
  switch (kind) {
    case TKind::kInteger:
    case TKind::kUInt64:
      return "integer";
    case TKind::kSingle:
    case TKind::kDouble:
      return "floating-point";
    case TKind::kCurrency:
      return "currency";
    case TKind::kDecimal:
      return "decimal";
    case TKind::kBoolean:
      return "boolean";
    case TKind::kDateTime:
      return "dateTime";
    case TKind::kDate:
      return "date";
    case TKind::kTime:
      return "time";
    case TKind::kGuid:
      return "uuid";
    case TKind::kString:
      return "string";
    case TKind::kBinary:
      return "bin.hex";
  }
  return "?";
}

bool IsXmlSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The text without any XML whitespace: ADO wraps long values across lines.
std::string_view WithoutSpace(std::string_view text, std::string& scratch) {
  size_t i = 0;
  while (i < text.size() && !IsXmlSpace(text[i])) ++i;
  if (i == text.size()) return text;
  scratch.assign(text.data(), i);
  for (; i < text.size(); ++i)
    if (!IsXmlSpace(text[i])) scratch.push_back(text[i]);
  return scratch;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

template <typename T>
bool ParseWhole(std::string_view text, T& value) {
  if (!text.empty() && text[0] == '+') text.remove_prefix(1);
  if (text.empty()) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

bool ParseFloat(std::string_view text, double& value) {
  if (!text.empty() && text[0] == '+') text.remove_prefix(1);
  if (text.empty()) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() && std::isfinite(value);
}

// A plain decimal text (sign, digits, optional fraction): Currency when it holds the value
// exactly, else the normalized text.
bool ParseDecimal(std::string_view text, TVariant& out) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  const size_t int_start = i;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
  std::string_view whole = text.substr(int_start, i - int_start);
  std::string_view fraction;
  if (i < text.size() && text[i] == '.') {
    const size_t start = ++i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    fraction = text.substr(start, i - start);
  }
  if (i != text.size() || (whole.empty() && fraction.empty())) return false;
  while (whole.size() > 1 && whole[0] == '0') whole.remove_prefix(1);
  if (whole.empty()) whole = "0";
  while (!fraction.empty() && fraction.back() == '0') fraction.remove_suffix(1);
  if (fraction.size() <= 4 && whole.size() <= 15) {
    // At most 19 digits: they fit unsigned, and a Currency holds them when the range allows.
    uint64_t scaled = 0;
    for (char c : whole) scaled = scaled * 10 + static_cast<uint64_t>(c - '0');
    int digits = 0;
    for (char c : fraction) scaled = scaled * 10 + static_cast<uint64_t>(c - '0'), ++digits;
    for (; digits < 4; ++digits) scaled *= 10;
    constexpr uint64_t kMax = std::numeric_limits<int64_t>::max();
    if (scaled <= kMax || (negative && scaled == kMax + 1)) {
      out = TVariant::FromCurrency(negative ? static_cast<int64_t>(0 - scaled)
                                            : static_cast<int64_t>(scaled));
      return true;
    }
  }
  std::string normalized;
  if (negative) normalized = "-";
  normalized.append(whole);
  if (!fraction.empty()) normalized.append(".").append(fraction);
  out = TVariant(std::move(normalized));
  return true;
}

// The common currency form (up to 15 whole and 4 fraction digits) without rounding; false for
// anything else, which the general conversion then takes (it also refuses a value outside the
// 64-bit range). The digits are gathered unsigned: 19 of them fit, and the range is checked once.
bool ParsePlainCurrency(std::string_view text, int64_t& scaled) {
  size_t i = 0;
  const bool negative = !text.empty() && text[0] == '-';
  if (negative) ++i;
  uint64_t value = 0;
  size_t whole = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9')
    value = value * 10 + (text[i++] - '0'), ++whole;
  if (whole == 0 || whole > 15) return false;
  int fraction = 0;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9' && fraction < 4)
      value = value * 10 + (text[i++] - '0'), ++fraction;
    if (fraction == 0) return false;
  }
  if (i != text.size()) return false;
  for (; fraction < 4; ++fraction) value *= 10;
  constexpr uint64_t kMax = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  if (value > kMax + (negative ? 1 : 0)) return false;
  scaled = negative ? static_cast<int64_t>(0 - value) : static_cast<int64_t>(value);
  return true;
}

bool Digits(std::string_view text, size_t& i, size_t count, int& value) {
  if (i + count > text.size()) return false;
  value = 0;
  for (size_t k = 0; k < count; ++k) {
    const char c = text[i + k];
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  i += count;
  return true;
}

bool ParseTimePart(std::string_view text, size_t& i, TDateTimeParts& p) {
  if (!Digits(text, i, 2, p.hour) || i >= text.size() || text[i++] != ':' ||
      !Digits(text, i, 2, p.minute))
    return false;
  if (i < text.size() && text[i] == ':') {
    ++i;
    if (!Digits(text, i, 2, p.second)) return false;
    if (i < text.size() && text[i] == '.') {
      ++i;
      // To the microsecond, the digits after the sixth rounding it (never up to a whole second).
      const size_t start = i;
      int micros = 0;
      bool round_up = false;
      while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        if (i - start < 6)
          micros = micros * 10 + (text[i] - '0');
        else if (i - start == 6)
          round_up = text[i] >= '5';
        ++i;
      }
      if (i == start) return false;
      for (size_t digits = i - start; digits < 6; ++digits) micros *= 10;
      if (round_up && micros < 999999) ++micros;
      p.millisecond = micros / 1000;
      p.microsecond = micros % 1000;
    }
  }
  return true;
}

bool ParseDatePart(std::string_view text, size_t& i, TDateTimeParts& p) {
  return Digits(text, i, 4, p.year) && i < text.size() && text[i++] == '-' &&
         Digits(text, i, 2, p.month) && i < text.size() && text[i++] == '-' &&
         Digits(text, i, 2, p.day);
}

bool IsLeapYear(int y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

// The date number of a valid date and time, computed as EncodeDateTime does (same value bit for
// bit) without its month walk; false when a part is out of range.
bool Encode(const TDateTimeParts& p, double& days) {
  static const int kMonthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (p.year < 1 || p.year > 9999 || p.month < 1 || p.month > 12 || p.day < 1 ||
      p.day > (p.month == 2 && IsLeapYear(p.year) ? 29 : kMonthDays[p.month - 1]) || p.hour > 23 ||
      p.minute > 59 || p.second > 59 || p.millisecond > 999 || p.microsecond > 999)
    return false;
  // Days from 1970-01-01 (proleptic Gregorian), then moved to 1899-12-30.
  const int y = p.year - (p.month <= 2);
  const int era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (p.month + (p.month > 2 ? -3 : 9)) + 2) / 5 + p.day - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const long long unix_days = static_cast<long long>(era) * 146097 + doe - 719468;
  const double date = static_cast<double>(unix_days + 25569);
  const long long micros =
      (((p.hour * 60LL + p.minute) * 60 + p.second) * 1000 + p.millisecond) * 1000 + p.microsecond;
  const double time = static_cast<double>(micros) / 86400000000.0;
  days = date >= 0 ? date + time : date - time;
  return true;
}

bool ParseDateTime(std::string_view text, TKind kind, double& days) {
  TDateTimeParts p;
  p.hour = p.minute = p.second = p.millisecond = p.microsecond = 0;
  size_t i = 0;
  if (kind == TKind::kTime && text.size() >= 3 && text[2] == ':') {
    p.year = 1899, p.month = 12, p.day = 30;
    if (!ParseTimePart(text, i, p) || i != text.size()) return false;
    return Encode(p, days);
  }
  if (!ParseDatePart(text, i, p)) return false;
  if (i < text.size()) {
    if (text[i] != 'T' && text[i] != ' ') return false;
    ++i;
    if (!ParseTimePart(text, i, p)) return false;
  }
  if (i != text.size()) return false;
  if (kind == TKind::kDate) p.hour = p.minute = p.second = p.millisecond = p.microsecond = 0;
  if (kind == TKind::kTime) p.year = 1899, p.month = 12, p.day = 30;
  return Encode(p, days);
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseGuid(std::string_view text, TVariant& out) {
  if (text.size() == 38 && text.front() == '{' && text.back() == '}') text = text.substr(1, 36);
  if (text.size() != 36) return false;
  std::string normalized = "{";
  for (size_t i = 0; i < 36; ++i) {
    const char c = text[i];
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (c != '-') return false;
      normalized.push_back('-');
    } else {
      if (HexValue(c) < 0) return false;
      normalized.push_back(c >= 'a' && c <= 'f' ? static_cast<char>(c - 'a' + 'A') : c);
    }
  }
  normalized.push_back('}');
  out = TVariant(std::move(normalized));
  return true;
}

bool ParseBinary(std::string_view text, TVariant& out) {
  if (text.size() % 2 != 0) return false;
  TBytes bytes(text.size() / 2);
  for (size_t i = 0; i < bytes.size(); ++i) {
    const int high = HexValue(text[2 * i]), low = HexValue(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    bytes[i] = static_cast<uint8_t>(high << 4 | low);
  }
  out = TVariant(std::move(bytes));
  return true;
}

// Where ParseValue puts the value it reads: over a variable, or at the end of a row's values
// (built in place there, without a temporary).
struct TAssignValue {
  TVariant& out;
  template <typename T>
  void operator()(T&& value) {
    if constexpr (std::is_same_v<std::decay_t<T>, TVariant>)
      out = std::forward<T>(value);
    else
      out = TVariant(std::forward<T>(value));
  }
};
struct TAppendValue {
  std::vector<TVariant>& values;
  template <typename T>
  void operator()(T&& value) {
    values.emplace_back(std::forward<T>(value));
  }
};

// Reads one attribute text into a value of the column, handing it to put; false when it is not
// one.
template <typename TPut>
bool ParseValueTo(const TColumn& column, std::string_view raw, TPut&& put, std::string& scratch,
                  bool spaced) {
  if (column.kind == TKind::kString) {
    put(std::string(raw));
    return true;
  }
  const std::string_view text = spaced ? WithoutSpace(raw, scratch) : raw;
  switch (column.kind) {
    case TKind::kInteger: {
      int64_t v;
      if (!ParseWhole(text, v) || v < column.low || v > column.high) return false;
      if (column.int32)
        put(static_cast<int32_t>(v));
      else
        put(v);
      return true;
    }
    case TKind::kUInt64: {
      uint64_t v;
      if (!ParseWhole(text, v)) return false;
      if (v <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
        put(static_cast<int64_t>(v));
      else
        put(std::to_string(v));
      return true;
    }
    case TKind::kSingle: {
      double v;
      if (!ParseFloat(text, v) || std::fabs(v) > std::numeric_limits<float>::max()) return false;
      put(static_cast<double>(static_cast<float>(v)));
      return true;
    }
    case TKind::kDouble: {
      double v;
      if (!ParseFloat(text, v)) return false;
      put(v);
      return true;
    }
    case TKind::kCurrency: {
      int64_t scaled;
      if (!ParsePlainCurrency(text, scaled) &&
          (text.empty() || !TextToCurrency(std::string(text), scaled)))
        return false;
      put(TVariant::FromCurrency(scaled));
      return true;
    }
    case TKind::kDecimal: {
      TVariant value;
      if (!ParseDecimal(text, value)) return false;
      put(std::move(value));
      return true;
    }
    case TKind::kBoolean:
      if (EqualsIgnoreCase(text, "true") || text == "1" || text == "-1") {
        put(true);
        return true;
      }
      if (EqualsIgnoreCase(text, "false") || text == "0") {
        put(false);
        return true;
      }
      return false;
    case TKind::kDateTime:
    case TKind::kDate:
    case TKind::kTime: {
      double days;
      if (!ParseDateTime(text, column.kind, days)) return false;
      put(TVariant::FromDateTime(days));
      return true;
    }
    case TKind::kGuid: {
      TVariant value;
      if (!ParseGuid(text, value)) return false;
      put(std::move(value));
      return true;
    }
    case TKind::kBinary: {
      TVariant value;
      if (!ParseBinary(text, value)) return false;
      put(std::move(value));
      return true;
    }
    case TKind::kString:
      break;
  }
  return false;
}

bool ParseValue(const TColumn& column, std::string_view raw, TVariant& out, std::string& scratch,
                bool spaced = true) {
  return ParseValueTo(column, raw, TAssignValue{out}, scratch, spaced);
}

std::string Shorten(std::string_view text) {
  if (text.size() <= 40) return std::string(text);
  return std::string(text.substr(0, 40)) + "...";
}

// --- Writing ------------------------------------------------------------------------------------

void AppendEscaped(std::string& out, std::string_view text) {
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const char* entity = nullptr;
    switch (c) {
      case '"':
        entity = "&#x22;";
        break;
      case '\'':
        entity = "&#x27;";
        break;
      case '<':
        entity = "&#x3c;";
        break;
      case '&':
        entity = "&#x26;";
        break;
      case '>':
        entity = "&#x3e;";
        break;
      default:
        if (c >= 0x20 || c == '\t' || c == '\r' || c == '\n') continue;
    }
    out.append(text.data() + start, i - start);
    if (entity) {
      out.append(entity);
    } else {
      static const char kHex[] = "0123456789abcdef";
      out.append("&#x");
      if (c >= 0x10) out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
      out.push_back(';');
    }
    start = i + 1;
  }
  out.append(text.data() + start, text.size() - start);
}

void AppendAttribute(std::string& out, std::string_view name, std::string_view value) {
  out.push_back(' ');
  out.append(name);
  out.append("='");
  AppendEscaped(out, value);
  out.push_back('\'');
}

template <typename T>
void AppendNumber(std::string& out, T value) {
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

void AppendFloat(std::string& out, double value, bool single) {
  char buffer[64];
  const auto result =
      single ? std::to_chars(buffer, buffer + sizeof buffer, static_cast<float>(value),
                             std::chars_format::general, 8)
             : std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 17);
  for (char* p = buffer; p != result.ptr; ++p)
    if (*p == 'e') *p = 'E';
  out.append(buffer, result.ptr);
}

void AppendDigits(std::string& out, int value, int count) {
  char buffer[8];
  for (int i = count - 1; i >= 0; --i) {
    buffer[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  out.append(buffer, count);
}

void AppendDateTime(std::string& out, double days, TKind kind) {
  const TDateTimeParts p = DecodeDateTime(days);
  if (kind != TKind::kTime) {
    AppendDigits(out, p.year, 4);
    out.push_back('-');
    AppendDigits(out, p.month, 2);
    out.push_back('-');
    AppendDigits(out, p.day, 2);
    if (kind == TKind::kDate) return;
    out.push_back('T');
  }
  AppendDigits(out, p.hour, 2);
  out.push_back(':');
  AppendDigits(out, p.minute, 2);
  out.push_back(':');
  AppendDigits(out, p.second, 2);
  // A fraction only when there is one, so whole seconds read as they always did.
  int micros = p.millisecond * 1000 + p.microsecond;
  if (micros != 0) {
    out.push_back('.');
    int digits = 6;
    while (micros % 10 == 0) micros /= 10, --digits;
    AppendDigits(out, micros, digits);
  }
}

// The text of a value (not Null) of the column, unescaped for numbers and escaped for text.
void AppendValue(std::string& out, const TColumn& column, const TVariant& value) {
  const TVarType type = value.Type();
  auto coerced = [&]() {
    const TVariant v = CoerceFieldValue(*column.field, value);
    if (v.Type() == type)
      throw EDatabaseError("Field '" + column.field->Name + "' holds a value of kind " +
                           TVariant::TypeName(type) + " it cannot write");
    AppendValue(out, column, v);
  };
  switch (column.kind) {
    case TKind::kInteger:
      if (type == TVarType::vtInteger || type == TVarType::vtInt64) {
        const int64_t v = value.AsInt64();
        if (v < column.low || v > column.high)
          throw EDatabaseError("Value " + std::to_string(v) + " is out of range for field '" +
                               column.field->Name + "'");
        return AppendNumber(out, v);
      }
      return coerced();
    case TKind::kUInt64:
      if (type == TVarType::vtInt64 || type == TVarType::vtInteger) {
        const int64_t v = value.AsInt64();
        if (v < 0)
          throw EDatabaseError("Value " + std::to_string(v) + " is out of range for field '" +
                               column.field->Name + "'");
        return AppendNumber(out, v);
      }
      if (type == TVarType::vtString) {
        uint64_t v;
        if (!ParseWhole(value.AsString(), v))
          throw EDatabaseError("Value '" + Shorten(value.AsString()) +
                               "' is not valid for field '" + column.field->Name + "'");
        return AppendNumber(out, v);
      }
      return coerced();
    case TKind::kSingle:
    case TKind::kDouble:
      if (type == TVarType::vtDouble)
        return AppendFloat(out, value.AsDouble(), column.kind == TKind::kSingle);
      return coerced();
    case TKind::kCurrency:
      if (type == TVarType::vtCurrency)
        return out.append(CurrencyToText(value.AsCurrency())), void();
      return coerced();
    case TKind::kDecimal:
      if (type == TVarType::vtCurrency)
        return out.append(CurrencyToText(value.AsCurrency())), void();
      if (type == TVarType::vtString) {
        TVariant check;
        if (!ParseDecimal(value.AsString(), check))
          throw EDatabaseError("Value '" + Shorten(value.AsString()) +
                               "' is not valid for field '" + column.field->Name + "'");
        return AppendEscaped(out, value.AsString());
      }
      return coerced();
    case TKind::kBoolean:
      if (type == TVarType::vtBoolean)
        return out.append(value.AsBoolean() ? "True" : "False"), void();
      return coerced();
    case TKind::kDateTime:
    case TKind::kDate:
    case TKind::kTime:
      if (type == TVarType::vtDateTime) return AppendDateTime(out, value.AsDateTime(), column.kind);
      return coerced();
    case TKind::kGuid:
      if (type == TVarType::vtString) {
        TVariant check;
        if (!ParseGuid(value.AsString(), check))
          throw EDatabaseError("Value '" + Shorten(value.AsString()) +
                               "' is not a uuid for field '" + column.field->Name + "'");
        return AppendEscaped(out, check.AsString());
      }
      return coerced();
    case TKind::kString:
      if (type == TVarType::vtString) {
        // Reference the stored text without copying it.
        return AppendEscaped(out, value.AsString());
      }
      return AppendEscaped(out, value.AsString());
    case TKind::kBinary: {
      if (type != TVarType::vtBytes) return coerced();
      static const char kHex[] = "0123456789abcdef";
      const TBytes bytes = value.AsBytes();
      const size_t start = out.size();
      out.resize(start + bytes.size() * 2);
      char* p = out.data() + start;
      for (uint8_t b : bytes) *p++ = kHex[b >> 4], *p++ = kHex[b & 15];
      return;
    }
  }
}

bool IsNameStart(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c >= 0x80;
}

bool IsValidXmlName(const std::string& name) {
  if (name.empty() || !IsNameStart(static_cast<unsigned char>(name[0]))) return false;
  for (unsigned char c : name)
    if (!IsNameStart(c) && !(c >= '0' && c <= '9') && c != '-' && c != '.') return false;
  return true;
}

void AppendFlag(std::string& out, const char* name, bool value) {
  if (value) AppendAttribute(out, name, "true");
}

void AppendOptionalText(std::string& out, const char* name, const std::string& value) {
  if (!value.empty()) AppendAttribute(out, name, value);
}

void AppendExtras(std::string& out, const TXmlAttributes& extras) {
  for (const auto& [name, value] : extras) AppendAttribute(out, name, value);
}

void AppendSchema(std::string& out, const TRecordsetSchema& schema,
                  const std::vector<std::string>& names) {
  out.append(
      "<xml xmlns:s='uuid:BDC6E3F0-6DA3-11d1-A2A3-00AA00C14882'\r\n"
      "\txmlns:dt='uuid:C2F41010-65B3-11d1-A29F-00AA00C14882'\r\n"
      "\txmlns:rs='urn:schemas-microsoft-com:rowset'\r\n"
      "\txmlns:z='#RowsetSchema'>\r\n"
      "<s:Schema id='RowsetSchema'>\r\n"
      "\t<s:ElementType name='row' content='eltOnly'");
  AppendExtras(out, schema.RowAttributes);
  out.append(">\r\n");
  for (size_t i = 0; i < schema.Fields.size(); ++i) {
    const TRecordsetField& f = schema.Fields[i];
    out.append("\t\t<s:AttributeType");
    AppendAttribute(out, "name", names[i]);
    if (f.Name != names[i]) AppendAttribute(out, "rs:name", f.Name);
    out.append(" rs:number='");
    AppendNumber(out, f.Number != 0 ? f.Number : static_cast<int>(i + 1));
    out.push_back('\'');
    AppendFlag(out, "rs:nullable", f.Nullable);
    AppendFlag(out, "rs:write", f.Write);
    AppendFlag(out, "rs:writeunknown", f.WriteUnknown);
    AppendFlag(out, "rs:rowver", f.RowVersion);
    AppendFlag(out, "rs:rowid", f.RowId);
    AppendOptionalText(out, "rs:basecatalog", f.BaseCatalog);
    AppendOptionalText(out, "rs:baseschema", f.BaseSchema);
    AppendOptionalText(out, "rs:basetable", f.BaseTable);
    AppendOptionalText(out, "rs:basecolumn", f.BaseColumn);
    AppendFlag(out, "rs:keycolumn", f.KeyColumn);
    AppendFlag(out, "rs:autoincrement", f.AutoIncrement);
    AppendFlag(out, "rs:hidden", f.Hidden);
    AppendExtras(out, f.ExtraAttributes);
    out.append(">\r\n\t\t\t<s:datatype");
    AppendAttribute(out, "dt:type", f.TypeName);
    AppendOptionalText(out, "rs:dbtype", f.DbType);
    if (f.HasMaxLength) {
      out.append(" dt:maxLength='");
      AppendNumber(out, f.MaxLength);
      out.push_back('\'');
    }
    if (f.Scale) {
      out.append(" rs:scale='");
      AppendNumber(out, *f.Scale);
      out.push_back('\'');
    }
    if (f.Precision) {
      out.append(" rs:precision='");
      AppendNumber(out, *f.Precision);
      out.push_back('\'');
    }
    AppendFlag(out, "rs:fixedlength", f.FixedLength);
    AppendFlag(out, "rs:long", f.Long);
    if (f.MaybeNull) AppendAttribute(out, "rs:maybenull", *f.MaybeNull ? "true" : "false");
    AppendExtras(out, f.ExtraDatatypeAttributes);
    out.append("/>\r\n\t\t</s:AttributeType>\r\n");
  }
  for (const std::string& opaque : schema.OpaqueSchema) out.append(opaque);
  out.append(
      "\t\t<s:extends type='rs:rowbase'/>\r\n"
      "\t</s:ElementType>\r\n"
      "</s:Schema>\r\n");
}

enum class TRowForm { kPlain, kChanged, kInserted };

// One z:row element. kPlain writes every non-null value; kChanged writes the assigned columns
// and names the null ones in rs:forcenull; kInserted writes every value, naming the null ones.
void AppendRow(std::string& out, const char* indent, const std::vector<TColumn>& columns,
               const std::vector<std::string>& names, const std::vector<TVariant>& values,
               const std::vector<bool>* modified, TRowForm form, const std::string* opaque) {
  out.append(indent);
  out.append("<z:row");
  std::string forcenull;
  for (size_t i = 0; i < columns.size(); ++i) {
    if (form == TRowForm::kChanged && !(*modified)[i]) continue;
    const TVariant& v = values[i];
    if (v.IsClear()) {
      if (form != TRowForm::kPlain) {
        if (!forcenull.empty()) forcenull.push_back(' ');
        forcenull.append(names[i]);
      }
      continue;
    }
    out.push_back(' ');
    out.append(names[i]);
    out.append("='");
    AppendValue(out, columns[i], v);
    out.push_back('\'');
  }
  if (!forcenull.empty()) AppendAttribute(out, "rs:forcenull", forcenull);
  if (opaque && !opaque->empty()) {
    out.append(">\r\n");
    out.append(*opaque);
    out.append(indent);
    out.append("</z:row>\r\n");
  } else {
    out.append("/>\r\n");
  }
}

// --- Reading ------------------------------------------------------------------------------------

// Writes an element the reader does not interpret (a child rowset) back as XML text.
void SerializeElement(std::string& out, const pugi::xml_node& node, int depth) {
  out.append(static_cast<size_t>(depth), '\t');
  out.push_back('<');
  out.append(node.name());
  for (pugi::xml_attribute a = node.first_attribute(); a; a = a.next_attribute())
    AppendAttribute(out, a.name(), a.value());
  bool has_children = false;
  for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
    if (child.type() != pugi::node_element && child.type() != pugi::node_pcdata) continue;
    if (!has_children) out.append(">\r\n"), has_children = true;
    if (child.type() == pugi::node_element) {
      SerializeElement(out, child, depth + 1);
    } else {
      out.append(static_cast<size_t>(depth + 1), '\t');
      AppendEscaped(out, child.value());
      out.append("\r\n");
    }
  }
  if (has_children) {
    out.append(static_cast<size_t>(depth), '\t');
    out.append("</");
    out.append(node.name());
    out.append(">\r\n");
  } else {
    out.append("/>\r\n");
  }
}

std::string Where(const pugi::xml_node& node) {
  const ptrdiff_t name = node.offset_debug();
  return std::string(node.name()) + " at offset " + std::to_string(name > 0 ? name - 1 : 0);
}

bool ParseFlag(const pugi::xml_attribute& a, const std::string& column) {
  const std::string_view v = a.value();
  if (EqualsIgnoreCase(v, "true") || v == "1" || v == "-1") return true;
  if (EqualsIgnoreCase(v, "false") || v == "0") return false;
  Malformed("column '" + column + "': " + a.name() + " is '" + Shorten(v) + "', not true or false");
}

int64_t ParseCount(const pugi::xml_attribute& a, const std::string& column, int64_t max) {
  int64_t v;
  std::string scratch;
  if (!ParseWhole(WithoutSpace(a.value(), scratch), v) || v < 0 || v > max)
    Malformed("column '" + column + "': " + a.name() + " '" + Shorten(a.value()) +
              "' is not a valid number");
  return v;
}

void ReadDatatypeAttribute(TRecordsetField& f, const pugi::xml_attribute& a,
                           const std::string& column) {
  const std::string_view name = a.name();
  if (name == "dt:type")
    f.TypeName = a.value();
  else if (name == "rs:dbtype")
    f.DbType = a.value();
  else if (name == "dt:maxLength")
    f.MaxLength = ParseCount(a, column, 4294967295LL), f.HasMaxLength = true;
  else if (name == "rs:precision")
    f.Precision = static_cast<int>(ParseCount(a, column, 1000));
  else if (name == "rs:scale")
    f.Scale = static_cast<int>(ParseCount(a, column, 1000));
  else if (name == "rs:fixedlength")
    f.FixedLength = ParseFlag(a, column);
  else if (name == "rs:long")
    f.Long = ParseFlag(a, column);
  else if (name == "rs:maybenull")
    f.MaybeNull = ParseFlag(a, column);
  else
    f.ExtraDatatypeAttributes.emplace_back(a.name(), a.value());
}

TRecordsetField ReadField(const pugi::xml_node& node, size_t index) {
  TRecordsetField f;
  f.HasMaxLength = false;
  const std::string column = node.attribute("name").value();
  if (column.empty())
    Malformed("column " + std::to_string(index + 1) + " (" + Where(node) + ") has no name");
  for (pugi::xml_attribute a = node.first_attribute(); a; a = a.next_attribute()) {
    const std::string_view name = a.name();
    if (name == "name")
      f.XmlName = a.value();
    else if (name == "rs:name")
      f.Name = a.value();
    else if (name == "rs:number")
      f.Number = static_cast<int>(ParseCount(a, column, 1 << 30));
    else if (name == "rs:nullable")
      f.Nullable = ParseFlag(a, column);
    else if (name == "rs:write")
      f.Write = ParseFlag(a, column);
    else if (name == "rs:writeunknown")
      f.WriteUnknown = ParseFlag(a, column);
    else if (name == "rs:keycolumn")
      f.KeyColumn = ParseFlag(a, column);
    else if (name == "rs:autoincrement")
      f.AutoIncrement = ParseFlag(a, column);
    else if (name == "rs:rowver")
      f.RowVersion = ParseFlag(a, column);
    else if (name == "rs:rowid")
      f.RowId = ParseFlag(a, column);
    else if (name == "rs:hidden")
      f.Hidden = ParseFlag(a, column);
    else if (name == "rs:basecatalog")
      f.BaseCatalog = a.value();
    else if (name == "rs:baseschema")
      f.BaseSchema = a.value();
    else if (name == "rs:basetable")
      f.BaseTable = a.value();
    else if (name == "rs:basecolumn")
      f.BaseColumn = a.value();
    else if (name.substr(0, 3) == "dt:")
      ReadDatatypeAttribute(f, a, column);
    else
      f.ExtraAttributes.emplace_back(a.name(), a.value());
  }
  if (f.Name.empty()) f.Name = f.XmlName;
  if (f.Number == 0) f.Number = static_cast<int>(index + 1);
  if (pugi::xml_node datatype = node.child("s:datatype"))
    for (pugi::xml_attribute a = datatype.first_attribute(); a; a = a.next_attribute())
      ReadDatatypeAttribute(f, a, column);
  if (f.TypeName.empty()) Malformed("column '" + column + "' has no dt:type");
  f.DataType = AdoTypeOf(f.TypeName, f.DbType, f.FixedLength, f.Long, f.MaxLength);
  if (f.DataType == TAdoDataType::adEmpty)
    Malformed("column '" + column + "' has an unknown type '" + f.TypeName +
              (f.DbType.empty() ? "" : "' (rs:dbtype '" + f.DbType + "')") +
              (f.DbType.empty() ? "'" : ""));
  return f;
}

struct TAttr {
  std::string_view name, value;
  bool spaced = true;  // the value may hold white space
  int column = -1;     // the column the name was matched to while scanning, or -1
};

// Whether n bytes at a and b are equal; for the short names of columns.
inline bool SameBytes(const char* a, const char* b, size_t n) {
  for (; n >= 8; a += 8, b += 8, n -= 8) {
    uint64_t x, y;
    std::memcpy(&x, a, 8);
    std::memcpy(&y, b, 8);
    if (x != y) return false;
  }
  for (; n > 0; ++a, ++b, --n)
    if (*a != *b) return false;
  return true;
}

// Turns the attributes of z:row elements into rows of the data.
class TRowReader {
 public:
  explicit TRowReader(TRecordsetData& data) : data_(data) {
    const auto& fields = data.Schema.Fields;
    columns_.resize(fields.size());
    for (size_t i = 0; i < fields.size(); ++i) {
      ColumnFor(fields[i], columns_[i]);
      if (!by_name_.emplace(fields[i].XmlName, static_cast<int>(i)).second)
        Malformed("two columns are named '" + fields[i].XmlName + "'");
    }
  }

  // A row without change, a new or a deleted row.
  void AddRow(TRowStatus status, const std::vector<TAttr>& attrs, size_t offset,
              std::string opaque) {
    auto row = std::make_unique<TRecordsetRow>();
    row->Id = data_.NextId++;
    row->Status = status;
    Read(attrs, offset, row->Values, nullptr);
    row->Opaque = std::move(opaque);
    data_.Rows.push_back(std::move(row));
  }

  const std::vector<TRecordsetField>& Fields() const { return data_.Schema.Fields; }
  void ReserveRows(size_t count) { data_.Rows.reserve(data_.Rows.size() + count); }

  // Gives the last row read its child rows (kept as text).
  void SetLastOpaque(std::string opaque) { data_.Rows.back()->Opaque = std::move(opaque); }

  // A modified row: its rs:original row and the row of changed columns.
  void AddUpdate(const std::vector<TAttr>& original, size_t original_offset,
                 const std::vector<TAttr>& changed, size_t changed_offset) {
    auto row = std::make_unique<TRecordsetRow>();
    row->Id = data_.NextId++;
    row->Status = TRowStatus::rsModified;
    Read(original, original_offset, row->Original, nullptr);
    std::vector<TVariant> values;
    row->Modified.assign(columns_.size(), false);
    Read(changed, changed_offset, values, &row->Modified);
    row->Values = row->Original;
    for (size_t i = 0; i < values.size(); ++i)
      if (row->Modified[i]) row->Values[i] = std::move(values[i]);
    data_.Rows.push_back(std::move(row));
  }

 private:
  static std::string Where(size_t offset) { return "z:row at offset " + std::to_string(offset); }

  // Reads the attributes into values (Null where absent). Columns the row names (with a value
  // or in rs:forcenull) are flagged in assigned when it is given.
  void Read(const std::vector<TAttr>& attrs, size_t offset, std::vector<TVariant>& values,
            std::vector<bool>* assigned) {
    const size_t count = columns_.size();
    const auto& fields = data_.Schema.Fields;
    values.clear();
    values.reserve(count);
    for (const TAttr& a : attrs) {
      size_t index;
      const size_t next = values.size();
      if (a.column >= 0) {
        index = static_cast<size_t>(a.column);
      } else if (next < count && fields[next].XmlName.size() == a.name.size() &&
                 SameBytes(fields[next].XmlName.data(), a.name.data(), a.name.size())) {
        index = next;
      } else {
        const auto it = by_name_.find(std::string(a.name));
        if (it != by_name_.end()) {
          index = static_cast<size_t>(it->second);
        } else if (a.name == "rs:forcenull") {
          ReadForceNull(offset, a.value, values, assigned);
          continue;
        } else {
          Malformed(Where(offset) + ": attribute '" + std::string(a.name) + "' names no column");
        }
      }
      const TColumn& column = columns_[index];
      bool valid;
      if (index == values.size()) {
        valid = ParseValueTo(column, a.value, TAppendValue{values}, scratch_, a.spaced);
      } else {
        while (values.size() <= index) values.push_back(null_);
        valid = ParseValueTo(column, a.value, TAssignValue{values[index]}, scratch_, a.spaced);
      }
      if (!valid)
        Malformed(Where(offset) + ": column '" + column.field->Name + "' value '" +
                  Shorten(a.value) + "' is not a valid " + KindName(column.kind) + " (" +
                  column.field->TypeName + ")");
      if (assigned) (*assigned)[index] = true;
    }
    while (values.size() < count) values.push_back(null_);
  }

  void ReadForceNull(size_t offset, std::string_view list, std::vector<TVariant>& values,
                     std::vector<bool>* assigned) {
    size_t i = 0;
    while (i < list.size()) {
      while (i < list.size() && IsXmlSpace(list[i])) ++i;
      const size_t start = i;
      while (i < list.size() && !IsXmlSpace(list[i])) ++i;
      if (start == i) break;
      const std::string name(list.substr(start, i - start));
      const auto it = by_name_.find(name);
      if (it == by_name_.end())
        Malformed(Where(offset) + ": rs:forcenull names '" + name + "', which is no column");
      const size_t index = static_cast<size_t>(it->second);
      while (values.size() <= index) values.emplace_back(TVariant::Null());
      values[index] = TVariant::Null();
      if (assigned) (*assigned)[index] = true;
    }
  }

  TRecordsetData& data_;
  std::vector<TColumn> columns_;
  std::unordered_map<std::string, int> by_name_;
  std::string scratch_;
  const TVariant null_ = TVariant::Null();
};

void ReadSchema(const pugi::xml_node& root, TRecordsetSchema& schema) {
  const pugi::xml_node schema_node = root.child("s:Schema");
  if (!schema_node)
    Malformed("the document element <" + std::string(root.name()) + "> has no s:Schema child");
  pugi::xml_node element_type = schema_node.find_child_by_attribute("s:ElementType", "name", "row");
  if (!element_type) element_type = schema_node.child("s:ElementType");
  if (!element_type) Malformed("s:Schema has no s:ElementType");
  schema.RowAttributes.clear();
  for (pugi::xml_attribute a = element_type.first_attribute(); a; a = a.next_attribute()) {
    const std::string_view name = a.name();
    if (name != "name" && name != "content") schema.RowAttributes.emplace_back(a.name(), a.value());
  }
  for (pugi::xml_node node = element_type.first_child(); node; node = node.next_sibling()) {
    if (node.type() != pugi::node_element) continue;
    const std::string_view name = node.name();
    if (name == "s:AttributeType") {
      schema.Fields.push_back(ReadField(node, schema.Fields.size()));
    } else if (name != "s:extends") {
      std::string opaque;
      SerializeElement(opaque, node, 2);
      schema.OpaqueSchema.push_back(std::move(opaque));
    }
  }
}

// --- The document model path: every well-formed document ---------------------------------------

// The offset of an element's '<' in the document.
size_t TagOffset(const pugi::xml_node& node) {
  const ptrdiff_t name = node.offset_debug();
  return name > 0 ? static_cast<size_t>(name - 1) : 0;
}

void CollectAttributes(const pugi::xml_node& node, std::vector<TAttr>& attrs) {
  attrs.clear();
  for (pugi::xml_attribute a = node.first_attribute(); a; a = a.next_attribute())
    attrs.push_back({a.name(), a.value()});
}

void ReadRowsFromTree(const pugi::xml_node& rs_data, TRowReader& reader) {
  std::vector<TAttr> attrs, changed;
  for (pugi::xml_node node = rs_data.first_child(); node; node = node.next_sibling()) {
    if (node.type() != pugi::node_element) continue;
    const std::string_view name = node.name();
    if (name == "z:row") {
      CollectAttributes(node, attrs);
      std::string opaque;
      for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling())
        if (child.type() == pugi::node_element) SerializeElement(opaque, child, 2);
      reader.AddRow(TRowStatus::rsUnmodified, attrs, TagOffset(node), std::move(opaque));
    } else if (name == "rs:insert" || name == "rs:delete") {
      const TRowStatus status = name == "rs:insert" ? TRowStatus::rsNew : TRowStatus::rsDeleted;
      for (pugi::xml_node row = node.first_child(); row; row = row.next_sibling()) {
        if (row.type() != pugi::node_element) continue;
        if (std::strcmp(row.name(), "z:row") != 0)
          Malformed(Where(row) + ": unexpected element in " + std::string(name));
        CollectAttributes(row, attrs);
        reader.AddRow(status, attrs, TagOffset(row), std::string());
      }
    } else if (name == "rs:update") {
      pugi::xml_node original;
      for (pugi::xml_node row = node.first_child(); row; row = row.next_sibling()) {
        if (row.type() != pugi::node_element) continue;
        const std::string_view row_name = row.name();
        if (row_name == "rs:original") {
          if (original) Malformed(Where(row) + ": rs:original without its new row");
          original = row;
          continue;
        }
        if (row_name != "z:row") Malformed(Where(row) + ": unexpected element in rs:update");
        if (!original) Malformed(Where(row) + ": rs:update row without rs:original");
        const pugi::xml_node old_row = original.child("z:row");
        if (!old_row) Malformed(Where(original) + ": rs:original holds no z:row");
        CollectAttributes(old_row, attrs);
        CollectAttributes(row, changed);
        reader.AddUpdate(attrs, TagOffset(old_row), changed, TagOffset(row));
        original = pugi::xml_node();
      }
      if (original) Malformed(Where(original) + ": rs:original without its new row");
    } else {
      Malformed(Where(node) + ": unexpected element in rs:data");
    }
  }
}

TRecordsetData ReadDocument(const pugi::xml_document& doc) {
  const pugi::xml_node root = doc.document_element();
  if (!root) Malformed("no document element");
  TRecordsetData data;
  ReadSchema(root, data.Schema);
  const pugi::xml_node rs_data = root.child("rs:data");
  if (!rs_data)
    Malformed("the document element <" + std::string(root.name()) + "> has no rs:data child");
  TRowReader reader(data);
  ReadRowsFromTree(rs_data, reader);
  data.Generation = 1;
  return data;
}

constexpr unsigned kParseOptions = pugi::parse_default & ~pugi::parse_wnorm_attribute &
                                   ~pugi::parse_wconv_attribute & ~pugi::parse_eol;

void CheckParse(const pugi::xml_parse_result& result) {
  if (result) return;
  if (result.status == pugi::status_no_document_element) Malformed("no document element");
  Malformed(std::string("not well-formed XML: ") + result.description() + " at offset " +
            std::to_string(result.offset));
}

// The decoded texts of attribute values that held references, owned for as long as the views
// of one tag's attributes into them are used. Texts never move once made: a later value of
// the same tag must not invalidate the views of the earlier ones.
class TDecodedTexts {
 public:
  // Starts a tag: the texts are reused, and earlier views into them become invalid.
  void Clear() { used_ = 0; }
  std::string& Next() {
    if (used_ == texts_.size()) texts_.emplace_back();
    return texts_[used_++];
  }

 private:
  std::deque<std::string> texts_;  // growing a deque at its end moves no element
  size_t used_ = 0;
};

// --- The direct path: the rows of a plain UTF-8 document -----------------------------------------
//
// The rows make up almost all of a document, and building a tree of them first costs as much as
// reading them. This scanner reads the rows straight from the text; the schema before them is
// still parsed as a tree. It knows only the shape ADO writes: elements, attributes in either
// quote, character and the five predefined entity references, comments and white space. On
// anything else it gives up, and the document goes the tree path, which then decides.

class TDirectScanner {
 public:
  TDirectScanner(std::string_view text, TRowReader& reader)
      : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()), reader_(reader) {
    // Rows name their columns mostly in schema order: each attribute name is first compared
    // with the column after the previous one. Names that need the general scan are left out.
    const uint8_t* classes = Classes();
    for (const TRecordsetField& f : reader.Fields()) {
      std::string_view name = f.XmlName;
      for (char c : name)
        if (classes[static_cast<uint8_t>(c)] != 0) name = std::string_view();
      expected_names_.push_back(name);
    }
  }

  // p_ at the '<' of "<rs:data"; true when every row and the rest of the document were read.
  bool Run(size_t data_offset, std::string_view root_name) {
    p_ = begin_ + data_offset + 1;
    std::string_view name;
    bool empty;
    if (!ReadName(name) || name != "rs:data" || !ReadAttributes(attrs_, decoded_, empty))
      return false;
    if (!empty && !ReadData()) return false;
    // After the rows: the document element's end and nothing but white space or comments.
    if (!SkipMisc() || !Expect("</") || !ReadName(name) || name != root_name) return false;
    SkipSpace();
    if (!Expect(">")) return false;
    SkipMisc();
    return p_ == end_;
  }

 private:
  size_t Offset(const char* at) const { return static_cast<size_t>(at - begin_); }

  bool StartsWith(std::string_view s) const {
    return static_cast<size_t>(end_ - p_) >= s.size() && std::memcmp(p_, s.data(), s.size()) == 0;
  }
  bool Expect(std::string_view s) {
    if (!StartsWith(s)) return false;
    p_ += s.size();
    return true;
  }
  void SkipSpace() {
    while (p_ < end_ && IsXmlSpace(*p_)) ++p_;
  }
  // White space, comments and processing instructions; false at the end of the text.
  bool SkipMisc() {
    while (true) {
      SkipSpace();
      if (StartsWith("<!--")) {
        const char* close = Find("-->", p_ + 4);
        if (!close) return false;
        p_ = close + 3;
      } else if (StartsWith("<?")) {
        const char* close = Find("?>", p_ + 2);
        if (!close) return false;
        p_ = close + 2;
      } else {
        return p_ < end_;
      }
    }
  }
  const char* Find(std::string_view s, const char* from) const {
    const std::string_view rest(from, static_cast<size_t>(end_ - from));
    const size_t at = rest.find(s);
    return at == std::string_view::npos ? nullptr : from + at;
  }

  // The first quote, '<' or '&' from p on, or end. spaced is set when a byte before it is a
  // control character or a space (white space among them).
  static const char* FindValueStop(const char* p, const char* end, char quote, bool& spaced) {
#if defined(__SSE2__)
    const __m128i q = _mm_set1_epi8(quote), lt = _mm_set1_epi8('<'), amp = _mm_set1_epi8('&');
    const __m128i space = _mm_set1_epi8(' ');
    while (end - p >= 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      const __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, q), _mm_cmpeq_epi8(v, lt)),
                                       _mm_cmpeq_epi8(v, amp));
      const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
      const unsigned low =
          static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(v, space), v)));
      if (mask != 0) {
        const unsigned at = static_cast<unsigned>(__builtin_ctz(mask));
        if (low & ((1u << at) - 1)) spaced = true;
        return p + at;
      }
      if (low != 0) spaced = true;
      p += 16;
    }
#endif
    for (; p < end; ++p) {
      const char c = *p;
      if (c == quote || c == '<' || c == '&') break;
      if (static_cast<unsigned char>(c) <= ' ') spaced = true;
    }
    return p;
  }

  // Character classes of the scanner.
  // Names hold what the tree's parser takes in a name: ASCII letters, digits, "-", ".", "_",
  // ":" and every byte from 0x80, and begin with none of "-", "." and the digits.
  enum : uint8_t { kSpace = 1, kNameEnd = 2, kBadInName = 4, kBadNameStart = 8 };
  static const uint8_t* Classes() {
    static const auto table = [] {
      std::array<uint8_t, 256> t{};
      for (char c : {' ', '\t', '\r', '\n'}) t[static_cast<uint8_t>(c)] |= kSpace | kNameEnd;
      for (char c : {'/', '>', '='}) t[static_cast<uint8_t>(c)] |= kNameEnd;
      for (int c = 0; c < 0x80; ++c) {
        const bool in_name = std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == ':';
        if (!in_name && !(t[c] & kNameEnd)) t[c] |= kBadInName;
        if (std::isdigit(c) || c == '-' || c == '.') t[c] |= kBadNameStart;
      }
      return t;
    }();
    return table.data();
  }

  bool ReadName(std::string_view& name) {
    const uint8_t* classes = Classes();
    const char* const start = p_;
    const char* p = p_;
    while (p < end_) {
      const uint8_t c = classes[static_cast<uint8_t>(*p)];
      if (c & kNameEnd) break;
      if (c & kBadInName) return false;
      ++p;
    }
    p_ = p;
    if (p == start || (classes[static_cast<uint8_t>(*start)] & kBadNameStart)) return false;
    name = std::string_view(start, static_cast<size_t>(p - start));
    return true;
  }

  // The name of column at p_ when it is there, followed by the end of a name.
  bool ReadExpectedName(size_t column, std::string_view& name) {
    if (column >= expected_names_.size()) return false;
    const std::string_view expected = expected_names_[column];
    if (expected.empty() || static_cast<size_t>(end_ - p_) <= expected.size() ||
        !(Classes()[static_cast<uint8_t>(p_[expected.size()])] & kNameEnd) ||
        !SameBytes(p_, expected.data(), expected.size()))
      return false;
    name = std::string_view(p_, expected.size());
    p_ += expected.size();
    return true;
  }

  // The attributes of a start tag up to its end; empty tells "/>" from ">". In a row, names
  // are matched to columns on the way.
  bool ReadAttributes(std::vector<TAttr>& attrs, TDecodedTexts& decoded, bool& empty,
                      bool row = false) {
    attrs.clear();
    decoded.Clear();
    size_t next_column = 0;
    while (true) {
      const char* before = p_;
      SkipSpace();
      if (p_ >= end_) return false;
      if (*p_ == '/') {
        ++p_;
        empty = true;
        return Expect(">");
      }
      if (*p_ == '>') {
        ++p_;
        empty = false;
        return true;
      }
      if (p_ == before) return false;  // attributes are separated by white space
      TAttr& a = attrs.emplace_back();
      if (row && ReadExpectedName(next_column, a.name)) {
        a.column = static_cast<int>(next_column++);
      } else if (!ReadName(a.name)) {
        return false;
      }
      SkipSpace();
      if (!Expect("=")) return false;
      SkipSpace();
      if (p_ >= end_ || (*p_ != '\'' && *p_ != '"')) return false;
      const char quote = *p_++;
      const char* start = p_;
      bool entities = false, spaced = false;
      while (true) {
        p_ = FindValueStop(p_, end_, quote, spaced);
        if (p_ >= end_) return false;
        if (*p_ == quote) break;
        if (*p_ == '<') return false;
        entities = true;  // '&'
        ++p_;
      }
      const std::string_view raw(start, static_cast<size_t>(p_ - start));
      ++p_;
      if (!entities) {
        a.value = raw;
        a.spaced = spaced;
      } else {
        std::string& text = decoded.Next();
        if (!Decode(raw, text)) return false;
        a.value = text;
      }
    }
  }

  static void AppendUtf8(std::string& out, uint32_t code) {
    if (code < 0x80) {
      out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      out.push_back(static_cast<char>(0xC0 | code >> 6));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | code >> 12));
      out.push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | code >> 18));
      out.push_back(static_cast<char>(0x80 | (code >> 12 & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }

  static bool Decode(std::string_view raw, std::string& out) {
    out.clear();
    size_t i = 0;
    while (i < raw.size()) {
      const size_t amp = raw.find('&', i);
      if (amp == std::string_view::npos) {
        out.append(raw.substr(i));
        break;
      }
      out.append(raw.substr(i, amp - i));
      const size_t semi = raw.find(';', amp);
      if (semi == std::string_view::npos) return false;
      const std::string_view ref = raw.substr(amp + 1, semi - amp - 1);
      if (ref == "amp")
        out.push_back('&');
      else if (ref == "lt")
        out.push_back('<');
      else if (ref == "gt")
        out.push_back('>');
      else if (ref == "apos")
        out.push_back('\'');
      else if (ref == "quot")
        out.push_back('"');
      else if (ref.size() >= 2 && ref[0] == '#') {
        uint32_t code = 0;
        const bool hex = ref[1] == 'x';
        const std::string_view digits = ref.substr(hex ? 2 : 1);
        if (digits.empty() || digits.size() > 8) return false;
        const auto [end, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), code, hex ? 16 : 10);
        if (error != std::errc() || end != digits.data() + digits.size() || code == 0 ||
            code > 0x10FFFF)
          return false;
        AppendUtf8(out, code);
      } else {
        return false;
      }
      i = semi + 1;
    }
    return true;
  }

  // The end tag of name, after white space or comments.
  bool ExpectEnd(std::string_view name) {
    if (!SkipMisc() || !Expect("</")) return false;
    std::string_view got;
    if (!ReadName(got) || got != name) return false;
    SkipSpace();
    return Expect(">");
  }

  // The children of an element the reader keeps as text (child rows of a shaped document),
  // up to the element's end tag.
  bool ReadOpaqueChildren(std::string_view parent, int depth, std::string& out) {
    std::vector<TAttr> attrs;
    while (true) {
      if (!SkipMisc()) return false;
      if (StartsWith("</")) return ExpectEnd(parent);
      if (*p_ != '<') return false;
      ++p_;
      std::string_view name;
      bool empty;
      if (!ReadName(name) || !ReadAttributes(attrs, decoded_, empty)) return false;
      const std::string element(name);
      out.append(static_cast<size_t>(depth), '\t');
      out.push_back('<');
      out.append(element);
      for (const TAttr& a : attrs) AppendAttribute(out, a.name, a.value);
      if (empty) {
        out.append("/>\r\n");
        continue;
      }
      std::string inner;
      if (!ReadOpaqueChildren(element, depth + 1, inner)) return false;
      if (inner.empty()) {
        out.append("/>\r\n");
      } else {
        out.append(">\r\n").append(inner);
        out.append(static_cast<size_t>(depth), '\t');
        out.append("</").append(element).append(">\r\n");
      }
    }
  }

  // One "<z:row .../>" (no children), p_ after white space; the values that held references
  // live in decoded.
  bool ReadEmptyRow(std::vector<TAttr>& attrs, TDecodedTexts& decoded, size_t& offset) {
    offset = Offset(p_);
    std::string_view name;
    bool empty;
    return Expect("<") && ReadName(name) && name == "z:row" &&
           ReadAttributes(attrs, decoded, empty, true) && empty;
  }

  bool ReadBlock(TRowStatus status) {
    while (true) {
      if (!SkipMisc()) return false;
      if (StartsWith("</"))
        return ExpectEnd(status == TRowStatus::rsNew ? "rs:insert" : "rs:delete");
      size_t offset;
      if (!ReadEmptyRow(attrs_, decoded_, offset)) return false;
      reader_.AddRow(status, attrs_, offset, std::string());
    }
  }

  bool ReadUpdate() {
    while (true) {
      if (!SkipMisc()) return false;
      if (StartsWith("</")) return ExpectEnd("rs:update");
      std::string_view name;
      bool empty;
      if (!Expect("<") || !ReadName(name) || name != "rs:original" ||
          !ReadAttributes(changed_, decoded_, empty) || empty)
        return false;
      // The original row's values are read into texts of their own, which reading the changed
      // row leaves alone.
      size_t original_offset, changed_offset;
      if (!SkipMisc() || !ReadEmptyRow(original_, original_decoded_, original_offset) ||
          !ExpectEnd("rs:original"))
        return false;
      if (!SkipMisc() || !ReadEmptyRow(changed_, decoded_, changed_offset)) return false;
      reader_.AddUpdate(original_, original_offset, changed_, changed_offset);
    }
  }

  bool ReadData() {
    bool reserved = false;
    while (true) {
      if (!SkipMisc()) return false;
      if (StartsWith("</")) return ExpectEnd("rs:data");
      if (*p_ != '<') return false;
      const size_t offset = Offset(p_);
      ++p_;
      std::string_view name;
      bool empty;
      if (!ReadName(name) || !ReadAttributes(attrs_, decoded_, empty, name == "z:row"))
        return false;
      if (name == "z:row") {
        std::string opaque;
        if (!empty) {
          // Child rows: the attributes read so far stay valid only until the next tag, so
          // convert the row first and attach the children after.
          reader_.AddRow(TRowStatus::rsUnmodified, attrs_, offset, std::string());
          if (!ReadOpaqueChildren("z:row", 2, opaque)) return false;
          reader_.SetLastOpaque(std::move(opaque));
          continue;
        }
        reader_.AddRow(TRowStatus::rsUnmodified, attrs_, offset, std::string());
        // Rows are much alike: room for as many as would fill the rest like the first one.
        if (!reserved) {
          reserved = true;
          const size_t row_size = std::max<size_t>(Offset(p_) - offset, 32);
          reader_.ReserveRows(static_cast<size_t>(end_ - p_) / row_size + 1);
        }
      } else if (name == "rs:insert" || name == "rs:delete") {
        if (!empty && !ReadBlock(name == "rs:insert" ? TRowStatus::rsNew : TRowStatus::rsDeleted))
          return false;
      } else if (name == "rs:update") {
        if (!empty && !ReadUpdate()) return false;
      } else {
        return false;
      }
    }
  }

  const char* begin_;
  const char* p_;
  const char* end_;
  TRowReader& reader_;
  std::vector<TAttr> attrs_, changed_, original_;
  TDecodedTexts decoded_, original_decoded_;
  std::vector<std::string_view> expected_names_;  // per column; empty: scanned generally
};

// The rows read directly, or nullopt when the document needs the tree path.
std::optional<TRecordsetData> ReadDirect(std::string_view text) {
  // Plain UTF-8 only (a UTF-8 byte order mark is skipped).
  if (text.size() >= 3 && std::memcmp(text.data(), "\xEF\xBB\xBF", 3) == 0) text.remove_prefix(3);
  if (text.size() < 2 || text[0] == '\0' || text[1] == '\0' ||
      static_cast<unsigned char>(text[0]) >= 0xFE)
    return std::nullopt;
  // A NUL byte is no XML character (and would cut a value short in the tree).
  if (const void* nul = std::memchr(text.data(), '\0', text.size()))
    Malformed("not well-formed XML: a NUL byte at offset " +
              std::to_string(static_cast<const char*>(nul) - text.data()));
  size_t data_at = 0;
  while (true) {
    data_at = text.find("<rs:data", data_at);
    if (data_at == std::string_view::npos || data_at + 8 >= text.size()) return std::nullopt;
    const char next = text[data_at + 8];
    if (IsXmlSpace(next) || next == '>' || next == '/') break;
    data_at += 8;
  }
  // The document element's name: the first tag that is not a declaration or comment.
  size_t lt = 0;
  while (true) {
    lt = text.find('<', lt);
    if (lt == std::string_view::npos || lt + 1 >= text.size()) return std::nullopt;
    if (text[lt + 1] != '?' && text[lt + 1] != '!') break;
    ++lt;
  }
  size_t name_end = lt + 1;
  while (name_end < text.size() && !IsXmlSpace(text[name_end]) && text[name_end] != '>' &&
         text[name_end] != '/')
    ++name_end;
  const std::string root_name(text.substr(lt + 1, name_end - lt - 1));
  if (root_name.empty() || lt >= data_at) return std::nullopt;

  std::string head(text.substr(0, data_at));
  head.append("</").append(root_name).append(">");
  pugi::xml_document doc;
  if (!doc.load_buffer_inplace(head.data(), head.size(), kParseOptions, pugi::encoding_utf8))
    return std::nullopt;
  const pugi::xml_node root = doc.document_element();
  if (!root || root.name() != root_name || root.child("rs:data")) return std::nullopt;
  TRecordsetData data;
  try {
    ReadSchema(root, data.Schema);
    TRowReader reader(data);
    TDirectScanner scanner(text, reader);
    if (!scanner.Run(data_at, root_name)) return std::nullopt;
  } catch (const EMalformedData&) {
    return std::nullopt;  // the tree path words the error
  }
  data.Generation = 1;
  return data;
}

}  // namespace

TRecordsetData ReadAdoXml(std::string_view text) {
  if (std::optional<TRecordsetData> direct = ReadDirect(text)) return std::move(*direct);
  pugi::xml_document doc;
  CheckParse(doc.load_buffer(text.data(), text.size(), kParseOptions, pugi::encoding_auto));
  return ReadDocument(doc);
}

TRecordsetData ReadAdoXmlInPlace(std::string& buffer) {
  if (std::optional<TRecordsetData> direct = ReadDirect(buffer)) return std::move(*direct);
  pugi::xml_document doc;
  CheckParse(
      doc.load_buffer_inplace(buffer.data(), buffer.size(), kParseOptions, pugi::encoding_auto));
  return ReadDocument(doc);
}

void WriteAdoXml(const TRecordsetData& data, std::string& out, const TRowPredicate& include) {
  const auto& fields = data.Schema.Fields;
  std::vector<TColumn> columns(fields.size());
  std::vector<std::string> names(fields.size());
  for (size_t i = 0; i < fields.size(); ++i) {
    if (!ColumnFor(fields[i], columns[i]))
      throw EDatabaseError("Field '" + fields[i].Name + "' has an unknown type '" +
                           fields[i].TypeName + "'");
    names[i] = AdoXmlRowName(fields[i], i);
  }
  out.reserve(out.size() + 1024 + data.Rows.size() * (32 + fields.size() * 24));
  AppendSchema(out, data.Schema, names);
  out.append("<rs:data>\r\n");
  std::vector<const TRecordsetRow*> inserted, deleted;
  for (const auto& holder : data.Rows) {
    const TRecordsetRow& row = *holder;
    if (include && !include(row)) continue;
    switch (row.Status) {
      case TRowStatus::rsUnmodified:
        AppendRow(out, "\t", columns, names, row.Values, nullptr, TRowForm::kPlain, &row.Opaque);
        break;
      case TRowStatus::rsModified:
        out.append("\t<rs:update>\r\n\t\t<rs:original>\r\n");
        AppendRow(out, "\t\t\t", columns, names, row.Original, nullptr, TRowForm::kPlain, nullptr);
        out.append("\t\t</rs:original>\r\n");
        AppendRow(out, "\t\t", columns, names, row.Values, &row.Modified, TRowForm::kChanged,
                  nullptr);
        out.append("\t</rs:update>\r\n");
        break;
      case TRowStatus::rsNew:
        inserted.push_back(&row);
        break;
      case TRowStatus::rsDeleted:
        deleted.push_back(&row);
        break;
    }
  }
  if (!inserted.empty()) {
    out.append("\t<rs:insert>\r\n");
    for (const TRecordsetRow* row : inserted)
      AppendRow(out, "\t\t", columns, names, row->Values, nullptr, TRowForm::kInserted, nullptr);
    out.append("\t</rs:insert>\r\n");
  }
  if (!deleted.empty()) {
    out.append("\t<rs:delete>\r\n");
    for (const TRecordsetRow* row : deleted)
      AppendRow(out, "\t\t", columns, names, row->Values, nullptr, TRowForm::kPlain, nullptr);
    out.append("\t</rs:delete>\r\n");
  }
  out.append("</rs:data>\r\n</xml>");
}

std::string WriteAdoXml(const TRecordsetData& data, const TRowPredicate& include) {
  std::string out;
  WriteAdoXml(data, out, include);
  return out;
}

std::string AdoXmlRowName(const TRecordsetField& field, size_t index) {
  if (!field.XmlName.empty()) return field.XmlName;
  if (IsValidXmlName(field.Name)) return field.Name;
  return "c" + std::to_string(index);
}

std::string AdoXmlValueText(const TRecordsetField& field, const TVariant& value) {
  TColumn column;
  if (!ColumnFor(field, column))
    throw EDatabaseError("Field '" + field.Name + "' has an unknown type '" + field.TypeName + "'");
  if (value.IsClear()) return std::string();
  std::string out;
  if (column.kind == TKind::kString) return value.AsString();
  AppendValue(out, column, value);
  return out;
}

TVariant ParseAdoXmlValue(const TRecordsetField& field, std::string_view text) {
  TColumn column;
  if (!ColumnFor(field, column))
    Malformed("column '" + field.Name + "' has an unknown type '" + field.TypeName + "'");
  TVariant value;
  std::string scratch;
  if (!ParseValue(column, text, value, scratch))
    Malformed("column '" + field.Name + "' value '" + Shorten(text) + "' is not a valid " +
              KindName(column.kind) + " (" + field.TypeName + ")");
  return value;
}

}  // namespace larkspire
