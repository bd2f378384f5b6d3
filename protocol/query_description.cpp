#include "protocol/query_description.h"

#include "platform/codepage.h"
#include "platform/exception.h"
#include "protocol/param_encoding.h"

namespace larkspire {

namespace {

int64_t BytesLeft(TStream& stream) {
  return stream.Size() - stream.Position();
}

}  // namespace

TQueryDescription ReadQueryDescription(TStream& stream) {
  const int64_t left = BytesLeft(stream);
  if (left < kQueryBlockSize + 4) {
    throw EMalformedData("query description: " + std::to_string(left) +
                         " bytes are too few for the " + std::to_string(kQueryBlockSize + 4) +
                         "-byte settings block and text length");
  }
  TQueryDescription description;
  description.CursorLocation = ReadByte(stream, "query description: cursor location");
  description.CursorType = ReadByte(stream, "query description: cursor type");
  description.LockType = ReadByte(stream, "query description: lock type");
  description.CacheSize = ReadInt32(stream, "query description: cache size");
  description.MaxRecords = ReadInt32(stream, "query description: maximum records");
  description.CommandType = ReadByte(stream, "query description: command type");
  description.CommandTimeout = ReadInt32(stream, "query description: command timeout");
  const int32_t length = ReadInt32(stream, "query description: text length");
  const int64_t text_left = BytesLeft(stream);
  if (length < 0) {
    throw EMalformedData("query description: text length " + std::to_string(length) +
                         " is negative");
  }
  if (length > text_left) {
    throw EMalformedData("query description: text length " + std::to_string(length) +
                         " exceeds the " + std::to_string(text_left) + " bytes left");
  }
  std::string text(static_cast<size_t>(length), '\0');
  if (length > 0) stream.ReadBuffer(text.data(), length);
  description.CommandText = AnsiToWide(text);
  if (BytesLeft(stream) < 4) {
    throw EMalformedData("query description: the parameter list is missing after the " +
                         std::to_string(length) + "-byte text");
  }
  ReadParameterList(description.Parameters, stream);
  return description;
}

void WriteQueryDescription(const TQueryDescription& description, TStream& stream) {
  WriteQueryDescription(description, description.Parameters, stream);
}

void WriteQueryDescription(const TQueryDescription& description, const TParameters& parameters,
                           TStream& stream) {
  WriteByte(stream, description.CursorLocation);
  WriteByte(stream, description.CursorType);
  WriteByte(stream, description.LockType);
  WriteInt32(stream, description.CacheSize);
  WriteInt32(stream, description.MaxRecords);
  WriteByte(stream, description.CommandType);
  WriteInt32(stream, description.CommandTimeout);
  WriteText(stream, WideToAnsi(description.CommandText));
  WriteParameterList(parameters, stream);
}

}  // namespace larkspire
