// ProbeLoads: asks several datagram endpoints at once for their load and waits for the answers
// for a bounded time. Each server gets its own connected UDP socket (IPv4 or IPv6, as its
// address resolves), so a server whose port is closed is known at once, and the answers are
// matched to their query by the two free fields the answer echoes.
//
// Thread-safety: a plain function; each call uses sockets of its own.
#ifndef LARKSPIRE_TRANSPORT_LOAD_PROBE_H_
#define LARKSPIRE_TRANSPORT_LOAD_PROBE_H_

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace larkspire {

// The load of each (host, port), in order; nullopt where no answer came within timeout_ms (a
// host that does not resolve, a closed port, a lost datagram).
std::vector<std::optional<int32_t>> ProbeLoads(
    const std::vector<std::pair<std::string, int>>& servers, uint32_t timeout_ms);

// The order in which to try servers given their loads: those that answered, least loaded
// first, then those that did not; list order among equals.
std::vector<size_t> OrderByLoad(const std::vector<std::optional<int32_t>>& loads);

}  // namespace larkspire

#endif  // LARKSPIRE_TRANSPORT_LOAD_PROBE_H_
