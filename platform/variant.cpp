#include "platform/variant.h"

#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>

#include "platform/datetime.h"
#include "platform/exception.h"

namespace larkspire {
namespace {

std::string Trim(const std::string& text) {
  size_t begin = 0, end = text.size();
  while (begin < end && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
  while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t')) --end;
  return text.substr(begin, end - begin);
}

bool EqualsIgnoreCase(const std::string& a, const char* b) {
  if (a.size() != std::strlen(b)) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

int64_t CheckedInt64(double value, TVarType from) {
  if (!(value >= -9223372036854775808.0 && value < 9223372036854775808.0))
    throw EVariantError("Numeric overflow converting " + TVariant::TypeName(from) + " to Int64");
  return static_cast<int64_t>(value);
}

}  // namespace

int64_t RoundHalfEven(double value) {
  const double rounded = std::nearbyint(value);  // default rounding mode: to nearest, ties even
  if (!(rounded >= -9223372036854775808.0 && rounded < 9223372036854775808.0))
    throw EVariantError("Numeric overflow");
  return static_cast<int64_t>(rounded);
}

std::string FloatToText(double value) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value > 0 ? "INF" : "-INF";
  char text[64];
  std::snprintf(text, sizeof text, "%.15g", value);
  std::string result = text;
  // The framework writes exponents as "1E20" / "1E-7".
  const size_t e = result.find('e');
  if (e != std::string::npos) {
    std::string mantissa = result.substr(0, e);
    std::string exponent = result.substr(e + 1);
    bool negative = exponent[0] == '-';
    size_t start = (exponent[0] == '-' || exponent[0] == '+') ? 1 : 0;
    while (start + 1 < exponent.size() && exponent[start] == '0') ++start;
    result = mantissa + "E" + (negative ? "-" : "") + exponent.substr(start);
  }
  return result;
}

bool TextToFloat(const std::string& raw, double& value) {
  const std::string text = Trim(raw);
  size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  size_t digits = 0;
  while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i, ++digits;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    size_t exponent_digits = 0;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])))
      ++i, ++exponent_digits;
    if (exponent_digits == 0) return false;
  }
  if (i != text.size()) return false;
  const char* begin = text.c_str();
  if (*begin == '+') ++begin;
  const auto result = std::from_chars(begin, text.c_str() + text.size(), value);
  return result.ec == std::errc() && result.ptr == text.c_str() + text.size();
}

bool TextToInt64(const std::string& raw, int64_t& value) {
  const std::string text = Trim(raw);
  if (text.empty()) return false;
  const char* begin = text.c_str();
  if (*begin == '+') {
    ++begin;
    if (*begin == '-') return false;  // one sign only
  }
  const auto result = std::from_chars(begin, text.c_str() + text.size(), value);
  return result.ec == std::errc() && result.ptr == text.c_str() + text.size();
}

std::string CurrencyToText(int64_t scaled) {
  const bool negative = scaled < 0;
  const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(scaled) : scaled;
  std::string text = std::to_string(magnitude / 10000);
  uint64_t fraction = magnitude % 10000;
  if (fraction != 0) {
    char digits[8];
    std::snprintf(digits, sizeof digits, "%04llu", static_cast<unsigned long long>(fraction));
    std::string f = digits;
    while (f.back() == '0') f.pop_back();
    text += "." + f;
  }
  return negative ? "-" + text : text;
}

bool TextToCurrency(const std::string& raw, int64_t& scaled) {
  const std::string text = Trim(raw);
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  // Exact decimal form first; anything else (exponents) goes through double.
  unsigned __int128 whole = 0;
  size_t digits = 0;
  while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
    whole = whole * 10 + (text[i++] - '0');
    ++digits;
    if (whole > (unsigned __int128)1 << 70) return false;
  }
  int64_t fraction = 0;
  int fraction_digits = 0;
  int round_digit = -1;
  bool sticky = false;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
      const int d = text[i++] - '0';
      ++digits;
      if (fraction_digits < 4)
        fraction = fraction * 10 + d, ++fraction_digits;
      else if (round_digit < 0)
        round_digit = d;
      else if (d != 0)
        sticky = true;
    }
  }
  if (digits == 0) return false;
  if (i != text.size()) {
    double value;
    if (!TextToFloat(text, value)) return false;
    scaled = RoundHalfEven(value * 10000.0);
    return true;
  }
  while (fraction_digits < 4) fraction *= 10, ++fraction_digits;
  unsigned __int128 total = whole * 10000 + fraction;
  if (round_digit > 5 || (round_digit == 5 && (sticky || (total & 1)))) ++total;
  const unsigned __int128 limit =
      negative ? (unsigned __int128)1 << 63 : ((unsigned __int128)1 << 63) - 1;
  if (total > limit) return false;
  scaled = negative ? static_cast<int64_t>(0 - static_cast<uint64_t>(total))
                    : static_cast<int64_t>(total);
  return true;
}

// --- Storage ------------------------------------------------------------------------------------

struct TVariant::THeap {
  std::atomic<uint32_t> refs;
  uint32_t size;
  const char* Data() const { return reinterpret_cast<const char*>(this + 1); }
  char* Data() { return reinterpret_cast<char*>(this + 1); }
};

void TVariant::SetBytes(TVarType type, const char* data, size_t size) {
  if (size <= kInline) {
    type_ = type;
    length_ = static_cast<uint8_t>(size);
    if (size > 0) std::memcpy(bytes_, data, size);
    return;
  }
  if (size > UINT32_MAX)
    throw EVariantError("A value of " + std::to_string(size) + " bytes is too long");
  void* memory = ::operator new(sizeof(THeap) + size);
  THeap* heap = new (memory) THeap{{1}, static_cast<uint32_t>(size)};
  std::memcpy(heap->Data(), data, size);
  type_ = type;
  length_ = kOnHeap;
  std::memcpy(bytes_ + 6, &heap, sizeof heap);
}

void TVariant::CopyFrom(const TVariant& other) noexcept {
  std::memcpy(static_cast<void*>(this), &other, sizeof(TVariant));
  if (other.OnHeap()) other.Heap()->refs.fetch_add(1, std::memory_order_relaxed);
}

void TVariant::ReleaseHeap() noexcept {
  THeap* heap = Heap();
  if (heap->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    heap->~THeap();
    ::operator delete(heap);
  }
  type_ = TVarType::vtEmpty;
  length_ = 0;
}

std::string_view TVariant::BytesView() const {
  if (type_ != TVarType::vtString && type_ != TVarType::vtBytes) return {};
  if (length_ == kOnHeap) {
    const THeap* heap = Heap();
    return std::string_view(heap->Data(), heap->size);
  }
  return std::string_view(bytes_, length_);
}

TVariant TVariant::FromText(std::string_view text) {
  TVariant v;
  v.SetBytes(TVarType::vtString, text.data(), text.size());
  return v;
}

TVariant TVariant::Null() {
  TVariant v;
  v.type_ = TVarType::vtNull;
  return v;
}

TVariant TVariant::FromCurrency(int64_t scaled) {
  return TVariant(TVarType::vtCurrency, scaled);
}

TVariant TVariant::FromDateTime(double days) {
  return TVariant(TVarType::vtDateTime, days);
}

bool TVariant::IsNumeric() const {
  switch (type_) {
    case TVarType::vtInteger:
    case TVarType::vtInt64:
    case TVarType::vtDouble:
    case TVarType::vtCurrency:
      return true;
    default:
      return false;
  }
}

std::string TVariant::TypeName(TVarType type) {
  switch (type) {
    case TVarType::vtEmpty:
      return "Empty";
    case TVarType::vtNull:
      return "Null";
    case TVarType::vtBoolean:
      return "Boolean";
    case TVarType::vtInteger:
      return "Integer";
    case TVarType::vtInt64:
      return "Int64";
    case TVarType::vtDouble:
      return "Double";
    case TVarType::vtCurrency:
      return "Currency";
    case TVarType::vtDateTime:
      return "Date";
    case TVarType::vtString:
      return "String";
    case TVarType::vtBytes:
      return "Array Byte";
  }
  return "Unknown";
}

void TVariant::CannotConvert(TVarType to) const {
  throw EVariantError("Could not convert variant of type (" + TypeName(type_) + ") into type (" +
                      TypeName(to) + ")");
}

bool TVariant::AsBoolean() const {
  switch (type_) {
    case TVarType::vtEmpty:
      return false;
    case TVarType::vtBoolean:
    case TVarType::vtInteger:
    case TVarType::vtInt64:
    case TVarType::vtCurrency:
      return Int() != 0;
    case TVarType::vtDouble:
    case TVarType::vtDateTime:
      return Float() != 0;
    case TVarType::vtString: {
      const std::string t = Trim(std::string(BytesView()));
      if (EqualsIgnoreCase(t, "true")) return true;
      if (EqualsIgnoreCase(t, "false")) return false;
      double d;
      if (TextToFloat(t, d)) return d != 0;
      break;
    }
    default:
      break;
  }
  CannotConvert(TVarType::vtBoolean);
}

int64_t TVariant::AsInt64() const {
  switch (type_) {
    case TVarType::vtEmpty:
      return 0;
    case TVarType::vtBoolean:
    case TVarType::vtInteger:
    case TVarType::vtInt64:
      return Int();
    case TVarType::vtCurrency: {
      const int64_t scaled = Int();
      int64_t q = scaled / 10000, r = scaled % 10000;
      if (r > 5000 || (r == 5000 && (q & 1)))
        ++q;
      else if (r < -5000 || (r == -5000 && (q & 1)))
        --q;
      return q;
    }
    case TVarType::vtDouble:
    case TVarType::vtDateTime:
      try {
        return RoundHalfEven(Float());
      } catch (const EVariantError&) {
        CheckedInt64(Float(), type_);
        throw;
      }
    case TVarType::vtString: {
      const std::string s(BytesView());
      int64_t i;
      if (TextToInt64(s, i)) return i;
      double d;
      if (TextToFloat(s, d)) return RoundHalfEven(d);
      break;
    }
    default:
      break;
  }
  CannotConvert(TVarType::vtInt64);
}

int32_t TVariant::AsInteger() const {
  const int64_t value = AsInt64();
  if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max())
    throw EVariantError("Numeric overflow converting " + TypeName(type_) + " to Integer");
  return static_cast<int32_t>(value);
}

double TVariant::AsDouble() const {
  switch (type_) {
    case TVarType::vtEmpty:
      return 0;
    case TVarType::vtBoolean:
    case TVarType::vtInteger:
    case TVarType::vtInt64:
      return static_cast<double>(Int());
    case TVarType::vtCurrency:
      return static_cast<double>(Int()) / 10000.0;
    case TVarType::vtDouble:
    case TVarType::vtDateTime:
      return Float();
    case TVarType::vtString: {
      const std::string s(BytesView());
      double d;
      if (TextToFloat(s, d)) return d;
      double days;
      if (TextToDateTime(Trim(s), days)) return days;
      break;
    }
    default:
      break;
  }
  CannotConvert(TVarType::vtDouble);
}

int64_t TVariant::AsCurrency() const {
  switch (type_) {
    case TVarType::vtCurrency:
      return Int();
    case TVarType::vtBoolean:
    case TVarType::vtInteger:
    case TVarType::vtInt64: {
      const int64_t v = Int();
      if (v > INT64_MAX / 10000 || v < INT64_MIN / 10000) throw EVariantError("Numeric overflow");
      return v * 10000;
    }
    case TVarType::vtString: {
      int64_t scaled;
      if (TextToCurrency(std::string(BytesView()), scaled)) return scaled;
      CannotConvert(TVarType::vtCurrency);
    }
    default:
      return RoundHalfEven(AsDouble() * 10000.0);
  }
}

double TVariant::AsDateTime() const {
  if (type_ == TVarType::vtString) {
    const std::string s(BytesView());
    double days;
    if (TextToDateTime(Trim(s), days)) return days;
    if (TextToFloat(s, days)) return days;
    CannotConvert(TVarType::vtDateTime);
  }
  if (type_ == TVarType::vtNull || type_ == TVarType::vtBytes) CannotConvert(TVarType::vtDateTime);
  return AsDouble();
}

std::string TVariant::AsString() const {
  switch (type_) {
    case TVarType::vtEmpty:
      return "";
    case TVarType::vtBoolean:
      return Int() ? "True" : "False";
    case TVarType::vtInteger:
    case TVarType::vtInt64:
      return std::to_string(Int());
    case TVarType::vtCurrency:
      return CurrencyToText(Int());
    case TVarType::vtDouble:
      return FloatToText(Float());
    case TVarType::vtDateTime:
      return DateTimeToText(Float());
    case TVarType::vtString:
    case TVarType::vtBytes:
      return std::string(BytesView());
    default:
      break;
  }
  CannotConvert(TVarType::vtString);
}

TBytes TVariant::AsBytes() const {
  if (type_ == TVarType::vtBytes || type_ == TVarType::vtString) {
    const std::string_view s = BytesView();
    return TBytes(s.begin(), s.end());
  }
  if (type_ == TVarType::vtEmpty) return {};
  CannotConvert(TVarType::vtBytes);
}

bool TVariant::operator==(const TVariant& other) const {
  if (type_ != other.type_) return false;
  switch (type_) {
    case TVarType::vtEmpty:
    case TVarType::vtNull:
      return true;
    case TVarType::vtDouble:
    case TVarType::vtDateTime:
      return Float() == other.Float();
    case TVarType::vtString:
    case TVarType::vtBytes:
      return BytesView() == other.BytesView();
    default:
      return Int() == other.Int();
  }
}

}  // namespace larkspire
