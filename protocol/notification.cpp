#include "protocol/notification.h"

#include <cstring>

#include "platform/exception.h"

namespace larkspire {
namespace {

void AppendU32(std::string& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

void AppendU64(std::string& out, uint64_t value) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

uint32_t ReadU32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

uint64_t ReadU64(const uint8_t* p) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | p[i];
  return value;
}

// Reads a u32 length at data[pos] and the bytes it announces into out; the length is checked
// against what is left before anything is copied.
void ReadCounted(const uint8_t* data, size_t size, size_t& pos, std::string& out,
                 const char* what) {
  if (size - pos < 4) {
    throw EMalformedData(std::string("notification record: ") + what + " length cut short");
  }
  const uint32_t length = ReadU32(data + pos);
  pos += 4;
  if (length > size - pos) {
    throw EMalformedData(std::string("notification record: ") + what + " of " +
                         std::to_string(length) + " bytes runs past the end (" +
                         std::to_string(size - pos) + " left)");
  }
  out.assign(reinterpret_cast<const char*>(data + pos), length);
  pos += length;
}

}  // namespace

bool IsValidChannel(const std::string& name, std::string* reason) {
  const char* fault = nullptr;
  if (name.empty()) {
    fault = "a channel name may not be empty";
  } else if (name.size() > kMaxChannelLength) {
    fault = "a channel name holds at most 255 bytes";
  } else if (name.find('\0') != std::string::npos) {
    fault = "a channel name may not hold a NUL byte";
  }
  if (fault != nullptr && reason != nullptr) *reason = fault;
  return fault == nullptr;
}

size_t NotificationRecordSize(const TNotificationRecord& record) {
  return kNotificationRecordHeader + record.Channel.size() + record.Payload.size();
}

void EncodeNotificationRecord(const TNotificationRecord& record, std::string& out) {
  out.reserve(out.size() + NotificationRecordSize(record));
  out.push_back(static_cast<char>(record.Missed ? kNotificationMissed : 0));
  AppendU64(out, record.Sequence);
  AppendU32(out, static_cast<uint32_t>(record.Channel.size()));
  out += record.Channel;
  AppendU32(out, static_cast<uint32_t>(record.Payload.size()));
  out += record.Payload;
}

void DecodeNotificationRecords(const uint8_t* data, size_t size,
                               std::vector<TNotificationRecord>& records) {
  size_t pos = 0;
  while (pos < size) {
    if (size - pos < 1 + 8) throw EMalformedData("notification record: header cut short");
    TNotificationRecord record;
    record.Missed = (data[pos] & kNotificationMissed) != 0;
    record.Sequence = ReadU64(data + pos + 1);
    pos += 9;
    ReadCounted(data, size, pos, record.Channel, "channel");
    ReadCounted(data, size, pos, record.Payload, "payload");
    records.push_back(std::move(record));
  }
}

std::string EncodeNotifyRequest(const std::string& channel, const std::string& payload) {
  std::string out;
  out.reserve(4 + channel.size() + payload.size());
  AppendU32(out, static_cast<uint32_t>(channel.size()));
  out += channel;
  out += payload;
  return out;
}

void DecodeNotifyRequest(const uint8_t* data, size_t size, std::string& channel,
                         std::string& payload) {
  size_t pos = 0;
  if (size < 4) throw EMalformedData("notify request: channel length cut short");
  const uint32_t length = ReadU32(data);
  pos = 4;
  if (length > size - pos) {
    throw EMalformedData("notify request: channel of " + std::to_string(length) +
                         " bytes runs past the end");
  }
  channel.assign(reinterpret_cast<const char*>(data + pos), length);
  pos += length;
  payload.assign(reinterpret_cast<const char*>(data + pos), size - pos);
}

}  // namespace larkspire
