// The TCP frame: every handshake, request and reply travels as a 4-byte big-endian body length
// followed by the body. The length prefix is the only big-endian integer of the protocol.
// Bodies are shorter than 2 GiB; a receiver may set a lower bound of its own.
//
// Thread-safety: constants and pure functions.
#ifndef LARKSPIRE_PROTOCOL_FRAME_H_
#define LARKSPIRE_PROTOCOL_FRAME_H_

#include <cstddef>
#include <cstdint>

namespace larkspire {

inline constexpr size_t kFramePrefixSize = 4;
// The longest body a frame can carry.
inline constexpr uint32_t kMaxFrameBody = 0x7FFFFFFF;

inline void EncodeFramePrefix(uint32_t length, uint8_t prefix[kFramePrefixSize]) {
  prefix[0] = static_cast<uint8_t>(length >> 24);
  prefix[1] = static_cast<uint8_t>(length >> 16);
  prefix[2] = static_cast<uint8_t>(length >> 8);
  prefix[3] = static_cast<uint8_t>(length);
}

inline uint32_t DecodeFramePrefix(const uint8_t prefix[kFramePrefixSize]) {
  return uint32_t{prefix[0]} << 24 | uint32_t{prefix[1]} << 16 | uint32_t{prefix[2]} << 8 |
         uint32_t{prefix[3]};
}

}  // namespace larkspire

#endif  // LARKSPIRE_PROTOCOL_FRAME_H_
