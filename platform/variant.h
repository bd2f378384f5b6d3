// TVariant: the tagged value that fields and parameters hold.
//
// Kinds: Empty (unassigned), Null, Boolean, Integer (32-bit), Int64, Double, Currency (fixed
// point, the value times 10 000 as a 64-bit integer), DateTime (days since 1899-12-30, the time of
// day as the fraction), String (UTF-8 text, or code-page bytes inside wire fields) and Bytes.
// The As* conversions follow the framework's rules: numbers to decimal text and back, Boolean to
// 0/1; a value that does not convert raises EVariantError.
//
// Thread-safety: a plain value.
#ifndef LARKSPIRE_PLATFORM_VARIANT_H_
#define LARKSPIRE_PLATFORM_VARIANT_H_

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace larkspire {

enum class TVarType {
  vtEmpty,
  vtNull,
  vtBoolean,
  vtInteger,
  vtInt64,
  vtDouble,
  vtCurrency,
  vtDateTime,
  vtString,
  vtBytes
};

using TBytes = std::vector<uint8_t>;

class TVariant {
 public:
  TVariant() = default;  // Empty
  TVariant(bool value) : type_(TVarType::vtBoolean), value_(int64_t{value}) {}
  TVariant(int32_t value) : type_(TVarType::vtInteger), value_(int64_t{value}) {}
  TVariant(int64_t value) : type_(TVarType::vtInt64), value_(value) {}
  TVariant(double value) : type_(TVarType::vtDouble), value_(value) {}
  TVariant(const char* value) : type_(TVarType::vtString), value_(std::string(value)) {}
  TVariant(std::string value) : type_(TVarType::vtString), value_(std::move(value)) {}
  TVariant(TBytes value) : type_(TVarType::vtBytes), value_(std::move(value)) {}

  static TVariant Null();
  // A currency value from its scaled form (1.5 is 15000).
  static TVariant FromCurrency(int64_t scaled);
  static TVariant FromDateTime(double days);

  TVarType Type() const { return type_; }
  bool IsEmpty() const { return type_ == TVarType::vtEmpty; }
  bool IsNull() const { return type_ == TVarType::vtNull; }
  // Empty or Null.
  bool IsClear() const { return IsEmpty() || IsNull(); }
  bool IsNumeric() const;

  bool AsBoolean() const;
  int32_t AsInteger() const;
  int64_t AsInt64() const;
  double AsDouble() const;
  // The value times 10 000, rounded half to even.
  int64_t AsCurrency() const;
  double AsDateTime() const;
  std::string AsString() const;
  TBytes AsBytes() const;

  // The kind's name, as in messages ("Null", "String").
  static std::string TypeName(TVarType type);

  // Same kind and same value.
  bool operator==(const TVariant& other) const;
  bool operator!=(const TVariant& other) const { return !(*this == other); }

 private:
  TVariant(TVarType type, int64_t value) : type_(type), value_(value) {}
  TVariant(TVarType type, double value) : type_(type), value_(value) {}
  [[noreturn]] void CannotConvert(TVarType to) const;

  TVarType type_ = TVarType::vtEmpty;
  std::variant<std::monostate, int64_t, double, std::string, TBytes> value_;
};

// Decimal text of a double: the shortest with at most 15 significant digits ("12.5").
std::string FloatToText(double value);
// Parses a decimal number with optional sign, fraction and exponent, blanks around it allowed,
// "." as the separator. No hex, "inf" or "nan". Returns false when the text is not a number.
bool TextToFloat(const std::string& text, double& value);
// Parses a decimal integer with optional sign and surrounding blanks, within int64.
bool TextToInt64(const std::string& text, int64_t& value);
// Rounds half to even, as the framework's Round does.
int64_t RoundHalfEven(double value);
// Decimal text of a currency value ("1.5", "-922337203685477.5808").
std::string CurrencyToText(int64_t scaled);
// Parses a decimal text into a currency value exactly (up to four decimals, then rounded).
bool TextToCurrency(const std::string& text, int64_t& scaled);

}  // namespace larkspire

#endif  // LARKSPIRE_PLATFORM_VARIANT_H_
