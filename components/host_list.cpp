#include "components/host_list.h"

#include "platform/exception.h"

namespace larkspire {
namespace {

std::string Trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

[[noreturn]] void Fail(const std::string& entry, const char* why) {
  throw Exception("Bad server \"" + entry.substr(0, 200) + "\" in the host list: " + why + ".");
}

int ParsePort(const std::string& entry, const std::string& text) {
  if (text.empty() || text.size() > 5) Fail(entry, "the port must be 1 to 65535");
  int port = 0;
  for (char c : text) {
    if (c < '0' || c > '9') Fail(entry, "the port must be 1 to 65535");
    port = port * 10 + (c - '0');
  }
  if (port < 1 || port > 65535) Fail(entry, "the port must be 1 to 65535");
  return port;
}

THostEntry ParseEntry(const std::string& entry, int default_port) {
  THostEntry result;
  result.Port = default_port;
  std::string rest;
  if (!entry.empty() && entry.front() == '[') {
    const size_t close = entry.find(']');
    if (close == std::string::npos) Fail(entry, "the bracket is not closed");
    result.Host = entry.substr(1, close - 1);
    rest = entry.substr(close + 1);
    if (!rest.empty() && rest.front() != ':') Fail(entry, "a port follows the bracket after ':'");
    if (!rest.empty()) result.Port = ParsePort(entry, rest.substr(1));
  } else {
    const size_t colon = entry.find(':');
    if (colon != std::string::npos && entry.find(':', colon + 1) != std::string::npos) {
      Fail(entry, "an IPv6 address goes in brackets");
    }
    result.Host = entry.substr(0, colon);
    if (colon != std::string::npos) result.Port = ParsePort(entry, entry.substr(colon + 1));
  }
  if (result.Host.empty()) Fail(entry, "the host is empty");
  return result;
}

}  // namespace

std::vector<THostEntry> ParseHostList(const std::string& text, int default_port) {
  std::vector<THostEntry> entries;
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    const std::string entry = Trimmed(text.substr(start, comma - start));
    if (entry.empty()) Fail(text, "an entry is empty");
    entries.push_back(ParseEntry(entry, default_port));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return entries;
}

std::string HostEntryText(const THostEntry& entry) {
  const bool v6 = entry.Host.find(':') != std::string::npos;
  return (v6 ? "[" + entry.Host + "]" : entry.Host) + ":" + std::to_string(entry.Port);
}

}  // namespace larkspire
