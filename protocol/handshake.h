// The handshake: the first frame a client sends, and the server's answer to it.
//
//   request body  "Auth:" identity "/" client name   (code-page text; the name may be absent)
//   reply body    "Auth:" status (1 byte) code (4 bytes, little-endian)
//
// Status 1 accepts the client; 3 refuses it, with the reason in code (kErrConnectionRefused,
// kErrConnectionsLimit of protocol/error_codes.h). The client reads the status and the code at
// their offsets and does not examine the five bytes before them.
//
// Thread-safety: constants and pure functions.
#ifndef LARKSPIRE_PROTOCOL_HANDSHAKE_H_
#define LARKSPIRE_PROTOCOL_HANDSHAKE_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace larkspire {

inline constexpr char kHandshakePrefix[] = "Auth:";
inline constexpr size_t kHandshakePrefixSize = sizeof kHandshakePrefix - 1;

// No reply was read (the client's status before and after a failed handshake).
inline constexpr uint8_t kHandshakeNone = 0;
inline constexpr uint8_t kHandshakeAccepted = 1;
inline constexpr uint8_t kHandshakeRefused = 3;

// The client's text: identity "/" client name (code-page bytes).
std::string HandshakeAuthText(const std::string& identity, const std::string& client_name);
// The request body for an auth text.
std::string EncodeHandshakeRequest(const std::string& auth_text);
// Splits a request body into identity and client name (code-page bytes); false, leaving both
// alone, for a body that does not begin with "Auth:". Without a "/" the name is empty.
bool DecodeHandshakeRequest(const std::string& body, std::string& identity,
                            std::string& client_name);

std::string EncodeHandshakeReply(uint8_t status, int32_t code);

struct THandshakeAnswer {
  uint8_t Status = kHandshakeNone;  // kHandshakeNone when the body is too short to hold it
  bool HasCode = false;             // false when the body ends before the code
  int32_t Code = 0;
};
// Reads a reply body of size bytes; never past its end.
THandshakeAnswer DecodeHandshakeReply(const uint8_t* body, size_t size);

}  // namespace larkspire

#endif  // LARKSPIRE_PROTOCOL_HANDSHAKE_H_
