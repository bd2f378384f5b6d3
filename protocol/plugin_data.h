// The plug-in parameter containers: a parameter holds one named value of one of seven types as
// its wire bytes; a data container holds an ordered list of parameters and writes or reads the
// whole list in the layout that travels inside command 500.
//
// Layout of a container (integers little-endian, no gaps):
//   Count (int32), then Count entries of
//   NameLength (int32), Name (NameLength code-page bytes), DataType (1 byte),
//   DataSize (int32), Data (DataSize bytes).
// The empty container is 00 00 00 00.
//
// Callers hold the containers through ILarkspirePluginParam and ILarkspirePluginData. Holding
// one never owns the object behind it: a container owns its parameters, and a parameter (and
// its value stream) lives until the container is cleared or destroyed.
//
// Names and string values are given and returned as UTF-8 and held in the code page of
// platform/codepage.h. Names are looked up ignoring letter case; the first match wins.
//
// Thread-safety: none; a container is used by one thread at a time.
#ifndef LARKSPIRE_PROTOCOL_PLUGIN_DATA_H_
#define LARKSPIRE_PROTOCOL_PLUGIN_DATA_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/stream.h"
#include "protocol/memory_stream.h"

namespace larkspire {

// The one-byte type tag of a plug-in value.
enum TPluginDataType : uint8_t {
  pdtInteger = 0,   // 4 bytes: int32
  pdtInt64 = 1,     // 8 bytes: int64
  pdtString = 2,    // the text's code-page bytes, no terminator or length
  pdtBoolean = 3,   // 1 byte: 1 true, 0 false
  pdtDouble = 4,    // 8 bytes: IEEE 754 double
  pdtExtended = 5,  // 10 bytes: x87 80-bit extended precision
  pdtStream = 6,    // the bytes of a stream, unchanged
};

// Bytes of the x87 80-bit extended format.
inline constexpr int kExtendedSize = 10;

// Converts a long double to the x87 80-bit format, little-endian: 64-bit mantissa with its
// explicit integer bit, 15-bit exponent biased by 16383, sign. Zeros, denormals, infinities
// and NaN (as the quiet NaN, sign kept) are converted exactly; where long double is wider than
// the format the value is rounded to nearest, even on ties (and overflows to infinity).
void EncodeExtended(long double value, uint8_t out[kExtendedSize]);
// The value of 10 bytes in the x87 80-bit format. Every NaN becomes a quiet NaN of the same
// sign; an unnormal (exponent not 0 with the integer bit clear) is an invalid operand on the
// FPU and reads as NaN; a pseudo-denormal (exponent 0, integer bit set) reads as its value.
// Where long double is narrower than the format the value is rounded to nearest.
long double DecodeExtended(const uint8_t in[kExtendedSize]);

// One named, typed value.
class ILarkspirePluginParam {
 public:
  static constexpr const char* kInterfaceId = "{BD41B2DD-FDA1-43F5-BDC8-CC5E9AED13A2}";

  virtual void SetAsInteger(int32_t value) = 0;
  virtual void SetAsInt64(int64_t value) = 0;
  // UTF-8 text, stored converted to the code page.
  virtual void SetAsString(const std::string& value) = 0;
  virtual void SetAsBoolean(bool value) = 0;
  virtual void SetAsDouble(double value) = 0;
  virtual void SetAsExtended(long double value) = 0;
  // Copies the whole source from its first byte, whatever its position, and leaves the source
  // at its end. Raises EStreamError for a source larger than 2147483647 bytes.
  virtual void SetAsStream(TStream& value) = 0;

  // The fixed-width getters read the value bytes whatever the type tag says, but never more
  // than their own width nor beyond the value: a shorter value is sign-extended (integers) or
  // filled with zero bytes (floating point); a longer one gives its first bytes.
  virtual int32_t GetAsInteger() = 0;
  virtual int64_t GetAsInt64() = 0;
  // The value bytes as code-page text, converted to UTF-8.
  virtual std::string GetAsString() = 0;
  // False for an empty value, else whether the first byte is not 0.
  virtual bool GetAsBoolean() = 0;
  virtual double GetAsDouble() = 0;
  virtual long double GetAsExtended() = 0;
  // The value stream itself, rewound; it stays the same object until the parameter is freed.
  virtual TStream& GetAsStream() = 0;

 protected:
  ~ILarkspirePluginParam() = default;
};

// An ordered list of named parameters.
class ILarkspirePluginData {
 public:
  static constexpr const char* kInterfaceId = "{8BA9DD91-448F-4A3F-9872-665F489834F7}";

  // Frees every parameter and empties the list.
  virtual void Clear() = 0;
  // The parameter of that name (UTF-8, any letter case), created and appended when none.
  virtual ILarkspirePluginParam& Param(const std::string& name) = 0;
  // The parameter of that name, or nullptr.
  virtual ILarkspirePluginParam* FindParam(const std::string& name) = 0;

 protected:
  ~ILarkspirePluginData() = default;
};

class TLarkspirePluginParam final : public ILarkspirePluginParam {
 public:
  TLarkspirePluginParam() = default;
  TLarkspirePluginParam(const TLarkspirePluginParam&) = delete;
  TLarkspirePluginParam& operator=(const TLarkspirePluginParam&) = delete;

  void SetAsInteger(int32_t value) override;
  void SetAsInt64(int64_t value) override;
  void SetAsString(const std::string& value) override;
  void SetAsBoolean(bool value) override;
  void SetAsDouble(double value) override;
  void SetAsExtended(long double value) override;
  void SetAsStream(TStream& value) override;

  int32_t GetAsInteger() override;
  int64_t GetAsInt64() override;
  std::string GetAsString() override;
  bool GetAsBoolean() override;
  double GetAsDouble() override;
  long double GetAsExtended() override;
  TStream& GetAsStream() override;

  // The name as code-page bytes, and as UTF-8.
  const std::string& AnsiName() const { return name_; }
  std::string Name() const;
  TPluginDataType DataType() const { return data_type_; }
  int32_t DataSize() const { return data_size_; }
  // The value bytes (for printing and tests).
  std::string Bytes() const { return data_.Bytes(); }

 private:
  friend class TLarkspirePluginData;
  // Empties the value and writes its new bytes.
  void Store(TPluginDataType type, const void* bytes, int64_t size);
  // Copies at most width value bytes into out (zeroed first); returns how many.
  int64_t ReadFixed(void* out, int64_t width);
  // The first width value bytes as a little-endian integer, sign-extended.
  int64_t GetAsInt64Width(int width);

  std::string name_;  // code-page bytes
  TPluginDataType data_type_ = pdtInteger;
  int32_t data_size_ = 0;
  TLarkspireMemoryStream data_;
};

class TLarkspirePluginData final : public ILarkspirePluginData {
 public:
  TLarkspirePluginData() = default;
  TLarkspirePluginData(const TLarkspirePluginData&) = delete;
  TLarkspirePluginData& operator=(const TLarkspirePluginData&) = delete;
  ~TLarkspirePluginData() { Clear(); }

  void Clear() override;
  TLarkspirePluginParam& Param(const std::string& name) override;
  TLarkspirePluginParam* FindParam(const std::string& name) override;

  int Count() const { return static_cast<int>(params_.size()); }
  // The parameter at index, in list order.
  TLarkspirePluginParam& Items(int index) { return *params_.at(index); }

  // Exchanges the parameters of the two containers.
  void Swap(TLarkspirePluginData& other) noexcept { params_.swap(other.params_); }

  // Writes the container at the stream's position.
  void WriteToStream(TStream& stream) const;
  // Reads a container from the start of the stream and appends its parameters (the list is
  // not emptied first; a name that comes twice gives two parameters, and lookups find the
  // first). Bytes after the container are ignored. Malformed input (a negative or oversized
  // count or length, or a stream that ends early) raises EMalformedData and appends nothing.
  void ReadFromStream(TStream& stream);

 private:
  std::vector<std::unique_ptr<TLarkspirePluginParam>> params_;
};

}  // namespace larkspire

#endif  // LARKSPIRE_PROTOCOL_PLUGIN_DATA_H_
