#include "protocol/plugin_data.h"

#include <locale.h>
#include <wctype.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "platform/codepage.h"
#include "platform/exception.h"

namespace larkspire {

namespace {

constexpr int kExtendedBias = 16383;
constexpr int kExtendedMaxExponent = 0x7FFF;
constexpr uint64_t kIntegerBit = uint64_t{1} << 63;
// The smallest entry: NameLength, DataType and DataSize with an empty name and value.
constexpr int64_t kMinEntrySize = 4 + 1 + 4;

void PutUint32(uint8_t* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t GetUint32(const uint8_t* in) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= uint32_t{in[i]} << (8 * i);
  return value;
}

void WriteInt32(TStream& stream, int32_t value) {
  uint8_t bytes[4];
  PutUint32(bytes, static_cast<uint32_t>(value));
  stream.WriteBuffer(bytes, 4);
}

// Rounds a non-negative long double to an integer, to nearest with ties to even, without
// depending on the floating-point environment.
long double RoundHalfEven(long double value) {
  long double whole = std::floor(value);
  long double fraction = value - whole;
  if (fraction > 0.5L) return whole + 1;
  if (fraction < 0.5L) return whole;
  return std::fmod(whole, 2.0L) == 0 ? whole : whole + 1;
}

// Letter case folded for comparison, character by character (the user's letters, not only
// ASCII: the fold uses the C.UTF-8 locale where it exists).
std::u32string FoldCase(const std::string& utf8) {
  static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  std::u32string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    const uint8_t lead = static_cast<uint8_t>(utf8[i]);
    const size_t extra = lead < 0xC0 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
    char32_t c = lead;
    if (extra > 0 && i + extra < utf8.size()) {
      c = lead & (0x3F >> extra);
      for (size_t k = 1; k <= extra; ++k) c = (c << 6) | (static_cast<uint8_t>(utf8[i + k]) & 0x3F);
      i += 1 + extra;
    } else {
      i += 1;
    }
    if (locale != static_cast<locale_t>(0)) {
      c = static_cast<char32_t>(towlower_l(static_cast<wint_t>(c), locale));
    } else if (c >= 'A' && c <= 'Z') {
      c = c - 'A' + 'a';
    }
    out.push_back(c);
  }
  return out;
}

[[noreturn]] void Malformed(const std::string& what) {
  throw EMalformedData("plug-in data: " + what);
}

// Reads exactly count bytes of a container, or raises EMalformedData naming the field.
void ReadField(TStream& stream, void* buffer, int64_t count, const std::string& field) {
  if (count == 0) return;
  if (stream.Read(buffer, count) != count) Malformed(field + " ends early");
}

}  // namespace

// --- Extended -----------------------------------------------------------------------------

void EncodeExtended(long double value, uint8_t out[kExtendedSize]) {
  const bool negative = std::signbit(value);
  int exponent = 0;
  uint64_t mantissa = 0;
  if (std::isnan(value)) {
    exponent = kExtendedMaxExponent;
    mantissa = kIntegerBit | (kIntegerBit >> 1);  // the quiet NaN
  } else if (std::isinf(value)) {
    exponent = kExtendedMaxExponent;
    mantissa = kIntegerBit;
  } else if (value != 0) {
    int binary = 0;
    const long double fraction = std::frexp(std::fabs(value), &binary);  // [0.5, 1) * 2^binary
    exponent = binary - 1 + kExtendedBias;
    long double scaled;
    if (exponent >= 1) {
      scaled = RoundHalfEven(std::ldexp(fraction, 64));  // [2^63, 2^64]
    } else {
      // Denormal: the value is mantissa * 2^(1 - 16383 - 63).
      scaled = RoundHalfEven(std::ldexp(fraction, binary + kExtendedBias - 1 + 63));
      exponent = 0;
    }
    if (scaled >= std::ldexp(1.0L, 64)) {  // rounding carried into the next binade
      scaled = std::ldexp(1.0L, 63);
      ++exponent;
    }
    mantissa = static_cast<uint64_t>(scaled);
    if (exponent == 0 && (mantissa & kIntegerBit) != 0) exponent = 1;  // rounded up to normal
    if (exponent >= kExtendedMaxExponent) {
      exponent = kExtendedMaxExponent;
      mantissa = kIntegerBit;
    }
  }
  for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(mantissa >> (8 * i));
  out[8] = static_cast<uint8_t>(exponent & 0xFF);
  out[9] = static_cast<uint8_t>(((exponent >> 8) & 0x7F) | (negative ? 0x80 : 0));
}

long double DecodeExtended(const uint8_t in[kExtendedSize]) {
  uint64_t mantissa = 0;
  for (int i = 0; i < 8; ++i) mantissa |= uint64_t{in[i]} << (8 * i);
  const int exponent = ((in[9] & 0x7F) << 8) | in[8];
  const bool negative = (in[9] & 0x80) != 0;
  long double magnitude;
  if (exponent == kExtendedMaxExponent) {
    magnitude = mantissa == kIntegerBit ? std::numeric_limits<long double>::infinity()
                                        : std::numeric_limits<long double>::quiet_NaN();
  } else if (exponent == 0) {
    magnitude = std::ldexp(static_cast<long double>(mantissa), 1 - kExtendedBias - 63);
  } else if ((mantissa & kIntegerBit) == 0) {
    magnitude = std::numeric_limits<long double>::quiet_NaN();  // unnormal
  } else {
    magnitude = std::ldexp(static_cast<long double>(mantissa), exponent - kExtendedBias - 63);
  }
  return std::copysign(magnitude, negative ? -1.0L : 1.0L);
}

// --- TLarkspirePluginParam ------------------------------------------------------------------

void TLarkspirePluginParam::Store(TPluginDataType type, const void* bytes, int64_t size) {
  data_type_ = type;
  data_size_ = static_cast<int32_t>(size);
  data_.SetSize(0);
  data_.SetPosition(0);
  if (size > 0) data_.WriteBuffer(bytes, size);
}

void TLarkspirePluginParam::SetAsInteger(int32_t value) {
  uint8_t bytes[4];
  PutUint32(bytes, static_cast<uint32_t>(value));
  Store(pdtInteger, bytes, 4);
}

void TLarkspirePluginParam::SetAsInt64(int64_t value) {
  uint8_t bytes[8];
  for (int i = 0; i < 8; ++i)
    bytes[i] = static_cast<uint8_t>(static_cast<uint64_t>(value) >> (8 * i));
  Store(pdtInt64, bytes, 8);
}

void TLarkspirePluginParam::SetAsString(const std::string& value) {
  const std::string bytes = WideToAnsi(value);
  if (bytes.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
    throw EStreamError("plug-in parameter: a text of " + std::to_string(bytes.size()) +
                       " bytes exceeds the 2147483647 bytes a value can hold");
  }
  Store(pdtString, bytes.data(), static_cast<int64_t>(bytes.size()));
}

void TLarkspirePluginParam::SetAsBoolean(bool value) {
  const uint8_t byte = value ? 1 : 0;
  Store(pdtBoolean, &byte, 1);
}

void TLarkspirePluginParam::SetAsDouble(double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, 8);
  uint8_t bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(bits >> (8 * i));
  Store(pdtDouble, bytes, 8);
}

void TLarkspirePluginParam::SetAsExtended(long double value) {
  uint8_t bytes[kExtendedSize];
  EncodeExtended(value, bytes);
  Store(pdtExtended, bytes, kExtendedSize);
}

void TLarkspirePluginParam::SetAsStream(TStream& value) {
  const int64_t size = value.Size();
  if (size > std::numeric_limits<int32_t>::max()) {
    throw EStreamError("plug-in parameter: a stream of " + std::to_string(size) +
                       " bytes exceeds the 2147483647 bytes a value can hold");
  }
  data_type_ = pdtStream;
  data_.SetSize(0);
  data_.SetPosition(0);
  value.SetPosition(0);
  if (size > 0) data_.CopyFrom(value, size);
  data_size_ = static_cast<int32_t>(data_.Size());
  value.Seek(0, TSeekOrigin::soEnd);
}

int64_t TLarkspirePluginParam::ReadFixed(void* out, int64_t width) {
  std::memset(out, 0, static_cast<size_t>(width));
  int64_t count = std::min<int64_t>({width, std::max<int32_t>(data_size_, 0), data_.Size()});
  data_.SetPosition(0);
  return count > 0 ? data_.Read(out, count) : 0;
}

int32_t TLarkspirePluginParam::GetAsInteger() {
  return static_cast<int32_t>(GetAsInt64Width(4));
}

int64_t TLarkspirePluginParam::GetAsInt64() {
  return GetAsInt64Width(8);
}

int64_t TLarkspirePluginParam::GetAsInt64Width(int width) {
  uint8_t bytes[8];
  const int64_t read = ReadFixed(bytes, width);
  if (read == 0) return 0;
  uint64_t value = 0;
  for (int64_t i = 0; i < read; ++i) value |= uint64_t{bytes[i]} << (8 * i);
  if (read < 8 && (bytes[read - 1] & 0x80) != 0) value |= ~uint64_t{0} << (8 * read);
  return static_cast<int64_t>(value);
}

std::string TLarkspirePluginParam::GetAsString() {
  const int64_t count = std::min<int64_t>(std::max<int32_t>(data_size_, 0), data_.Size());
  std::string bytes(static_cast<size_t>(count), '\0');
  data_.SetPosition(0);
  if (count > 0) data_.ReadBuffer(bytes.data(), count);
  return AnsiToWide(bytes);
}

bool TLarkspirePluginParam::GetAsBoolean() {
  uint8_t byte;
  return ReadFixed(&byte, 1) == 1 && byte != 0;
}

double TLarkspirePluginParam::GetAsDouble() {
  uint8_t bytes[8];
  ReadFixed(bytes, 8);
  uint64_t bits = 0;
  for (int i = 0; i < 8; ++i) bits |= uint64_t{bytes[i]} << (8 * i);
  double value;
  std::memcpy(&value, &bits, 8);
  return value;
}

long double TLarkspirePluginParam::GetAsExtended() {
  uint8_t bytes[kExtendedSize];
  ReadFixed(bytes, kExtendedSize);
  return DecodeExtended(bytes);
}

TStream& TLarkspirePluginParam::GetAsStream() {
  data_.SetPosition(0);
  return data_;
}

std::string TLarkspirePluginParam::Name() const {
  return AnsiToWide(name_);
}

// --- TLarkspirePluginData -------------------------------------------------------------------

void TLarkspirePluginData::Clear() {
  params_.clear();
}

TLarkspirePluginParam* TLarkspirePluginData::FindParam(const std::string& name) {
  const std::u32string wanted = FoldCase(AnsiToWide(WideToAnsi(name)));
  for (const auto& param : params_) {
    if (FoldCase(AnsiToWide(param->name_)) == wanted) return param.get();
  }
  return nullptr;
}

TLarkspirePluginParam& TLarkspirePluginData::Param(const std::string& name) {
  if (TLarkspirePluginParam* found = FindParam(name)) return *found;
  auto param = std::make_unique<TLarkspirePluginParam>();
  param->name_ = WideToAnsi(name);
  params_.push_back(std::move(param));
  return *params_.back();
}

void TLarkspirePluginData::WriteToStream(TStream& stream) const {
  WriteInt32(stream, static_cast<int32_t>(params_.size()));
  for (const auto& param : params_) {
    WriteInt32(stream, static_cast<int32_t>(param->name_.size()));
    stream.WriteBuffer(param->name_.data(), static_cast<int64_t>(param->name_.size()));
    const uint8_t tag = param->data_type_;
    stream.WriteBuffer(&tag, 1);
    const int64_t size = param->data_.Size();
    WriteInt32(stream, static_cast<int32_t>(size));
    if (size > 0) stream.WriteBuffer(param->data_.Memory(), size);
  }
}

void TLarkspirePluginData::ReadFromStream(TStream& stream) {
  stream.SetPosition(0);
  const int64_t total = stream.Size();
  auto left = [&] { return total - stream.Position(); };
  uint8_t word[4];
  ReadField(stream, word, 4, "the count");
  const int32_t count = static_cast<int32_t>(GetUint32(word));
  if (count < 0) Malformed("negative count " + std::to_string(count));
  if (count > left() / kMinEntrySize) {
    Malformed("count " + std::to_string(count) + " exceeds what the " + std::to_string(left()) +
              " bytes left can hold");
  }
  std::vector<std::unique_ptr<TLarkspirePluginParam>> loaded;
  loaded.reserve(static_cast<size_t>(count));
  for (int32_t index = 0; index < count; ++index) {
    const std::string where = "entry " + std::to_string(index);
    const int64_t at = stream.Position();
    auto param = std::make_unique<TLarkspirePluginParam>();
    ReadField(stream, word, 4, where + ": the name length");
    const int32_t name_length = static_cast<int32_t>(GetUint32(word));
    if (name_length < 0 || name_length > left()) {
      Malformed(where + " at offset " + std::to_string(at) + ": name length " +
                std::to_string(name_length) + " " +
                (name_length < 0 ? "is negative"
                                 : "exceeds the " + std::to_string(left()) + " bytes left"));
    }
    param->name_.resize(static_cast<size_t>(name_length));
    ReadField(stream, param->name_.data(), name_length, where + ": the name");
    uint8_t tag;
    ReadField(stream, &tag, 1, where + ": the type");
    param->data_type_ = static_cast<TPluginDataType>(tag);
    ReadField(stream, word, 4, where + ": the data size");
    const int32_t data_size = static_cast<int32_t>(GetUint32(word));
    if (data_size < 0 || data_size > left()) {
      Malformed(where + " (\"" + AnsiToWide(param->name_) + "\"): data size " +
                std::to_string(data_size) + " " +
                (data_size < 0 ? "is negative"
                               : "exceeds the " + std::to_string(left()) + " bytes left"));
    }
    param->data_size_ = data_size;
    param->data_.SetSize(data_size);
    param->data_.SetPosition(0);
    if (data_size > 0) ReadField(stream, param->data_.Memory(), data_size, where + ": the data");
    loaded.push_back(std::move(param));
  }
  for (auto& param : loaded) params_.push_back(std::move(param));
}

}  // namespace larkspire
