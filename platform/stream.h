// Byte streams: the abstract TStream, the growable TMemoryStream and TFileStream.
//
// Thread-safety: a stream is used by one thread at a time.
#ifndef LARKSPIRE_PLATFORM_STREAM_H_
#define LARKSPIRE_PLATFORM_STREAM_H_

#include <cstdint>
#include <cstdio>
#include <string>

namespace larkspire {

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

class TStream {
 public:
  TStream() = default;
  TStream(const TStream&) = delete;
  TStream& operator=(const TStream&) = delete;
  virtual ~TStream() = default;

  // Reads up to count bytes at the position; returns how many were read.
  virtual int64_t Read(void* buffer, int64_t count) = 0;
  // Writes count bytes at the position; returns how many were written.
  virtual int64_t Write(const void* buffer, int64_t count) = 0;
  // Moves the position; returns the new position.
  virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
  virtual int64_t Size();
  virtual void SetSize(int64_t new_size) = 0;

  int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
  void SetPosition(int64_t position) { Seek(position, TSeekOrigin::soBeginning); }

  // Read or write exactly count bytes, or raise EStreamError.
  void ReadBuffer(void* buffer, int64_t count);
  void WriteBuffer(const void* buffer, int64_t count);
  // Copies count bytes from source's position (count 0: the whole source from its start).
  int64_t CopyFrom(TStream& source, int64_t count);
};

// A stream over a block of memory that grows as it is written.
class TMemoryStream : public TStream {
 public:
  TMemoryStream() = default;
  ~TMemoryStream() override;

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() override { return size_; }
  void SetSize(int64_t new_size) override;

  // Empties the stream and frees its block.
  void Clear();
  uint8_t* Memory() { return memory_; }
  const uint8_t* Memory() const { return memory_; }
  int64_t Capacity() const { return capacity_; }
  // The whole content as bytes (for tests and small payloads).
  std::string Bytes() const { return std::string(reinterpret_cast<const char*>(memory_), size_); }

  void LoadFromStream(TStream& source);
  void SaveToStream(TStream& target);
  void LoadFromFile(const std::string& path);
  void SaveToFile(const std::string& path);

 protected:
  // The growth step: the capacity to reserve when requested_capacity is asked for while the
  // stream holds current_size bytes. The default rounds up to 8 KiB.
  virtual int64_t GrowthStep(int64_t requested_capacity, int64_t current_size) const;

 private:
  void SetCapacity(int64_t requested);

  uint8_t* memory_ = nullptr;
  int64_t size_ = 0;
  int64_t position_ = 0;
  int64_t capacity_ = 0;
};

enum class TFileMode { fmOpenRead, fmOpenReadWrite, fmCreate };

// A stream over a file; raises EStreamError when the file cannot be opened.
class TFileStream : public TStream {
 public:
  TFileStream(const std::string& path, TFileMode mode);
  ~TFileStream() override;

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  void SetSize(int64_t new_size) override;

  // The file's descriptor, for gathered writes at the stream's position; stays owned here.
  int Handle() const { return fd_; }

 private:
  int fd_ = -1;
};

}  // namespace larkspire

#endif  // LARKSPIRE_PLATFORM_STREAM_H_
