// Values of rowset columns as the ADO XML format writes them: what kind each column type reads
// and writes, parsing an attribute text into a value and writing a value as attribute text.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>
#include <utility>

#include "dataset/ado_xml.h"
#include "dataset/ado_xml_internal.h"
#include "platform/datetime.h"
#include "platform/exception.h"

namespace larkspire::adoxml {

[[noreturn]] void Malformed(const std::string& message) {
  throw EMalformedData("rowset document: " + message);
}

bool ColumnFor(const TRecordsetField& field, TColumn& column) {
  column.field = &field;
  const TColumnTypeTraits* traits = ColumnTypeOf(field);
  if (!traits) return false;
  column.kind = traits->Kind;
  column.low = traits->Low;
  column.high = traits->High;
  column.int32 = traits->Int32;
  return true;
}

const char* KindName(TValueKind kind) {
  switch (kind) {
    case TValueKind::vkInteger:
    case TValueKind::vkUInt64:
      return "integer";
    case TValueKind::vkSingle:
    case TValueKind::vkDouble:
      return "floating-point";
    case TValueKind::vkCurrency:
      return "currency";
    case TValueKind::vkDecimal:
      return "decimal";
    case TValueKind::vkBoolean:
      return "boolean";
    case TValueKind::vkDateTime:
      return "dateTime";
    case TValueKind::vkDate:
      return "date";
    case TValueKind::vkTime:
      return "time";
    case TValueKind::vkGuid:
      return "uuid";
    case TValueKind::vkString:
      return "string";
    case TValueKind::vkBinary:
      return "bin.hex";
  }
  return "?";
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

namespace {

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

bool ParseDateTime(std::string_view text, TValueKind kind, double& days) {
  TDateTimeParts p;
  p.hour = p.minute = p.second = p.millisecond = p.microsecond = 0;
  size_t i = 0;
  if (kind == TValueKind::vkTime && text.size() >= 3 && text[2] == ':') {
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
  if (kind == TValueKind::vkDate) p.hour = p.minute = p.second = p.millisecond = p.microsecond = 0;
  if (kind == TValueKind::vkTime) p.year = 1899, p.month = 12, p.day = 30;
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

void AppendDateTime(std::string& out, double days, TValueKind kind) {
  const TDateTimeParts p = DecodeDateTime(days);
  if (kind != TValueKind::vkTime) {
    AppendDigits(out, p.year, 4);
    out.push_back('-');
    AppendDigits(out, p.month, 2);
    out.push_back('-');
    AppendDigits(out, p.day, 2);
    if (kind == TValueKind::vkDate) return;
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

}  // namespace

// Reads one attribute text into a value of the column, handing it to put; false when it is not
// one.
template <typename TPut>
bool ParseValueTo(const TColumn& column, std::string_view raw, TPut&& put, std::string& scratch,
                  bool spaced) {
  if (column.kind == TValueKind::vkString) {
    put(TVariant::FromText(raw));
    return true;
  }
  const std::string_view text = spaced ? WithoutSpace(raw, scratch) : raw;
  switch (column.kind) {
    case TValueKind::vkInteger: {
      int64_t v;
      if (!ParseWhole(text, v) || v < column.low || v > column.high) return false;
      if (column.int32)
        put(static_cast<int32_t>(v));
      else
        put(v);
      return true;
    }
    case TValueKind::vkUInt64: {
      uint64_t v;
      if (!ParseWhole(text, v)) return false;
      if (v <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
        put(static_cast<int64_t>(v));
      else
        put(std::to_string(v));
      return true;
    }
    case TValueKind::vkSingle: {
      double v;
      if (!ParseFloat(text, v) || std::fabs(v) > std::numeric_limits<float>::max()) return false;
      put(static_cast<double>(static_cast<float>(v)));
      return true;
    }
    case TValueKind::vkDouble: {
      double v;
      if (!ParseFloat(text, v)) return false;
      put(v);
      return true;
    }
    case TValueKind::vkCurrency: {
      int64_t scaled;
      if (!ParsePlainCurrency(text, scaled) &&
          (text.empty() || !TextToCurrency(std::string(text), scaled)))
        return false;
      put(TVariant::FromCurrency(scaled));
      return true;
    }
    case TValueKind::vkDecimal: {
      TVariant value;
      if (!ParseDecimal(text, value)) return false;
      put(std::move(value));
      return true;
    }
    case TValueKind::vkBoolean:
      if (EqualsIgnoreCase(text, "true") || text == "1" || text == "-1") {
        put(true);
        return true;
      }
      if (EqualsIgnoreCase(text, "false") || text == "0") {
        put(false);
        return true;
      }
      return false;
    case TValueKind::vkDateTime:
    case TValueKind::vkDate:
    case TValueKind::vkTime: {
      double days;
      if (!ParseDateTime(text, column.kind, days)) return false;
      put(TVariant::FromDateTime(days));
      return true;
    }
    case TValueKind::vkGuid: {
      TVariant value;
      if (!ParseGuid(text, value)) return false;
      put(std::move(value));
      return true;
    }
    case TValueKind::vkBinary: {
      TVariant value;
      if (!ParseBinary(text, value)) return false;
      put(std::move(value));
      return true;
    }
    case TValueKind::vkString:
      break;
  }
  return false;
}

template bool ParseValueTo(const TColumn&, std::string_view, TAssignValue&&, std::string&, bool);
template bool ParseValueTo(const TColumn&, std::string_view, TAppendValue&&, std::string&, bool);

bool ParseValue(const TColumn& column, std::string_view raw, TVariant& out, std::string& scratch,
                bool spaced) {
  return ParseValueTo(column, raw, TAssignValue{out}, scratch, spaced);
}

std::string Shorten(std::string_view text) {
  if (text.size() <= 40) return std::string(text);
  return std::string(text.substr(0, 40)) + "...";
}

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
    case TValueKind::vkInteger:
      if (type == TVarType::vtInteger || type == TVarType::vtInt64) {
        const int64_t v = value.AsInt64();
        if (v < column.low || v > column.high)
          throw EDatabaseError("Value " + std::to_string(v) + " is out of range for field '" +
                               column.field->Name + "'");
        return AppendNumber(out, v);
      }
      return coerced();
    case TValueKind::vkUInt64:
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
    case TValueKind::vkSingle:
    case TValueKind::vkDouble:
      if (type == TVarType::vtDouble)
        return AppendFloat(out, value.AsDouble(), column.kind == TValueKind::vkSingle);
      return coerced();
    case TValueKind::vkCurrency:
      if (type == TVarType::vtCurrency)
        return out.append(CurrencyToText(value.AsCurrency())), void();
      return coerced();
    case TValueKind::vkDecimal:
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
    case TValueKind::vkBoolean:
      if (type == TVarType::vtBoolean)
        return out.append(value.AsBoolean() ? "True" : "False"), void();
      return coerced();
    case TValueKind::vkDateTime:
    case TValueKind::vkDate:
    case TValueKind::vkTime:
      if (type == TVarType::vtDateTime) return AppendDateTime(out, value.AsDateTime(), column.kind);
      return coerced();
    case TValueKind::vkGuid:
      if (type == TVarType::vtString) {
        TVariant check;
        if (!ParseGuid(value.AsString(), check))
          throw EDatabaseError("Value '" + Shorten(value.AsString()) +
                               "' is not a uuid for field '" + column.field->Name + "'");
        return AppendEscaped(out, check.AsString());
      }
      return coerced();
    case TValueKind::vkString:
      if (type == TVarType::vtString) {
        // Reference the stored text without copying it.
        return AppendEscaped(out, value.BytesView());
      }
      return AppendEscaped(out, value.AsString());
    case TValueKind::vkBinary: {
      if (type != TVarType::vtBytes) return coerced();
      static const char kHex[] = "0123456789abcdef";
      const std::string_view bytes = value.BytesView();
      const size_t start = out.size();
      out.resize(start + bytes.size() * 2);
      char* p = out.data() + start;
      for (const char c : bytes) {
        const auto b = static_cast<uint8_t>(c);
        *p++ = kHex[b >> 4], *p++ = kHex[b & 15];
      }
      return;
    }
  }
}

}  // namespace larkspire::adoxml

namespace larkspire {

using namespace adoxml;

void AppendAdoXmlEscaped(std::string& out, std::string_view text) {
  AppendEscaped(out, text);
}

void AppendAdoXmlFloat(std::string& out, double value, bool single) {
  AppendFloat(out, value, single);
}

std::string AdoXmlValueText(const TRecordsetField& field, const TVariant& value) {
  TColumn column;
  if (!ColumnFor(field, column))
    throw EDatabaseError("Field '" + field.Name + "' has an unknown type '" + field.TypeName + "'");
  if (value.IsClear()) return std::string();
  std::string out;
  if (column.kind == TValueKind::vkString) return value.AsString();
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
