#include "server/rowsets/reply_compression.h"

#include <isa-l/igzip_lib.h>
#include <zlib.h>

#include <cstring>

#include "platform/exception.h"
#include "protocol/command_fields.h"
#include "server/base/server_errors.h"

namespace larkspire::server {

namespace {

// The zlib header of a level-1 stream (32 KiB window, "fastest" level): what zlib writes.
constexpr uint8_t kZlibHeader[2] = {0x78, 0x01};
constexpr size_t kOutputChunk = 256 * 1024;
// The field block's length is a 32-bit word: the payload leaves room for the other fields.
constexpr uint64_t kMaxDataSize = 0xFFFFFFFFull - 16 * 1024 * 1024;

uint32_t Adler(uint32_t adler, const void* data, size_t size) {
  return isal_adler32(adler, static_cast<const unsigned char*>(data), size);
}

}  // namespace

// Raw deflate at igzip's level 1 (no header or trailer). Each run begins with an empty history.
class TRawDeflater {
 public:
  TRawDeflater() : level_buffer_(new uint8_t[ISAL_DEF_LVL1_DEFAULT]) { Restart(); }

  void Restart() {
    isal_deflate_init(&stream_);
    stream_.level = 1;
    stream_.level_buf = level_buffer_.get();
    stream_.level_buf_size = ISAL_DEF_LVL1_DEFAULT;
    stream_.gzip_flag = IGZIP_DEFLATE;
  }

  // Compresses size bytes, appending to out. finish: the last input of this run, which ends
  // with the final block (last) or a sync flush on a byte boundary.
  void Compress(const void* data, size_t size, bool finish, bool last, std::string& out) {
    stream_.next_in = static_cast<uint8_t*>(const_cast<void*>(data));
    stream_.avail_in = static_cast<uint32_t>(size);
    stream_.end_of_stream = finish && last ? 1 : 0;
    stream_.flush = finish && !last ? SYNC_FLUSH : NO_FLUSH;
    for (;;) {
      const size_t start = out.size();
      // A small input gets room for itself (deflate grows incompressible bytes by a few bytes a
      // block) rather than a whole chunk: every small reply zero-filled and freed 256 KiB.
      const size_t room = size < kOutputChunk ? size + size / 8 + 1024
                                              : std::max<size_t>(kOutputChunk, size / 2 + 1024);
      out.resize(start + room);
      stream_.next_out = reinterpret_cast<uint8_t*>(out.data() + start);
      stream_.avail_out = static_cast<uint32_t>(room);
      if (isal_deflate(&stream_) != COMP_OK) throw EStreamError("reply: compression failed");
      out.resize(start + room - stream_.avail_out);
      // Done when the input is taken and output room was left over (the flush, or the end
      // of the stream, is written by then).
      const bool drained = stream_.avail_in == 0 && stream_.avail_out > 0;
      if (drained && (!(finish && last) || stream_.internal_state.state == ZSTATE_END)) break;
    }
  }

 private:
  std::unique_ptr<uint8_t[]> level_buffer_;
  isal_zstream stream_{};
};

TDeflatedPayload::TDeflatedPayload() = default;
TDeflatedPayload::~TDeflatedPayload() = default;

void TDeflatedPayload::Write(const char* data, size_t size) {
  block_.append(data, size);
  Commit();
}

void TDeflatedPayload::CompressBlock(bool finish) {
  if (!deflater_) {
    deflater_ = std::make_unique<TRawDeflater>();
  }
  if (size_ == 0 && chunks_.empty()) deflater_->Restart();
  active_ = true;
  adler_ = Adler(adler_, block_.data(), block_.size());
  size_ += block_.size();
  if (chunks_.empty() || chunks_.back().size() >= 4 * kOutputChunk) {
    chunks_.emplace_back();
    chunks_.back().reserve(4 * kOutputChunk + kOutputChunk);
  }
  std::string& out = chunks_.back();
  const size_t before = out.size();
  deflater_->Compress(block_.data(), block_.size(), finish, false, out);
  compressed_size_ += out.size() - before;
  block_.clear();
  if (size_ > kMaxDataSize) {
    Clear();
    throw EServerError(kErrResultTooLarge, "The result is too large to send: more than " +
                                               std::to_string(kMaxDataSize) +
                                               " bytes, the most a reply holds");
  }
  if (limit_ > 0 && compressed_size_ > limit_) {
    const uint64_t limit = limit_;
    Clear();
    throw EServerError(kErrResultTooLarge,
                       "The result is too large to send: its compressed reply passed " +
                           std::to_string(limit) + " bytes (--max-reply)");
  }
}

void TDeflatedPayload::Finish() {
  if (finished_) return;
  CompressBlock(true);
  finished_ = true;
}

void TDeflatedPayload::Clear() {
  block_.clear();
  block_.shrink_to_fit();
  chunks_.clear();
  size_ = compressed_size_ = 0;
  adler_ = 1;
  active_ = finished_ = false;
}

void EncodeReply(TRemoteCommand& reply, TDeflatedPayload& payload, TMemoryStream& out) {
  reply.Version = kProtocolVersion;
  const bool streamed = payload.Active() && reply.Success;
  if (streamed) payload.Finish();
  const uint64_t data_size64 = streamed ? payload.Size() : static_cast<uint64_t>(reply.Data.Size());
  const TCommandFields fields =
      LayOutCommandFields(reply, data_size64, static_cast<uint64_t>(reply.Params.Size()));
  const uint32_t u = fields.BlockSize;
  const std::string& head = fields.Head;
  const std::string& params_length = fields.ParamsLength;
  const std::string& tail = fields.Tail;
  const auto data_size = static_cast<size_t>(data_size64);
  const auto params_size = static_cast<size_t>(reply.Params.Size());

  struct TSpan {
    const void* data;
    size_t size;
  };
  thread_local TRawDeflater deflater;  // its level buffer is reused by the session's replies
  uint32_t adler = 1;
  // Compresses spans in one run (the payloads straight from their memory), appending to out.
  auto compress = [&](std::initializer_list<TSpan> spans, bool last, std::string& out) {
    deflater.Restart();
    size_t left = spans.size();
    for (const TSpan& span : spans) {
      deflater.Compress(span.data, span.size, --left == 0, last, out);
      adler = Adler(adler, span.data, span.size);
    }
  };
  const TSpan params{reply.Params.Memory(), params_size};
  // With a payload: the fields before Data, the payload's blocks, then Params and the rest.
  std::string before, after;
  if (streamed) {
    compress({{head.data(), head.size()}}, false, before);
    adler = adler32_combine(adler, payload.Adler32(), static_cast<z_off_t>(payload.Size()));
    compress({{params_length.data(), 4}, params, {tail.data(), tail.size()}}, true, after);
  } else {
    compress({{head.data(), head.size()},
              {reply.Data.Memory(), data_size},
              {params_length.data(), 4},
              params,
              {tail.data(), tail.size()}},
             true, after);
  }

  uint64_t total = kMessagePrefixSize + sizeof kZlibHeader + before.size() + after.size() + 4;
  if (streamed) total += payload.CompressedSize();
  out.Clear();
  out.SetSize(static_cast<int64_t>(total));
  uint8_t* p = out.Memory();
  PutMessagePrefix(u, p);
  p += kMessagePrefixSize;
  std::memcpy(p, kZlibHeader, sizeof kZlibHeader);
  p += sizeof kZlibHeader;
  std::memcpy(p, before.data(), before.size());
  p += before.size();
  if (streamed) {
    for (std::string& chunk : payload.Chunks()) {
      std::memcpy(p, chunk.data(), chunk.size());
      p += chunk.size();
      std::string().swap(chunk);  // the compressed copy is not held twice
    }
  }
  std::memcpy(p, after.data(), after.size());
  p += after.size();
  for (int i = 3; i >= 0; --i) *p++ = static_cast<uint8_t>(adler >> (8 * i));
  out.SetPosition(0);
  payload.Clear();
}

}  // namespace larkspire::server
