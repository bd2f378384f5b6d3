// The servers a connection may reach: "host[:port][,host[:port]...]", where a host is a name,
// an IPv4 address or an IPv6 address in brackets ("[::1]:8008"); an entry without a port takes
// the connection's port.
//
// Thread-safety: plain functions of their arguments.
#ifndef LARKSPIRE_COMPONENTS_HOST_LIST_H_
#define LARKSPIRE_COMPONENTS_HOST_LIST_H_

#include <string>
#include <vector>

namespace larkspire {

struct THostEntry {
  std::string Host;  // without brackets
  int Port = 0;
  bool operator==(const THostEntry&) const = default;
};

// The entries of text in order; spaces around entries are ignored. Raises Exception naming the
// entry for an empty entry, an unclosed bracket, a port that is not 1..65535 or an IPv6
// address without brackets.
std::vector<THostEntry> ParseHostList(const std::string& text, int default_port);

// "host:port", the IPv6 address in brackets.
std::string HostEntryText(const THostEntry& entry);

}  // namespace larkspire

#endif  // LARKSPIRE_COMPONENTS_HOST_LIST_H_
