#include "protocol/param_encoding.h"

#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "platform/codepage.h"
#include "platform/exception.h"

namespace larkspire {
namespace {

// The smallest parameter record: DataType, Direction, NameLength, then the three flags.
constexpr int64_t kMinimumRecordSize = 1 + 1 + 4 + 1 + 1 + 1;

int64_t BytesLeft(TStream& stream) {
  const int64_t left = stream.Size() - stream.Position();
  return left > 0 ? left : 0;
}

void ReadExactly(TStream& stream, void* buffer, int64_t count, const std::string& what) {
  if (count == 0) return;
  const int64_t got = stream.Read(buffer, count);
  if (got != count)
    throw EMalformedData(what + ": needs " + std::to_string(count) + " bytes, " +
                         std::to_string(got < 0 ? 0 : got) + " left");
}

template <typename T>
T ReadLittleEndian(TStream& stream, const std::string& what) {
  uint8_t bytes[sizeof(T)];
  ReadExactly(stream, bytes, sizeof bytes, what);
  uint64_t value = 0;
  for (size_t i = 0; i < sizeof(T); ++i) value |= uint64_t{bytes[i]} << (8 * i);
  return static_cast<T>(value);
}

template <typename T>
void WriteLittleEndian(TStream& stream, T value) {
  uint8_t bytes[sizeof(T)];
  const uint64_t raw = static_cast<uint64_t>(value);
  for (size_t i = 0; i < sizeof(T); ++i) bytes[i] = static_cast<uint8_t>(raw >> (8 * i));
  stream.WriteBuffer(bytes, sizeof bytes);
}

// Reads count bytes after checking them against what the stream still holds.
std::string ReadBytes(TStream& stream, int32_t count, const std::string& what) {
  if (count <= 0) return {};
  const int64_t left = BytesLeft(stream);
  if (count > left)
    throw EMalformedData(what + ": length " + std::to_string(count) + " exceeds the " +
                         std::to_string(left) + " bytes left");
  std::string bytes(static_cast<size_t>(count), '\0');
  ReadExactly(stream, bytes.data(), count, what);
  return bytes;
}

void WriteCountedBytes(TStream& stream, const void* bytes, size_t count, const char* what) {
  if (count > static_cast<size_t>(std::numeric_limits<int32_t>::max()))
    throw EStreamError(std::string(what) + " of " + std::to_string(count) +
                       " bytes is too long to encode");
  WriteLittleEndian<int32_t>(stream, static_cast<int32_t>(count));
  stream.WriteBuffer(bytes, static_cast<int64_t>(count));
}

std::string RecordContext(int index) {
  return "parameter list: record " + std::to_string(index + 1);
}

TVariant ReadValue(TStream& stream, uint8_t tag, const std::string& what) {
  switch (tag) {
    case ftString:
    case ftWideString:
      return TVariant(AnsiToWide(ReadBytes(stream, ReadLittleEndian<int32_t>(stream, what), what)));
    case ftSmallint:
    case ftInteger:
    case ftWord:
      return TVariant(ReadLittleEndian<int32_t>(stream, what));
    case ftBoolean:
      return TVariant(ReadLittleEndian<uint8_t>(stream, what) != 0);
    case ftFloat:
    case ftDateTime: {
      const uint64_t bits = ReadLittleEndian<uint64_t>(stream, what);
      double value;
      std::memcpy(&value, &bits, sizeof value);
      return TVariant(value);
    }
    case ftBCD:
      return TVariant::FromCurrency(ReadLittleEndian<int64_t>(stream, what));
    case ftLargeint:
      return TVariant(ReadLittleEndian<int64_t>(stream, what));
    default:
      return TVariant::Null();
  }
}

}  // namespace

void WriteInt32(TStream& stream, int32_t value) {
  WriteLittleEndian(stream, value);
}
void WriteInt64(TStream& stream, int64_t value) {
  WriteLittleEndian(stream, value);
}
void WriteByte(TStream& stream, uint8_t value) {
  stream.WriteBuffer(&value, 1);
}

void WriteText(TStream& stream, const std::string& bytes) {
  WriteCountedBytes(stream, bytes.data(), bytes.size(), "a text");
}

int32_t ReadInt32(TStream& stream, const char* what) {
  return ReadLittleEndian<int32_t>(stream, what);
}

int64_t ReadInt64(TStream& stream, const char* what) {
  return ReadLittleEndian<int64_t>(stream, what);
}

uint8_t ReadByte(TStream& stream, const char* what) {
  return ReadLittleEndian<uint8_t>(stream, what);
}

std::string ReadText(TStream& stream, const char* what) {
  const int32_t length = ReadLittleEndian<int32_t>(stream, what);
  return ReadBytes(stream, length, what);
}

void WriteParamValue(const TVariant& value, TStream& stream, uint8_t tag) {
  switch (tag) {
    case ftString:
    case ftWideString: {
      const std::string bytes = WideToAnsi(value.AsString());
      WriteCountedBytes(stream, bytes.data(), bytes.size(), "a text value");
      break;
    }
    case ftSmallint:
    case ftInteger:
    case ftWord:
      WriteLittleEndian<int32_t>(stream, value.AsInteger());
      break;
    case ftBoolean:
      WriteByte(stream, value.AsBoolean() ? 1 : 0);
      break;
    case ftFloat:
    case ftDateTime: {
      const double number = tag == ftDateTime ? value.AsDateTime() : value.AsDouble();
      uint64_t bits;
      std::memcpy(&bits, &number, sizeof bits);
      WriteLittleEndian<uint64_t>(stream, bits);
      break;
    }
    case ftBCD:
      WriteLittleEndian<int64_t>(stream, value.AsCurrency());
      break;
    case ftLargeint:
      WriteLittleEndian<int64_t>(stream, value.AsInt64());
      break;
    default:
      break;  // travels without its value
  }
}

TVariant ReadParamValue(TStream& stream, uint8_t tag) {
  return ReadValue(stream, tag, "parameter value");
}

void WriteParameterList(const TParameters& parameters, TStream& stream) {
  WriteLittleEndian<int32_t>(stream, parameters.Count());
  for (int i = 0; i < parameters.Count(); ++i) {
    const TParameter& parameter = parameters[i];
    WriteByte(stream, parameter.DataType);
    WriteByte(stream, parameter.Direction);
    const std::string name = WideToAnsi(parameter.Name);
    WriteCountedBytes(stream, name.data(), name.size(), "a parameter name");
    const TVariant& value = parameter.Value;
    const bool is_array = value.Type() == TVarType::vtBytes;
    WriteByte(stream, is_array ? 1 : 0);
    WriteByte(stream, value.IsNull() ? 1 : 0);
    WriteByte(stream, value.IsEmpty() ? 1 : 0);
    if (value.IsClear()) continue;
    if (is_array) {
      const TBytes bytes = value.AsBytes();
      WriteCountedBytes(stream, bytes.data(), bytes.size(), "a byte array");
    } else {
      WriteParamValue(value, stream, parameter.DataType);
    }
  }
}

void ReadParameterList(TParameters& parameters, TStream& stream) {
  const int32_t count = ReadLittleEndian<int32_t>(stream, "parameter list: count");
  const int64_t left = BytesLeft(stream);
  if (count < 0 || count > left / kMinimumRecordSize)
    throw EMalformedData("parameter list: count " + std::to_string(count) + " exceeds the " +
                         std::to_string(left) + " bytes left");
  // Decode every record before touching the collection, so a malformed list adds nothing.
  std::vector<TParameter> decoded;
  decoded.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    const std::string what = RecordContext(i);
    const uint8_t data_type = ReadLittleEndian<uint8_t>(stream, what + " data type");
    const uint8_t direction = ReadLittleEndian<uint8_t>(stream, what + " direction");
    if (direction > pdReturnValue)
      throw EMalformedData(what + ": direction " + std::to_string(direction) +
                           " is not a parameter direction");
    const std::string name_what = what + " name";
    const std::string name =
        ReadBytes(stream, ReadLittleEndian<int32_t>(stream, name_what), name_what);
    const bool is_array = ReadLittleEndian<uint8_t>(stream, what + " flags") != 0;
    const bool is_null = ReadLittleEndian<uint8_t>(stream, what + " flags") != 0;
    const bool is_empty = ReadLittleEndian<uint8_t>(stream, what + " flags") != 0;
    TVariant value;
    if (is_null) {
      value = TVariant::Null();
    } else if (is_empty) {
      value = TVariant();
    } else if (is_array) {
      const std::string array_what = what + " byte array";
      const std::string bytes =
          ReadBytes(stream, ReadLittleEndian<int32_t>(stream, array_what), array_what);
      value = TVariant(TBytes(bytes.begin(), bytes.end()));
    } else {
      value = ReadValue(stream, data_type, what + " value");
    }
    decoded.emplace_back(AnsiToWide(name), static_cast<TFieldType>(data_type),
                         static_cast<TParameterDirection>(direction), 0, std::move(value));
  }
  for (TParameter& parameter : decoded)
    parameters.CreateParameter(parameter.Name, parameter.DataType, parameter.Direction, 0,
                               parameter.Value);
}

}  // namespace larkspire
