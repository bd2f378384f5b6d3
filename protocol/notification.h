// The records of the notification commands (600 subscribe, 601 unsubscribe, 603 notify, 604 wait
// for notifications), shared by the client's listener, the server's hub and the datagram
// delivery.
//
// Notification record, little-endian, one per notification:
//   u8  flags     bit 0 = Missed: records before this one were dropped for this session
//   u64 sequence  per subscription, from 1 (the server counts it for that session's
//                 subscription to that channel)
//   u32 channel length, the channel's bytes (UTF-8)
//   u32 payload length, the payload's bytes
// The reply to 604 holds zero or more records back to back (its Value is their count).
//
// Notify request (Data of 603): u32 channel length, the channel's bytes, the payload (the rest).
//
// Thread-safety: plain values and pure functions.
#ifndef LARKSPIRE_PROTOCOL_NOTIFICATION_H_
#define LARKSPIRE_PROTOCOL_NOTIFICATION_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace larkspire {

// A channel name holds 1 to 255 bytes and no NUL.
inline constexpr size_t kMaxChannelLength = 255;
// The longest payload (as PostgreSQL's NOTIFY).
inline constexpr size_t kMaxNotificationPayload = 8000;
// The most channels one session subscribes to.
inline constexpr size_t kMaxSubscriptions = 256;
// What the server queues for one session before it drops the oldest.
inline constexpr size_t kMaxQueuedNotifications = 1024;
inline constexpr size_t kMaxQueuedNotificationBytes = size_t{4} << 20;
// The longest wait of one 604, in milliseconds.
inline constexpr int32_t kMaxNotificationWaitMs = 60000;
// The fixed part of a record: flags, sequence and the two lengths.
inline constexpr size_t kNotificationRecordHeader = 1 + 8 + 4 + 4;
inline constexpr uint8_t kNotificationMissed = 0x01;

struct TNotificationRecord {
  std::string Channel;
  std::string Payload;
  uint64_t Sequence = 0;
  bool Missed = false;
};

// Whether name may be a channel (1..255 bytes, no NUL); when not, why in reason.
bool IsValidChannel(const std::string& name, std::string* reason = nullptr);

// Appends the record's encoding to out.
void EncodeNotificationRecord(const TNotificationRecord& record, std::string& out);
// The number of bytes EncodeNotificationRecord appends for record.
size_t NotificationRecordSize(const TNotificationRecord& record);
// Decodes every record of the size bytes at data, appending them to records. A length that
// runs past the end, or a truncated header, raises EMalformedData (records decoded before it
// stay appended).
void DecodeNotificationRecords(const uint8_t* data, size_t size,
                               std::vector<TNotificationRecord>& records);

std::string EncodeNotifyRequest(const std::string& channel, const std::string& payload);
// Raises EMalformedData when the channel's length runs past the end.
void DecodeNotifyRequest(const uint8_t* data, size_t size, std::string& channel,
                         std::string& payload);

}  // namespace larkspire

#endif  // LARKSPIRE_PROTOCOL_NOTIFICATION_H_
