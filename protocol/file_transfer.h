// The records of the file transfer commands (400 list, 401 information, 402 download), shared by
// the file component and the server's file service.
//
// File information record (reply Data of 401), 28 bytes, little-endian:
//   0  8  FileSize    signed 64-bit
//   8  4  BlockCount  signed 32-bit, number of 32768-byte blocks (the last may be shorter)
//   12 8  Stamp1      IEEE double, first version stamp
//   20 8  Stamp2      IEEE double, second version stamp
// Block packet, sent raw after 402 (no frame length), always 32776 bytes:
//   0  4  the block's number (the client does not read it)
//   4  4  Length: signed 32-bit count of file bytes in this packet
//   8  32768  the file bytes in the first Length bytes, zeros after them
// Resume record at the end of a partial local file, 32 bytes: the information record as received
// and NextBlock (signed 32-bit, 1-based, the first block not yet received).
//
// Block N (1-based) starts at offset (N - 1) * 32768; offsets are 64-bit, so every size that a
// 32-bit block count reaches (up to 64 TiB) is served and downloaded.
//
// Thread-safety: plain values and pure functions.
#ifndef LARKSPIRE_PROTOCOL_FILE_TRANSFER_H_
#define LARKSPIRE_PROTOCOL_FILE_TRANSFER_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace larkspire {

inline constexpr int32_t kFileBlockSize = 32768;
inline constexpr int32_t kBlockPacketHeader = 8;
inline constexpr int32_t kBlockPacketSize = kFileBlockSize + kBlockPacketHeader;  // 32776
inline constexpr size_t kFileInfoSize = 28;
inline constexpr size_t kResumeRecordSize = 32;
// The largest file a 32-bit block count reaches.
inline constexpr int64_t kMaxTransferFileSize = int64_t{0x7FFFFFFF} * kFileBlockSize;

// Listing option byte of command 400.
inline constexpr uint8_t kListOneLevel = 0;
inline constexpr uint8_t kListRecursive = 1;

struct TRemoteFileInfo {
  int64_t FileSize = 0;
  int32_t BlockCount = 0;
  double Stamp1 = 0;
  double Stamp2 = 0;
};

struct TResumeRecord {
  TRemoteFileInfo Info;
  int32_t NextBlock = 0;
};

// The number of blocks of a file of size bytes (0 for an empty file).
int32_t BlockCountOf(int64_t size);
// Offset of block (1-based) in the file.
inline int64_t BlockOffset(int32_t block) {
  return int64_t{block - 1} * kFileBlockSize;
}

std::string EncodeFileInfo(const TRemoteFileInfo& info);
// Reads the first 28 bytes of the reply; raises EMalformedData when fewer came, or when the
// sizes do not agree (a negative size, or a block count that does not make up the size).
TRemoteFileInfo DecodeFileInfo(const void* bytes, size_t size);

std::string EncodeResumeRecord(const TResumeRecord& record);
// Exactly 32 bytes; the fields are taken as they are (the caller decides what they are worth).
TResumeRecord DecodeResumeRecord(const void* bytes);

// Writes the 8-byte packet header (block number and Length) at packet.
void WriteBlockPacketHeader(void* packet, int32_t block, int32_t length);
// The Length field of a packet.
int32_t BlockPacketLength(const void* packet);

}  // namespace larkspire

#endif  // LARKSPIRE_PROTOCOL_FILE_TRANSFER_H_
