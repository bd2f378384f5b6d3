#include "fuzz/frame_body.h"

#include <zlib.h>

#include <cstring>
#include <stdexcept>

#include "platform/stream.h"

namespace larkspire::fuzz {
namespace {

void AppendUint32(std::string& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>(value >> (8 * i));
}

std::string Compress(const char* data, size_t size) {
  uLongf room = compressBound(static_cast<uLong>(size));
  std::string out(room, '\0');
  if (compress2(reinterpret_cast<Bytef*>(out.data()), &room, reinterpret_cast<const Bytef*>(data),
                static_cast<uLong>(size), 1) != Z_OK)
    throw std::runtime_error("compress2 failed");
  out.resize(room);
  return out;
}

std::string Inflate(const std::string& compressed, size_t expected) {
  std::string out(expected, '\0');
  uLongf size = static_cast<uLongf>(expected);
  if (uncompress(reinterpret_cast<Bytef*>(out.data()), &size,
                 reinterpret_cast<const Bytef*>(compressed.data()),
                 static_cast<uLong>(compressed.size())) != Z_OK)
    throw std::runtime_error("uncompress failed");
  out.resize(size);
  return out;
}

}  // namespace

std::string FrameBodyFromInput(const uint8_t* data, size_t size) {
  if (size == 0) return {};
  const char* rest = reinterpret_cast<const char*>(data + 1);
  size_t rest_size = size - 1;
  std::string body;
  switch (data[0] % 3) {
    case bfRaw:
      return std::string(rest, rest_size);
    case bfFieldBlock:
      AppendUint32(body, static_cast<uint32_t>(rest_size));
      break;
    default:
      if (rest_size < 4) return std::string(rest, rest_size);
      body.assign(rest, 4);
      rest += 4;
      rest_size -= 4;
      break;
  }
  body += Compress(rest, rest_size);
  return body;
}

std::string InputOfCommand(TRemoteCommand& command, TBodyForm form) {
  TMemoryStream stream;
  command.SaveToStream(stream);
  const std::string body = stream.Bytes();
  std::string input(1, static_cast<char>(form));
  if (form == bfRaw) return input + body;
  uint32_t length = 0;
  for (int i = 0; i < 4; ++i)
    length |= static_cast<uint32_t>(static_cast<uint8_t>(body[i])) << (8 * i);
  if (form == bfFieldBlockWithLength) input += body.substr(0, 4);
  return input + Inflate(body.substr(4), length);
}

}  // namespace larkspire::fuzz
