#include "protocol/handshake.h"

namespace larkspire {

namespace {

// The status byte and the code follow the five bytes of the prefix.
constexpr size_t kStatusOffset = kHandshakePrefixSize;
constexpr size_t kCodeOffset = kStatusOffset + 1;

}  // namespace

std::string HandshakeAuthText(const std::string& identity, const std::string& client_name) {
  return identity + "/" + client_name;
}

std::string EncodeHandshakeRequest(const std::string& auth_text) {
  return kHandshakePrefix + auth_text;
}

bool DecodeHandshakeRequest(const std::string& body, std::string& identity,
                            std::string& client_name) {
  if (body.compare(0, kHandshakePrefixSize, kHandshakePrefix) != 0) return false;
  const size_t slash = body.find('/', kHandshakePrefixSize);
  if (slash == std::string::npos) {
    identity = body.substr(kHandshakePrefixSize);
    client_name.clear();
  } else {
    identity = body.substr(kHandshakePrefixSize, slash - kHandshakePrefixSize);
    client_name = body.substr(slash + 1);
  }
  return true;
}

std::string EncodeHandshakeReply(uint8_t status, int32_t code) {
  std::string body = kHandshakePrefix;
  body.push_back(static_cast<char>(status));
  const auto value = static_cast<uint32_t>(code);
  for (int i = 0; i < 4; ++i) body.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  return body;
}

THandshakeAnswer DecodeHandshakeReply(const uint8_t* body, size_t size) {
  THandshakeAnswer answer;
  if (size >= kStatusOffset + 1) answer.Status = body[kStatusOffset];
  if (size >= kCodeOffset + 4) {
    answer.HasCode = true;
    answer.Code = static_cast<int32_t>(
        uint32_t{body[kCodeOffset]} | uint32_t{body[kCodeOffset + 1]} << 8 |
        uint32_t{body[kCodeOffset + 2]} << 16 | uint32_t{body[kCodeOffset + 3]} << 24);
  }
  return answer;
}

}  // namespace larkspire
