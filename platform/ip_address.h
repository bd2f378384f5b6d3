// TIpAddress: one IPv4 or IPv6 address as a value, with its text forms and its conversion to and
// from the socket layer's address structures. IPv4 addresses that reach an IPv6 socket arrive
// IPv4-mapped (::ffff:a.b.c.d); reading a socket address gives them back as plain IPv4, so one
// peer has one address whichever socket it reached.
//
// Thread-safety: values and plain functions; safe from any thread.
#ifndef LARKSPIRE_PLATFORM_IP_ADDRESS_H_
#define LARKSPIRE_PLATFORM_IP_ADDRESS_H_

#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <string>

namespace larkspire {

enum class TIpFamily : uint8_t { kIPv4, kIPv6 };

struct TIpAddress {
  TIpFamily Family = TIpFamily::kIPv4;
  // Network byte order; an IPv4 address uses the first four.
  std::array<uint8_t, 16> Bytes{};
  // The interface of a link-local IPv6 address; 0 for any other.
  uint32_t ScopeId = 0;

  // An IPv4 address given in host byte order.
  static TIpAddress FromIPv4(uint32_t address);
  bool IsIPv4() const { return Family == TIpFamily::kIPv4; }
  // The IPv4 address in host byte order (0 for an IPv6 address).
  uint32_t IPv4() const;
  // ::ffff:a.b.c.d as a.b.c.d; any other address unchanged.
  TIpAddress Unmapped() const;
  // a.b.c.d as ::ffff:a.b.c.d, for an IPv6 socket; an IPv6 address unchanged.
  TIpAddress MappedToIPv6() const;
  // "192.0.2.7", "2001:db8::7", "fe80::1%eth0"; never in brackets.
  std::string Text() const;

  bool operator==(const TIpAddress&) const = default;
};

// A numeric address: an IPv4 dotted quad, or an IPv6 address (with an optional "%interface"),
// without brackets; an IPv4-mapped IPv6 address gives the IPv4 address. False for anything
// else, host names included.
bool ParseIpAddress(const std::string& text, TIpAddress& address);

// "192.0.2.7:8008", "[2001:db8::7]:8008".
std::string EndpointText(const TIpAddress& address, uint16_t port);

// The socket address of address:port; its length.
socklen_t ToSocketAddress(const TIpAddress& address, uint16_t port, sockaddr_storage& out);
// address:port of a socket address, an IPv4-mapped address given as IPv4; false for a family
// other than IPv4 and IPv6.
bool FromSocketAddress(const sockaddr* in, TIpAddress& address, uint16_t& port);

}  // namespace larkspire

#endif  // LARKSPIRE_PLATFORM_IP_ADDRESS_H_
