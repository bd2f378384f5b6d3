#include "protocol/remote_command.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "platform/exception.h"
#include "protocol/command_fields.h"
#include "protocol/param_encoding.h"

namespace larkspire {
namespace {

// zlib counts in 32-bit words: larger spans are handed over in pieces.
constexpr uint64_t kMaxZlibSpan = uint64_t{1} << 30;
// What a stream source is read in when its memory cannot be used directly.
constexpr size_t kInputChunk = 256 * 1024;
constexpr size_t kOutputChunk = 256 * 1024;
// The first allocation of a text or stream field: the field's length, but no more than U says
// is left (capped here, since U is not checked) and at least this much; the field then grows by
// doubling as its bytes actually arrive, so a lying length never costs more than twice what the
// compressed data really holds.
constexpr uint64_t kFieldStartMinimum = 1 << 20;
constexpr uint64_t kFieldStartMaximum = 64 << 20;
// deflate never expands a block by more than this factor, so a length beyond it cannot be
// filled from the compressed bytes that are left.
constexpr uint64_t kMaxInflateRatio = 1032;

uint32_t GetUInt32(const uint8_t* bytes) {
  return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
         uint32_t{bytes[3]} << 24;
}

std::string ZLibText(const z_stream& z, int code) {
  if (z.msg != nullptr) return z.msg;
  return zError(code);
}

[[noreturn]] void Malformed(const std::string& text) {
  throw EMalformedData("command message: " + text);
}

// One span of the uncompressed field block.
struct TSpan {
  const uint8_t* data;
  uint64_t size;
};

class TDeflater {
 public:
  TDeflater() {
    const int result = deflateInit(&z_, 1);
    if (result != Z_OK) throw EZLibError(ZLibText(z_, result));
  }
  ~TDeflater() { deflateEnd(&z_); }
  TDeflater(const TDeflater&) = delete;
  TDeflater& operator=(const TDeflater&) = delete;

  z_stream& z() { return z_; }

 private:
  z_stream z_{};
};

// Where the compressed bytes go. Next() is called whenever deflate has filled the output it
// was given and must provide fresh room.
class TCompressedSink {
 public:
  virtual ~TCompressedSink() = default;
  virtual void Next(z_stream& z) = 0;
  virtual void Finish(z_stream& z) = 0;
};

// Compresses straight into a memory stream's block: room for the whole bound is reserved
// first, then the stream is cut to what was written.
class TMemorySink : public TCompressedSink {
 public:
  TMemorySink(TMemoryStream& stream, uint32_t u, uint64_t bound) : stream_(stream) {
    stream_.SetSize(static_cast<int64_t>(4 + bound));
    PutMessagePrefix(u, stream_.Memory());
  }
  void Next(z_stream& z) override {
    const uint64_t used = 4 + z.total_out;
    if (used >= static_cast<uint64_t>(stream_.Size()))
      stream_.SetSize(stream_.Size() + static_cast<int64_t>(kOutputChunk));
    z.next_out = stream_.Memory() + used;
    z.avail_out = static_cast<uInt>(
        std::min<uint64_t>(static_cast<uint64_t>(stream_.Size()) - used, kMaxZlibSpan));
  }
  void Finish(z_stream& z) override { stream_.SetSize(static_cast<int64_t>(4 + z.total_out)); }

 private:
  TMemoryStream& stream_;
};

// Compresses through a buffer into any stream.
class TStreamSink : public TCompressedSink {
 public:
  TStreamSink(TStream& stream, uint32_t u) : stream_(stream), buffer_(kOutputChunk) {
    stream_.SetSize(0);
    stream_.SetPosition(0);
    uint8_t prefix[kMessagePrefixSize];
    PutMessagePrefix(u, prefix);
    stream_.WriteBuffer(prefix, kMessagePrefixSize);
  }
  void Next(z_stream& z) override {
    Flush(z);
    z.next_out = buffer_.data();
    z.avail_out = static_cast<uInt>(buffer_.size());
  }
  void Finish(z_stream& z) override { Flush(z); }

 private:
  void Flush(z_stream& z) {
    if (z.next_out == nullptr) return;
    const int64_t count = z.next_out - buffer_.data();
    stream_.WriteBuffer(buffer_.data(), count);
    z.next_out = buffer_.data();
  }

  TStream& stream_;
  std::vector<uint8_t> buffer_;
};

void Compress(const TSpan* spans, size_t span_count, TCompressedSink& sink, TDeflater& deflater) {
  z_stream& z = deflater.z();
  sink.Next(z);
  for (size_t i = 0; i < span_count; ++i) {
    const uint8_t* data = spans[i].data;
    uint64_t left = spans[i].size;
    while (left > 0) {
      const uint64_t piece = std::min(left, kMaxZlibSpan);
      z.next_in = const_cast<Bytef*>(data);
      z.avail_in = static_cast<uInt>(piece);
      while (z.avail_in > 0) {
        if (z.avail_out == 0) sink.Next(z);
        const int result = deflate(&z, Z_NO_FLUSH);
        if (result != Z_OK && result != Z_BUF_ERROR) throw EZLibError(ZLibText(z, result));
      }
      data += piece;
      left -= piece;
    }
  }
  while (true) {
    if (z.avail_out == 0) sink.Next(z);
    const int result = deflate(&z, Z_FINISH);
    if (result == Z_STREAM_END) break;
    if (result != Z_OK && result != Z_BUF_ERROR) throw EZLibError(ZLibText(z, result));
  }
  sink.Finish(z);
}

// Inflates the field block on demand, straight into the memory the caller names, and never
// more than the bound of the whole message (plus one byte, to tell that it was passed).
class TInflater {
 public:
  // The compressed bytes start at the source's position.
  TInflater(TStream& source, uint64_t max_message_size)
      : source_(source), max_message_size_(max_message_size) {
    const int result = inflateInit(&z_);
    if (result != Z_OK) throw EZLibError(ZLibText(z_, result));
    memory_ = dynamic_cast<TMemoryStream*>(&source);
    if (memory_ != nullptr) {
      offset_ = static_cast<uint64_t>(std::max<int64_t>(memory_->Position(), 0));
      end_ = static_cast<uint64_t>(memory_->Size());
    } else {
      buffer_.resize(kInputChunk);
    }
  }
  ~TInflater() { inflateEnd(&z_); }
  TInflater(const TInflater&) = delete;
  TInflater& operator=(const TInflater&) = delete;

  // Inflates up to count bytes into target; fewer only when the field block has ended.
  // Raises EZLibError when the compressed data is not valid or stops short, and
  // EMessageTooLarge as soon as the message inflates past its bound.
  uint64_t Read(uint8_t* target, uint64_t count) {
    uint64_t done = 0;
    while (done < count && !ended_) {
      if (z_.avail_in == 0 && !Refill()) throw EZLibError("unexpected end of compressed data");
      const uint64_t allowed = max_message_size_ - std::min(TotalOut(), max_message_size_) + 1;
      const uint64_t piece = std::min({count - done, kMaxZlibSpan, allowed});
      z_.next_out = target + done;
      z_.avail_out = static_cast<uInt>(piece);
      const int result = inflate(&z_, Z_NO_FLUSH);
      done += piece - z_.avail_out;
      if (TotalOut() > max_message_size_) throw EMessageTooLarge(max_message_size_);
      if (result == Z_STREAM_END) {
        ended_ = true;
      } else if (result == Z_NEED_DICT) {
        throw EZLibError("need dictionary");
      } else if (result != Z_OK && result != Z_BUF_ERROR) {
        throw EZLibError(ZLibText(z_, result));
      }
    }
    return done;
  }

  uint64_t TotalOut() const { return z_.total_out; }
  // How many more bytes the message may inflate to.
  uint64_t BoundLeft() const { return max_message_size_ - std::min(TotalOut(), max_message_size_); }
  uint64_t Bound() const { return max_message_size_; }

  // Inflates whatever follows the fields, so the end of the zlib stream and its checksum are
  // checked; bytes a newer peer may append are dropped.
  void Finish() {
    uint8_t scratch[4096];
    while (!ended_) Read(scratch, sizeof scratch);
  }

  // The most bytes the compressed data that is left could still inflate to.
  uint64_t MostLeft() {
    uint64_t compressed = z_.avail_in;
    if (memory_ != nullptr) {
      compressed += end_ - offset_;
    } else {
      const int64_t left = source_.Size() - source_.Position();
      if (left > 0) compressed += static_cast<uint64_t>(left);
    }
    // The inflater may hold up to a window of output that it has not handed out yet.
    return (compressed + 1) * kMaxInflateRatio + 65536;
  }

 private:
  bool Refill() {
    if (memory_ != nullptr) {
      if (offset_ >= end_) return false;
      const uint64_t piece = std::min(end_ - offset_, kMaxZlibSpan);
      z_.next_in = memory_->Memory() + offset_;
      z_.avail_in = static_cast<uInt>(piece);
      offset_ += piece;
      return true;
    }
    const int64_t got = source_.Read(buffer_.data(), static_cast<int64_t>(buffer_.size()));
    if (got <= 0) return false;
    z_.next_in = buffer_.data();
    z_.avail_in = static_cast<uInt>(got);
    return true;
  }

  TStream& source_;
  const uint64_t max_message_size_;
  TMemoryStream* memory_ = nullptr;
  uint64_t offset_ = 0;
  uint64_t end_ = 0;
  std::vector<uint8_t> buffer_;
  z_stream z_{};
  bool ended_ = false;
};

// Decodes the fields of one block in order, checking each length against its field.
class TFieldReader {
 public:
  TFieldReader(TInflater& in, uint32_t u) : in_(in), u_(u) {}

  // The length word of a field; false when the block has ended before it (allowed only where
  // the field is optional).
  bool ReadLength(const char* field, bool optional, uint32_t& length) {
    uint8_t bytes[4];
    const uint64_t got = in_.Read(bytes, 4);
    if (got == 0 && optional) return false;
    if (got == 0) Malformed(std::string("the field block ends before field ") + field);
    if (got < 4) Malformed(std::string("the field block ends inside the length of field ") + field);
    length = GetUInt32(bytes);
    return true;
  }

  void ReadFixed(const char* field, void* target, uint32_t width) {
    uint32_t length;
    ReadLength(field, false, length);
    if (length != width)
      Malformed(std::string("field ") + field + " has length " + std::to_string(length) +
                ", expected " + std::to_string(width));
    if (in_.Read(static_cast<uint8_t*>(target), width) != width)
      Malformed(std::string("the field block ends inside field ") + field);
  }

  void ReadText(const char* field, std::string& text, bool optional = false) {
    uint32_t length;
    if (!ReadLength(field, optional, length)) return;
    CheckReachable(field, length);
    uint64_t allocated = FirstAllocation(length);
    text.resize(allocated);
    uint64_t got = 0;
    while (true) {
      got += in_.Read(reinterpret_cast<uint8_t*>(text.data()) + got, allocated - got);
      if (got < allocated) {
        text.resize(got);
        ShortField(field, length, got);
      }
      if (allocated == length) break;
      allocated = std::min<uint64_t>(length, allocated * 2);
      text.resize(allocated);
    }
  }

  void ReadStream(const char* field, TMemoryStream& stream) {
    uint32_t length;
    ReadLength(field, false, length);
    CheckReachable(field, length);
    const int64_t position = stream.Position();
    uint64_t allocated = FirstAllocation(length);
    stream.SetSize(static_cast<int64_t>(allocated));
    uint64_t got = 0;
    while (true) {
      got += in_.Read(stream.Memory() + got, allocated - got);
      if (got < allocated) {
        stream.SetSize(static_cast<int64_t>(got));
        ShortField(field, length, got);
      }
      if (allocated == length) break;
      allocated = std::min<uint64_t>(length, allocated * 2);
      stream.SetSize(static_cast<int64_t>(allocated));
    }
    stream.SetPosition(std::min<int64_t>(position, length));
  }

 private:
  // A length beyond what the message may still inflate to is refused before any byte of it is
  // allocated, and so is one the compressed bytes left could not fill.
  void CheckReachable(const char* field, uint32_t length) {
    const uint64_t most = in_.MostLeft();
    if (length > most)
      Malformed(std::string("field ") + field + " has length " + std::to_string(length) +
                ", more than the compressed data left can hold");
    if (length > in_.BoundLeft()) throw EMessageTooLarge(in_.Bound());
  }

  uint64_t FirstAllocation(uint32_t length) const {
    const uint64_t done = in_.TotalOut();
    const uint64_t hint = u_ > done ? u_ - done : 0;
    const uint64_t start = std::clamp(hint, kFieldStartMinimum, kFieldStartMaximum);
    return std::min<uint64_t>(length, start);
  }

  [[noreturn]] void ShortField(const char* field, uint32_t length, uint64_t got) {
    Malformed(std::string("field ") + field + " has length " + std::to_string(length) +
              ", but the field block ends after " + std::to_string(got) + " of its bytes");
  }

  TInflater& in_;
  uint32_t u_;
};

}  // namespace

void TRemoteCommand::Reset() {
  Code = 0;
  Password.clear();
  Data.Clear();
  Params.Clear();
  ConnectionName.clear();
  Success = false;
  Value = 0;
  Message.clear();
  Option = 0;
  Version = kProtocolVersion;
}

void TRemoteCommand::SetDataText(const std::string& text) {
  Data.Clear();
  Data.WriteBuffer(text.data(), static_cast<int64_t>(text.size()));
}

std::string TRemoteCommand::GetDataText() {
  Data.SetPosition(0);
  std::string text = Data.Bytes();
  Data.SetPosition(Data.Size());
  return text;
}

void TRemoteCommand::SetParamsText(const std::string& text) {
  Params.Clear();
  Params.WriteBuffer(text.data(), static_cast<int64_t>(text.size()));
}

void TRemoteCommand::WritePaging(const void* record16) {
  Data.WriteBuffer(record16, 16);
}

void TRemoteCommand::ReadParameters(TParameters& parameters) {
  parameters.Clear();
  Params.SetPosition(0);
  ReadParameterList(parameters, Params);
}

void TRemoteCommand::SaveToStream(TStream& stream) {
  Version = kProtocolVersion;
  const uint64_t data_size = static_cast<uint64_t>(Data.Size());
  const uint64_t params_size = static_cast<uint64_t>(Params.Size());
  // The small fields are gathered in three short runs; the payload streams are compressed
  // straight from their own memory.
  const TCommandFields fields = LayOutCommandFields(*this, data_size, params_size);
  const uint32_t u = fields.BlockSize;
  const std::string& head = fields.Head;
  const std::string& middle = fields.ParamsLength;
  const std::string& tail = fields.Tail;

  auto bytes = [](const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); };
  TSpan spans[] = {
      {bytes(head), head.size()},     {Data.Memory(), data_size}, {bytes(middle), middle.size()},
      {Params.Memory(), params_size}, {bytes(tail), tail.size()},
  };
  // Encoding a command into one of its own payloads would overwrite what is being compressed.
  TMemoryStream data_copy, params_copy;
  if (&stream == &Data || &stream == &Params) {
    data_copy.WriteBuffer(Data.Memory(), data_size);
    params_copy.WriteBuffer(Params.Memory(), params_size);
    spans[1].data = data_copy.Memory();
    spans[3].data = params_copy.Memory();
  }

  try {
    TDeflater deflater;
    if (auto* memory = dynamic_cast<TMemoryStream*>(&stream)) {
      TMemorySink sink(*memory, u, deflateBound(&deflater.z(), u));
      Compress(spans, 5, sink, deflater);
    } else {
      TStreamSink sink(stream, u);
      Compress(spans, 5, sink, deflater);
    }
  } catch (...) {
    stream.SetPosition(0);
    throw;
  }
  stream.SetPosition(0);
}

EMessageTooLarge::EMessageTooLarge(uint64_t limit)
    : EMalformedData("command message: it inflates to more than " + std::to_string(limit) +
                     " bytes, the most accepted"),
      limit_(limit) {}

void TRemoteCommand::LoadFromStream(TStream& stream, uint64_t max_message_size) {
  // Decoding one of our own payloads would overwrite the bytes being read.
  std::unique_ptr<TMemoryStream> copy;
  TStream* source = &stream;
  if (&stream == &Data || &stream == &Params) {
    copy = std::make_unique<TMemoryStream>();
    copy->CopyFrom(stream, 0);
    source = copy.get();
  }
  source->SetPosition(0);
  uint8_t prefix[4];
  const int64_t got = source->Read(prefix, 4);
  if (got != 4)
    Malformed("the message of " + std::to_string(std::max<int64_t>(got, 0)) +
              " bytes is too short for its length prefix");
  const uint32_t u = GetUInt32(prefix);  // a size hint only; nothing relies on it

  TInflater in(*source, max_message_size);
  TFieldReader reader(in, u);
  uint8_t code[2];
  reader.ReadFixed("Code", code, 2);
  Code = static_cast<uint16_t>(code[0] | code[1] << 8);
  reader.ReadText("Password", Password);
  reader.ReadStream("Data", Data);
  reader.ReadStream("Params", Params);
  reader.ReadText("ConnectionName", ConnectionName);
  uint8_t success;
  reader.ReadFixed("Success", &success, 1);
  Success = success != 0;
  uint8_t value[4];
  reader.ReadFixed("Value", value, 4);
  Value = static_cast<int32_t>(GetUInt32(value));
  reader.ReadText("Message", Message);
  reader.ReadFixed("Option", &Option, 1);
  // An older peer stops after Option; Version then keeps its value.
  reader.ReadText("Version", Version, true);
  in.Finish();
}

}  // namespace larkspire
