#include "platform/stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/exception.h"

namespace larkspire {

int64_t TStream::Size() {
  const int64_t position = Seek(0, TSeekOrigin::soCurrent);
  const int64_t size = Seek(0, TSeekOrigin::soEnd);
  Seek(position, TSeekOrigin::soBeginning);
  return size;
}

void TStream::ReadBuffer(void* buffer, int64_t count) {
  if (count != 0 && Read(buffer, count) != count) throw EStreamError("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, int64_t count) {
  if (count != 0 && Write(buffer, count) != count) throw EStreamError("Stream write error");
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
  if (count == 0) {
    source.SetPosition(0);
    count = source.Size();
  }
  const int64_t total = count;
  char chunk[65536];
  while (count > 0) {
    const int64_t n = std::min<int64_t>(count, sizeof chunk);
    source.ReadBuffer(chunk, n);
    WriteBuffer(chunk, n);
    count -= n;
  }
  return total;
}

TMemoryStream::~TMemoryStream() {
  std::free(memory_);
}

int64_t TMemoryStream::GrowthStep(int64_t requested_capacity, int64_t current_size) const {
  if (requested_capacity > 0 && requested_capacity != current_size)
    return (requested_capacity + 0x1FFF) & ~int64_t{0x1FFF};
  return requested_capacity;
}

void TMemoryStream::SetCapacity(int64_t requested) {
  const int64_t capacity = GrowthStep(requested, size_);
  if (capacity == capacity_) return;
  if (capacity == 0) {
    std::free(memory_);
    memory_ = nullptr;
    capacity_ = 0;
    return;
  }
  void* block = std::realloc(memory_, static_cast<size_t>(capacity));
  if (block == nullptr) throw EStreamError("Out of memory while expanding memory stream");
  memory_ = static_cast<uint8_t*>(block);
  capacity_ = capacity;
}

int64_t TMemoryStream::Read(void* buffer, int64_t count) {
  if (position_ < 0 || count <= 0) return 0;
  const int64_t n = std::min(count, size_ - position_);
  if (n <= 0) return 0;
  std::memcpy(buffer, memory_ + position_, static_cast<size_t>(n));
  position_ += n;
  return n;
}

int64_t TMemoryStream::Write(const void* buffer, int64_t count) {
  if (position_ < 0 || count <= 0) return 0;
  const int64_t end = position_ + count;
  if (end > size_) {
    if (end > capacity_) SetCapacity(end);
    size_ = end;
  }
  std::memcpy(memory_ + position_, buffer, static_cast<size_t>(count));
  position_ = end;
  return count;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
  switch (origin) {
    case TSeekOrigin::soBeginning:
      position_ = offset;
      break;
    case TSeekOrigin::soCurrent:
      position_ += offset;
      break;
    case TSeekOrigin::soEnd:
      position_ = size_ + offset;
      break;
  }
  return position_;
}

void TMemoryStream::SetSize(int64_t new_size) {
  if (new_size < 0) throw EStreamError("Stream size cannot be negative");
  const int64_t old_position = position_;
  SetCapacity(new_size);
  size_ = new_size;
  if (old_position > new_size) Seek(0, TSeekOrigin::soEnd);
}

void TMemoryStream::Clear() {
  SetCapacity(0);
  size_ = 0;
  position_ = 0;
}

void TMemoryStream::LoadFromStream(TStream& source) {
  source.SetPosition(0);
  const int64_t count = source.Size();
  SetSize(count);
  if (count != 0) source.ReadBuffer(memory_, count);
  position_ = 0;
}

void TMemoryStream::SaveToStream(TStream& target) {
  if (size_ != 0) target.WriteBuffer(memory_, size_);
}

void TMemoryStream::LoadFromFile(const std::string& path) {
  TFileStream file(path, TFileMode::fmOpenRead);
  LoadFromStream(file);
}

void TMemoryStream::SaveToFile(const std::string& path) {
  TFileStream file(path, TFileMode::fmCreate);
  SaveToStream(file);
}

TFileStream::TFileStream(const std::string& path, TFileMode mode) {
  int flags = O_CLOEXEC;
  switch (mode) {
    case TFileMode::fmOpenRead:
      flags |= O_RDONLY;
      break;
    case TFileMode::fmOpenReadWrite:
      flags |= O_RDWR;
      break;
    case TFileMode::fmCreate:
      flags |= O_RDWR | O_CREAT | O_TRUNC;
      break;
  }
  fd_ = ::open(path.c_str(), flags, 0644);
  if (fd_ < 0) throw EStreamError("Cannot open file \"" + path + "\": " + std::strerror(errno));
}

TFileStream::~TFileStream() {
  if (fd_ >= 0) ::close(fd_);
}

int64_t TFileStream::Read(void* buffer, int64_t count) {
  int64_t done = 0;
  while (done < count) {
    const ssize_t n = ::read(fd_, static_cast<char*>(buffer) + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
  }
  return done;
}

int64_t TFileStream::Write(const void* buffer, int64_t count) {
  int64_t done = 0;
  while (done < count) {
    const ssize_t n = ::write(fd_, static_cast<const char*>(buffer) + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
  }
  return done;
}

int64_t TFileStream::Seek(int64_t offset, TSeekOrigin origin) {
  const int whence = origin == TSeekOrigin::soBeginning ? SEEK_SET
                     : origin == TSeekOrigin::soCurrent ? SEEK_CUR
                                                        : SEEK_END;
  return ::lseek(fd_, offset, whence);
}

void TFileStream::SetSize(int64_t new_size) {
  if (::ftruncate(fd_, new_size) != 0)
    throw EStreamError(std::string("Cannot set the file size: ") + std::strerror(errno));
}

}  // namespace larkspire
