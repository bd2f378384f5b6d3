#include "platform/ip_address.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cstring>

namespace larkspire {
namespace {

constexpr uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

}  // namespace

TIpAddress TIpAddress::FromIPv4(uint32_t address) {
  TIpAddress result;
  result.Bytes[0] = static_cast<uint8_t>(address >> 24);
  result.Bytes[1] = static_cast<uint8_t>(address >> 16);
  result.Bytes[2] = static_cast<uint8_t>(address >> 8);
  result.Bytes[3] = static_cast<uint8_t>(address);
  return result;
}

uint32_t TIpAddress::IPv4() const {
  if (!IsIPv4()) return 0;
  return uint32_t{Bytes[0]} << 24 | uint32_t{Bytes[1]} << 16 | uint32_t{Bytes[2]} << 8 |
         uint32_t{Bytes[3]};
}

TIpAddress TIpAddress::Unmapped() const {
  if (IsIPv4() || std::memcmp(Bytes.data(), kMappedPrefix, sizeof kMappedPrefix) != 0) {
    return *this;
  }
  TIpAddress result;
  std::memcpy(result.Bytes.data(), Bytes.data() + 12, 4);
  return result;
}

TIpAddress TIpAddress::MappedToIPv6() const {
  if (!IsIPv4()) return *this;
  TIpAddress result;
  result.Family = TIpFamily::kIPv6;
  std::memcpy(result.Bytes.data(), kMappedPrefix, sizeof kMappedPrefix);
  std::memcpy(result.Bytes.data() + 12, Bytes.data(), 4);
  return result;
}

std::string TIpAddress::Text() const {
  char text[INET6_ADDRSTRLEN + IF_NAMESIZE + 2] = "";
  if (IsIPv4()) {
    ::inet_ntop(AF_INET, Bytes.data(), text, sizeof text);
    return text;
  }
  ::inet_ntop(AF_INET6, Bytes.data(), text, sizeof text);
  std::string result = text;
  if (ScopeId != 0) {
    char name[IF_NAMESIZE] = "";
    result += "%";
    result +=
        ::if_indextoname(ScopeId, name) != nullptr ? std::string(name) : std::to_string(ScopeId);
  }
  return result;
}

bool ParseIpAddress(const std::string& text, TIpAddress& address) {
  if (text.empty() || text.size() > 100) return false;
  if (text.find(':') == std::string::npos) {
    in_addr parsed{};
    if (::inet_pton(AF_INET, text.c_str(), &parsed) != 1) return false;
    address = TIpAddress::FromIPv4(ntohl(parsed.s_addr));
    return true;
  }
  if (text.find('%') == std::string::npos) {
    TIpAddress parsed;
    parsed.Family = TIpFamily::kIPv6;
    if (::inet_pton(AF_INET6, text.c_str(), parsed.Bytes.data()) != 1) return false;
    address = parsed.Unmapped();
    return true;
  }
  // getaddrinfo reads the "%interface" part that inet_pton does not; numeric only, so no name
  // is ever looked up here.
  addrinfo hints{};
  hints.ai_family = AF_INET6;
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* found = nullptr;
  if (::getaddrinfo(text.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return false;
  uint16_t port = 0;
  const bool parsed = FromSocketAddress(found->ai_addr, address, port);
  ::freeaddrinfo(found);
  return parsed;
}

std::string EndpointText(const TIpAddress& address, uint16_t port) {
  const std::string host = address.IsIPv4() ? address.Text() : "[" + address.Text() + "]";
  return host + ":" + std::to_string(port);
}

socklen_t ToSocketAddress(const TIpAddress& address, uint16_t port, sockaddr_storage& out) {
  out = sockaddr_storage{};
  if (address.IsIPv4()) {
    auto* v4 = reinterpret_cast<sockaddr_in*>(&out);
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    std::memcpy(&v4->sin_addr, address.Bytes.data(), 4);
    return sizeof(sockaddr_in);
  }
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&out);
  v6->sin6_family = AF_INET6;
  v6->sin6_port = htons(port);
  v6->sin6_scope_id = address.ScopeId;
  std::memcpy(&v6->sin6_addr, address.Bytes.data(), 16);
  return sizeof(sockaddr_in6);
}

bool FromSocketAddress(const sockaddr* in, TIpAddress& address, uint16_t& port) {
  if (in->sa_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(in);
    address = TIpAddress{};
    std::memcpy(address.Bytes.data(), &v4->sin_addr, 4);
    port = ntohs(v4->sin_port);
    return true;
  }
  if (in->sa_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(in);
    TIpAddress read;
    read.Family = TIpFamily::kIPv6;
    std::memcpy(read.Bytes.data(), &v6->sin6_addr, 16);
    read.ScopeId = v6->sin6_scope_id;
    address = read.Unmapped();
    port = ntohs(v6->sin6_port);
    return true;
  }
  return false;
}

}  // namespace larkspire
