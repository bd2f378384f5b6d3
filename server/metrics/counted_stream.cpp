#include "server/metrics/counted_stream.h"

namespace larkspire::server {

ssize_t TCountedStream::ReadSome(void* buffer, size_t count) {
  const ssize_t got = inner_->ReadSome(buffer, count);
  if (got > 0) metrics_.CountReceived(static_cast<uint64_t>(got));
  return got;
}

bool TCountedStream::WriteAll(const void* bytes, size_t count, bool more) {
  // A write that fails part-way has sent an unknown share: only whole writes are counted.
  const bool written = inner_->WriteAll(bytes, count, more);
  if (written) metrics_.CountSent(count);
  return written;
}

void TCountedStream::WroteDirectly(size_t bytes) {
  inner_->WroteDirectly(bytes);
  metrics_.CountSent(bytes);
}

}  // namespace larkspire::server
