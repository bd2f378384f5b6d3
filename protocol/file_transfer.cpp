#include "protocol/file_transfer.h"

#include <bit>
#include <cstring>
#include <utility>

#include "platform/exception.h"

namespace larkspire {

namespace {

template <typename T>
void Put(std::string& out, T value) {
  uint8_t bytes[sizeof(T)];
  std::memcpy(bytes, &value, sizeof(T));
  // The wire is little-endian; so is every platform this builds on, but say it once here.
  if constexpr (std::endian::native == std::endian::big) {
    for (size_t i = 0; i < sizeof(T) / 2; ++i) std::swap(bytes[i], bytes[sizeof(T) - 1 - i]);
  }
  out.append(reinterpret_cast<const char*>(bytes), sizeof(T));
}

template <typename T>
T Get(const uint8_t* at) {
  uint8_t bytes[sizeof(T)];
  std::memcpy(bytes, at, sizeof(T));
  if constexpr (std::endian::native == std::endian::big) {
    for (size_t i = 0; i < sizeof(T) / 2; ++i) std::swap(bytes[i], bytes[sizeof(T) - 1 - i]);
  }
  T value;
  std::memcpy(&value, bytes, sizeof(T));
  return value;
}

}  // namespace

int32_t BlockCountOf(int64_t size) {
  if (size <= 0) return 0;
  return static_cast<int32_t>((size + kFileBlockSize - 1) / kFileBlockSize);
}

std::string EncodeFileInfo(const TRemoteFileInfo& info) {
  std::string out;
  Put(out, info.FileSize);
  Put(out, info.BlockCount);
  Put(out, info.Stamp1);
  Put(out, info.Stamp2);
  return out;
}

TRemoteFileInfo DecodeFileInfo(const void* bytes, size_t size) {
  if (size < kFileInfoSize) {
    throw EMalformedData("file information: " + std::to_string(size) +
                         " bytes, the record needs 28");
  }
  const auto* at = static_cast<const uint8_t*>(bytes);
  TRemoteFileInfo info;
  info.FileSize = Get<int64_t>(at);
  info.BlockCount = Get<int32_t>(at + 8);
  info.Stamp1 = Get<double>(at + 12);
  info.Stamp2 = Get<double>(at + 20);
  if (info.FileSize < 0 || info.FileSize > kMaxTransferFileSize) {
    throw EMalformedData("file information: file size " + std::to_string(info.FileSize) +
                         " is out of range");
  }
  if (info.BlockCount != BlockCountOf(info.FileSize)) {
    throw EMalformedData("file information: block count " + std::to_string(info.BlockCount) +
                         " does not make up a file of " + std::to_string(info.FileSize) +
                         " bytes in blocks of 32768");
  }
  return info;
}

std::string EncodeResumeRecord(const TResumeRecord& record) {
  std::string out = EncodeFileInfo(record.Info);
  Put(out, record.NextBlock);
  return out;
}

TResumeRecord DecodeResumeRecord(const void* bytes) {
  const auto* at = static_cast<const uint8_t*>(bytes);
  TResumeRecord record;
  record.Info.FileSize = Get<int64_t>(at);
  record.Info.BlockCount = Get<int32_t>(at + 8);
  record.Info.Stamp1 = Get<double>(at + 12);
  record.Info.Stamp2 = Get<double>(at + 20);
  record.NextBlock = Get<int32_t>(at + 28);
  return record;
}

void WriteBlockPacketHeader(void* packet, int32_t block, int32_t length) {
  std::string header;
  Put(header, block);
  Put(header, length);
  std::memcpy(packet, header.data(), kBlockPacketHeader);
}

int32_t BlockPacketLength(const void* packet) {
  return Get<int32_t>(static_cast<const uint8_t*>(packet) + 4);
}

}  // namespace larkspire
