// The byte layouts of the reliable datagram protocol: sizes and offsets of every datagram kind,
// little-endian field access, the fixed-size views through which received datagrams are read,
// the message-number order and TTicketMaker, the generator of transmission tickets.
//
// Layout of the common header (every protocol datagram): kind (1 byte), sub byte (1), sender's
// channel id (4), receiver's channel id (4). A data packet adds message number (1), ticket (4),
// packet count (4), packet index (4), payload length (2) and up to 1024 payload bytes. An
// acknowledgement adds message number (1), complete flag (1), ticket (4) and ten history
// tickets (40).
//
// Thread-safety: the views and helpers are plain values; TTicketMaker may be used from any
// thread.
#ifndef LARKSPIRE_TRANSPORT_DATAGRAM_PACKETS_H_
#define LARKSPIRE_TRANSPORT_DATAGRAM_PACKETS_H_

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>

namespace larkspire {

enum TDatagramKind : uint8_t {
  pkLinkRequest = 1,
  pkLinkReply = 2,
  pkUnlinkRequest = 3,
  pkUnlinkReply = 4,
  pkData = 5,
  pkDataAck = 6,
  pkKeepAlive = 7,
  pkKeepAliveReply = 8,
  pkLoad = 9,
  pkRecord = 10,
};

// Results of a link request (sub byte of pkLinkReply); lsNone before any reply.
enum TLinkState : uint8_t { lsNone = 0, lsAccepted = 1, lsFailed = 2, lsRefused = 3 };

// Content kinds of a message (sub byte of pkData).
enum TContentKind : uint8_t { ckText = 0, ckStream = 1 };

constexpr size_t kDatagramHeaderSize = 10;
constexpr size_t kDataHeaderSize = 25;
constexpr size_t kPacketPayloadSize = 1024;
constexpr size_t kDataPacketSize = kDataHeaderSize + kPacketPayloadSize;  // 1049
constexpr size_t kLinkRequestSize = 1034;
constexpr size_t kLinkReplySize = 14;
constexpr size_t kAckSize = 56;
constexpr size_t kLoadSize = 14;
constexpr size_t kRecordSize = 1043;
constexpr size_t kAckHistorySize = 10;
// The largest message a channel assembles: 64 MiB, that is 65536 packets.
constexpr uint32_t kMaxMessagePackets = 65536;

// Offsets shared by several kinds.
namespace datagram_offset {
constexpr size_t kKind = 0;
constexpr size_t kSub = 1;
constexpr size_t kSenderChannel = 2;
constexpr size_t kReceiverChannel = 6;
constexpr size_t kValue = 10;  // link reply code, load value, link request text
// Data packet.
constexpr size_t kDataMsgNo = 10;
constexpr size_t kDataTicket = 11;
constexpr size_t kDataCount = 15;
constexpr size_t kDataIndex = 19;
constexpr size_t kDataLength = 23;
constexpr size_t kDataPayload = 25;
// Acknowledgement.
constexpr size_t kAckMsgNo = 10;
constexpr size_t kAckComplete = 11;
constexpr size_t kAckTicket = 12;
constexpr size_t kAckHistory = 16;
}  // namespace datagram_offset

inline uint16_t GetU16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}
inline uint32_t GetU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
inline int32_t GetI32(const uint8_t* p) {
  return static_cast<int32_t>(GetU32(p));
}
inline void PutU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void PutU32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}
inline void PutI32(uint8_t* p, int32_t v) {
  PutU32(p, static_cast<uint32_t>(v));
}

// Writes the 10-byte common header.
inline void PutHeader(uint8_t* p, uint8_t kind, uint8_t sub, uint32_t sender, uint32_t receiver) {
  p[datagram_offset::kKind] = kind;
  p[datagram_offset::kSub] = sub;
  PutU32(p + datagram_offset::kSenderChannel, sender);
  PutU32(p + datagram_offset::kReceiverChannel, receiver);
}

// A received datagram read as exactly N bytes: its first min(N, length) bytes followed by
// zeros, so that no field read goes past what arrived.
template <size_t N>
class TDatagramView {
 public:
  TDatagramView(const void* buffer, size_t length) {
    const size_t taken = std::min(N, length);
    if (taken > 0) std::memcpy(bytes_.data(), buffer, taken);
    std::memset(bytes_.data() + taken, 0, N - taken);
  }
  static constexpr size_t Size() { return N; }
  const uint8_t* Data() const { return bytes_.data(); }
  uint8_t* Data() { return bytes_.data(); }
  uint8_t U8(size_t offset) const { return bytes_[offset]; }
  uint16_t U16(size_t offset) const { return GetU16(bytes_.data() + offset); }
  uint32_t U32(size_t offset) const { return GetU32(bytes_.data() + offset); }
  int32_t I32(size_t offset) const { return GetI32(bytes_.data() + offset); }

 private:
  std::array<uint8_t, N> bytes_;
};

using TLinkRequestView = TDatagramView<kLinkRequestSize>;
using TLinkReplyView = TDatagramView<kLinkReplySize>;
using TDataView = TDatagramView<kDataPacketSize>;
using TAckView = TDatagramView<kAckSize>;
using TLoadView = TDatagramView<kLoadSize>;
using TRecordView = TDatagramView<kRecordSize>;

// What the first byte of a datagram makes of it.
enum class TDatagramClass { dcProtocol, dcRaw, dcIgnored };
inline TDatagramClass ClassifyDatagram(uint8_t first_byte) {
  if (first_byte >= 16) return TDatagramClass::dcRaw;
  if (first_byte >= pkLinkRequest && first_byte <= pkRecord) return TDatagramClass::dcProtocol;
  return TDatagramClass::dcIgnored;
}

// True when incoming message number m is older than the current number c. Numbers wrap: a small
// m (below 10) while c is high (above 250) counts as m + 255.
inline bool IsOlderMessage(uint8_t current, uint8_t incoming) {
  const int shifted = (incoming < 10 && current > 250) ? incoming + 255 : incoming;
  return current > shifted;
}

// The text of a link request: the bytes from offset 10 up to the first zero byte or the end of
// the view.
inline std::string LinkRequestText(const TLinkRequestView& view) {
  const char* text = reinterpret_cast<const char*>(view.Data() + datagram_offset::kValue);
  const size_t room = kLinkRequestSize - datagram_offset::kValue;
  return std::string(text, strnlen(text, room));
}

// Issues the tickets of one channel: 1, 2, ... 4294967295, then 1 again; never 0.
class TTicketMaker {
 public:
  TTicketMaker() = default;
  TTicketMaker(const TTicketMaker&) = delete;
  TTicketMaker& operator=(const TTicketMaker&) = delete;

  uint32_t NextTicket() {
    std::lock_guard lock(mutex_);
    if (counter_ == UINT32_MAX) counter_ = 0;
    return ++counter_;
  }
  void ResetTickets() {
    std::lock_guard lock(mutex_);
    counter_ = 0;
  }
  uint32_t Counter() const {
    std::lock_guard lock(mutex_);
    return counter_;
  }
  // For tests: continue from this last-issued ticket.
  void SetCounter(uint32_t value) {
    std::lock_guard lock(mutex_);
    counter_ = value;
  }

 private:
  mutable std::mutex mutex_;
  uint32_t counter_ = 0;
};

}  // namespace larkspire

#endif  // LARKSPIRE_TRANSPORT_DATAGRAM_PACKETS_H_
