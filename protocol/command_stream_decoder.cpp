#include "protocol/command_stream_decoder.h"

#include <zlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/exception.h"

namespace larkspire {
namespace {

// What one inflate call may produce at most; the memory of the whole decode.
constexpr size_t kOutputPiece = 64 * 1024;

enum TFieldKind { kFixed, kText, kSink, kStream };
struct TFieldInfo {
  const char* name;
  TFieldKind kind;
  uint32_t width;  // kFixed only
};
// The fields of the block in order; Version (the last) may be missing.
constexpr TFieldInfo kFields[] = {
    {"Code", kFixed, 2},    {"Password", kText, 0},       {"Data", kSink, 0},
    {"Params", kStream, 0}, {"ConnectionName", kText, 0}, {"Success", kFixed, 1},
    {"Value", kFixed, 4},   {"Message", kText, 0},        {"Option", kFixed, 1},
    {"Version", kText, 0},
};
constexpr size_t kFieldCount = sizeof kFields / sizeof kFields[0];

uint32_t GetUInt32(const uint8_t* bytes) {
  return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
         uint32_t{bytes[3]} << 24;
}

[[noreturn]] void Malformed(const std::string& text) {
  throw EMalformedData("command message: " + text);
}

}  // namespace

struct TCommandStreamDecoder::TState {
  TRemoteCommand& target;
  TDataSink sink;
  uint64_t max_message_size;
  z_stream z{};
  bool zlib_ready = false;
  bool ended = false;
  uint8_t prefix_seen = 0;
  std::vector<uint8_t> out;

  size_t field = 0;
  bool in_length = true;
  uint8_t length_bytes[4] = {};
  uint8_t length_seen = 0;
  uint32_t length = 0;
  uint64_t remaining = 0;
  uint8_t fixed[4] = {};
  uint64_t data_bytes = 0;

  TState(TRemoteCommand& t, TDataSink s, uint64_t max)
      : target(t), sink(std::move(s)), max_message_size(max), out(kOutputPiece) {
    const int result = inflateInit(&z);
    if (result != Z_OK) throw EZLibError(z.msg != nullptr ? z.msg : zError(result));
    zlib_ready = true;
  }
  ~TState() {
    if (zlib_ready) inflateEnd(&z);
  }

  std::string* TextOf(size_t index) {
    switch (index) {
      case 1:
        return &target.Password;
      case 4:
        return &target.ConnectionName;
      case 7:
        return &target.Message;
      default:
        return &target.Version;
    }
  }

  void StartField() {
    const TFieldInfo& info = kFields[field];
    if (info.kind == kFixed && length != info.width)
      Malformed(std::string("field ") + info.name + " has length " + std::to_string(length) +
                ", expected " + std::to_string(info.width));
    if (length > max_message_size - std::min<uint64_t>(z.total_out, max_message_size))
      throw EMessageTooLarge(max_message_size);
    if (info.kind == kText) TextOf(field)->clear();
    remaining = length;
    in_length = false;
    if (remaining == 0) EndField();
  }

  void EndField() {
    const TFieldInfo& info = kFields[field];
    if (info.kind == kFixed) {
      if (field == 0)
        target.Code = static_cast<uint16_t>(fixed[0] | fixed[1] << 8);
      else if (field == 5)
        target.Success = fixed[0] != 0;
      else if (field == 6)
        target.Value = static_cast<int32_t>(GetUInt32(fixed));
      else
        target.Option = fixed[0];
    }
    ++field;
    in_length = true;
    length_seen = 0;
  }

  // Inflated bytes of the field block.
  void Take(const uint8_t* p, size_t n) {
    while (n > 0 && field < kFieldCount) {
      if (in_length) {
        const size_t take = std::min<size_t>(n, 4 - length_seen);
        std::copy(p, p + take, length_bytes + length_seen);
        length_seen = static_cast<uint8_t>(length_seen + take);
        p += take, n -= take;
        if (length_seen == 4) {
          length = GetUInt32(length_bytes);
          StartField();
        }
        continue;
      }
      const TFieldInfo& info = kFields[field];
      const size_t take = static_cast<size_t>(std::min<uint64_t>(n, remaining));
      switch (info.kind) {
        case kFixed:
          std::copy(p, p + take, fixed + (length - remaining));
          break;
        case kText:
          TextOf(field)->append(reinterpret_cast<const char*>(p), take);
          break;
        case kSink:
          data_bytes += take;
          sink(reinterpret_cast<const char*>(p), take);
          break;
        case kStream:
          target.Params.WriteBuffer(p, static_cast<int64_t>(take));
          break;
      }
      p += take, n -= take;
      remaining -= take;
      if (remaining == 0) EndField();
    }
    // Bytes a newer peer may append after the fields are dropped.
  }

  void Inflate(const uint8_t* bytes, size_t count) {
    z.next_in = const_cast<Bytef*>(bytes);
    z.avail_in = static_cast<uInt>(count);
    while (!ended) {
      const uint64_t allowed = max_message_size - std::min(uint64_t{z.total_out}, max_message_size);
      const size_t piece = static_cast<size_t>(std::min<uint64_t>(out.size(), allowed + 1));
      z.next_out = out.data();
      z.avail_out = static_cast<uInt>(piece);
      const int result = inflate(&z, Z_NO_FLUSH);
      const size_t produced = piece - z.avail_out;
      if (z.total_out > max_message_size) throw EMessageTooLarge(max_message_size);
      Take(out.data(), produced);
      if (result == Z_STREAM_END) {
        ended = true;
      } else if (result == Z_NEED_DICT) {
        throw EZLibError("need dictionary");
      } else if (result == Z_BUF_ERROR || (result == Z_OK && z.avail_in == 0 && z.avail_out != 0)) {
        break;  // every byte given is used; more must come
      } else if (result != Z_OK) {
        throw EZLibError(z.msg != nullptr ? z.msg : zError(result));
      }
    }
  }
};

TCommandStreamDecoder::TCommandStreamDecoder(TRemoteCommand& target, TDataSink data_sink,
                                             uint64_t max_message_size)
    : state_(std::make_unique<TState>(target, std::move(data_sink), max_message_size)) {
  target.Reset();
}

TCommandStreamDecoder::~TCommandStreamDecoder() = default;

void TCommandStreamDecoder::Feed(const uint8_t* bytes, size_t count) {
  TState& s = *state_;
  // The length prefix is a size hint only; nothing relies on it.
  while (count > 0 && s.prefix_seen < 4) ++s.prefix_seen, ++bytes, --count;
  while (count > 0 && !s.ended) {
    const size_t piece = std::min<size_t>(count, size_t{1} << 30);
    s.Inflate(bytes, piece);
    bytes += piece - s.z.avail_in;
    count -= piece - s.z.avail_in;
    if (s.z.avail_in == piece && !s.ended) break;  // no progress: cannot happen with input left
  }
}

void TCommandStreamDecoder::Finish() {
  TState& s = *state_;
  if (s.prefix_seen < 4)
    Malformed("the message of " + std::to_string(s.prefix_seen) +
              " bytes is too short for its length prefix");
  if (!s.ended) throw EZLibError("unexpected end of compressed data");
  if (s.field >= kFieldCount) return;
  const TFieldInfo& info = kFields[s.field];
  if (s.in_length && s.length_seen == 0) {
    // An older peer stops after Option; Version then keeps its value.
    if (s.field == kFieldCount - 1) {
      s.target.Version = kProtocolVersion;
      return;
    }
    Malformed(std::string("the field block ends before field ") + info.name);
  }
  if (s.in_length)
    Malformed(std::string("the field block ends inside the length of field ") + info.name);
  Malformed(std::string("field ") + info.name + " has length " + std::to_string(s.length) +
            ", but the field block ends after " + std::to_string(s.length - s.remaining) +
            " of its bytes");
}

uint64_t TCommandStreamDecoder::DataBytes() const {
  return state_->data_bytes;
}

}  // namespace larkspire
