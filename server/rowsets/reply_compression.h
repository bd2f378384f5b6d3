// How the server compresses its replies: the field block of a reply is one zlib-format stream
// at level 1, as the protocol wants, written with ISA-L's igzip, several times faster than
// zlib at the same level; zlib and the client read it as any zlib stream.
//
// A large Data payload (a query's rowset) is compressed while it is written, in blocks, into a
// TDeflatedPayload; EncodeReply then frames it between the other fields without copying the
// uncompressed bytes. The payload's deflate blocks start with an empty history and end on a
// byte boundary, so they can be spliced between the fields before and after it, and the
// stream's Adler-32 is combined from the parts.
//
// Thread-safety: a TDeflatedPayload belongs to one session thread; EncodeReply is reentrant.
#ifndef LARKSPIRE_SERVER_REPLY_COMPRESSION_H_
#define LARKSPIRE_SERVER_REPLY_COMPRESSION_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/stream.h"
#include "protocol/remote_command.h"

namespace larkspire::server {

class TRawDeflater;

class TDeflatedPayload {
 public:
  // Uncompressed bytes gathered before a block is compressed.
  static constexpr size_t kBlockSize = 128 * 1024;

  TDeflatedPayload();
  ~TDeflatedPayload();
  TDeflatedPayload(const TDeflatedPayload&) = delete;
  TDeflatedPayload& operator=(const TDeflatedPayload&) = delete;

  // The most compressed bytes the payload may hold; 0: no limit. Past it Write raises
  // EServerError kErrResultTooLarge.
  void SetLimit(uint64_t max_compressed) { limit_ = max_compressed; }

  // Appends uncompressed bytes. The returned buffer form lets a writer format in place:
  // Buffer() is the pending block, which Commit() compresses when it is full.
  void Write(const char* data, size_t size);
  std::string& Buffer() { return block_; }
  void Commit() {
    if (block_.size() >= kBlockSize) CompressBlock(false);
  }
  // Compresses what is pending and ends the deflate data on a byte boundary.
  void Finish();
  // Forgets everything written; the payload is inactive again.
  void Clear();

  bool Active() const { return active_; }
  void Activate() { active_ = true; }
  uint64_t Size() const { return size_; }
  uint64_t CompressedSize() const { return compressed_size_; }
  uint32_t Adler32() const { return adler_; }
  // The compressed chunks, in order (after Finish).
  std::vector<std::string>& Chunks() { return chunks_; }

 private:
  void CompressBlock(bool finish);

  std::unique_ptr<TRawDeflater> deflater_;
  std::string block_;
  std::vector<std::string> chunks_;
  uint64_t size_ = 0;
  uint64_t compressed_size_ = 0;
  uint64_t limit_ = 0;
  uint32_t adler_ = 1;
  bool active_ = false;
  bool finished_ = false;
};

// Encodes reply into out (replacing its content, position 0) as TRemoteCommand::SaveToStream
// lays it out. When payload is active and the reply succeeded, the payload is its Data (reply.Data
// must be empty) and its chunks are released as they are copied; otherwise reply.Data is.
// The payload is cleared either way.
void EncodeReply(TRemoteCommand& reply, TDeflatedPayload& payload, TMemoryStream& out);

}  // namespace larkspire::server

#endif  // LARKSPIRE_SERVER_REPLY_COMPRESSION_H_
