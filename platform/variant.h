// TVariant: the tagged value that fields and parameters hold.
//
// Kinds: Empty (unassigned), Null, Boolean, Integer (32-bit), Int64, Double, Currency (fixed
// point, the value times 10 000 as a 64-bit integer), DateTime (days since 1899-12-30, the time of
// day as the fraction), String (UTF-8 text, or code-page bytes inside wire fields) and Bytes.
// The As* conversions follow the framework's rules: numbers to decimal text and back, Boolean to
// 0/1; a value that does not convert raises EVariantError.
//
// Thread-safety: a plain value; copies of one value may live on different threads (a shared
// block's count is atomic and its bytes never change).
#ifndef LARKSPIRE_PLATFORM_VARIANT_H_
#define LARKSPIRE_PLATFORM_VARIANT_H_

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace larkspire {

enum class TVarType : uint8_t {
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

// A value takes 16 bytes. Texts and byte strings of up to 14 bytes are held inside it; longer
// ones in one immutable block shared by the copies of the value (copying does not copy the
// bytes; the block goes with its last value).
class alignas(8) TVariant {
 public:
  TVariant() noexcept = default;  // Empty
  TVariant(bool value) noexcept { SetInt(TVarType::vtBoolean, int64_t{value}); }
  TVariant(int32_t value) noexcept { SetInt(TVarType::vtInteger, int64_t{value}); }
  TVariant(int64_t value) noexcept { SetInt(TVarType::vtInt64, value); }
  TVariant(double value) noexcept { SetFloat(TVarType::vtDouble, value); }
  TVariant(const char* value) { SetBytes(TVarType::vtString, value, std::strlen(value)); }
  TVariant(const std::string& value) { SetBytes(TVarType::vtString, value.data(), value.size()); }
  TVariant(const TBytes& value) {
    SetBytes(TVarType::vtBytes, reinterpret_cast<const char*>(value.data()), value.size());
  }
  TVariant(const TVariant& other) noexcept { CopyFrom(other); }
  TVariant(TVariant&& other) noexcept { MoveFrom(other); }
  TVariant& operator=(const TVariant& other) noexcept {
    if (this != &other) {
      Release();
      CopyFrom(other);
    }
    return *this;
  }
  TVariant& operator=(TVariant&& other) noexcept {
    if (this != &other) {
      Release();
      MoveFrom(other);
    }
    return *this;
  }
  ~TVariant() { Release(); }

  static TVariant Null();
  // A currency value from its scaled form (1.5 is 15000).
  static TVariant FromCurrency(int64_t scaled);
  static TVariant FromDateTime(double days);
  // A String value of these bytes (no intermediate std::string).
  static TVariant FromText(std::string_view text);

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
  // The bytes of a String or Bytes value where the value holds them (valid while it lives and
  // is not assigned); empty for the other kinds.
  std::string_view BytesView() const;

  // The kind's name, as in messages ("Null", "String").
  static std::string TypeName(TVarType type);

  // Same kind and same value.
  bool operator==(const TVariant& other) const;
  bool operator!=(const TVariant& other) const { return !(*this == other); }

 private:
  struct THeap;  // a shared block: reference count, size, then the bytes
  static constexpr uint8_t kOnHeap = 0xFF;
  static constexpr size_t kInline = 14;

  TVariant(TVarType type, int64_t value) noexcept { SetInt(type, value); }
  TVariant(TVarType type, double value) noexcept { SetFloat(type, value); }
  [[noreturn]] void CannotConvert(TVarType to) const;

  void SetInt(TVarType type, int64_t value) noexcept {
    type_ = type;
    std::memcpy(bytes_ + 6, &value, 8);
  }
  void SetFloat(TVarType type, double value) noexcept {
    type_ = type;
    std::memcpy(bytes_ + 6, &value, 8);
  }
  int64_t Int() const noexcept {
    int64_t value;
    std::memcpy(&value, bytes_ + 6, 8);
    return value;
  }
  double Float() const noexcept {
    double value;
    std::memcpy(&value, bytes_ + 6, 8);
    return value;
  }
  THeap* Heap() const noexcept {
    THeap* heap;
    std::memcpy(&heap, bytes_ + 6, sizeof heap);
    return heap;
  }
  bool OnHeap() const noexcept {
    return (type_ == TVarType::vtString || type_ == TVarType::vtBytes) && length_ == kOnHeap;
  }
  void SetBytes(TVarType type, const char* data, size_t size);
  void CopyFrom(const TVariant& other) noexcept;
  void MoveFrom(TVariant& other) noexcept {
    std::memcpy(static_cast<void*>(this), &other, sizeof(TVariant));
    other.type_ = TVarType::vtEmpty;
    other.length_ = 0;
  }
  void Release() noexcept {
    if (OnHeap()) ReleaseHeap();
  }
  void ReleaseHeap() noexcept;

  TVarType type_ = TVarType::vtEmpty;
  uint8_t length_ = 0;  // inline bytes held, or kOnHeap
  // Inline bytes; or, from offset 6 (the value's eighth byte), a number or the heap block.
  char bytes_[14] = {};
};
static_assert(sizeof(TVariant) == 16);

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
