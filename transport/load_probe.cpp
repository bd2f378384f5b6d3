#include "transport/load_probe.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "transport/datagram_packets.h"

namespace larkspire {
namespace {

// A UDP socket connected to host:port; -1 when the host does not resolve or no socket can be
// made.
int ConnectedSocket(const std::string& host, int port) {
  if (port < 1 || port > 65535) return -1;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string name = host == "localhost" ? "127.0.0.1" : host;
  if (::getaddrinfo(name.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return -1;
  int fd = -1;
  for (addrinfo* entry = found; entry != nullptr && fd < 0; entry = entry->ai_next) {
    fd = ::socket(entry->ai_family, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd >= 0 && ::connect(fd, entry->ai_addr, entry->ai_addrlen) != 0) {
      ::close(fd);
      fd = -1;
    }
  }
  ::freeaddrinfo(found);
  return fd;
}

// The free fields of the query to server index; the answer must echo both.
constexpr uint32_t kTagBase = 0x4C6F6164;

}  // namespace

std::vector<std::optional<int32_t>> ProbeLoads(
    const std::vector<std::pair<std::string, int>>& servers, uint32_t timeout_ms) {
  std::vector<std::optional<int32_t>> loads(servers.size());
  std::vector<pollfd> polls;
  std::vector<size_t> owners;
  for (size_t i = 0; i < servers.size(); ++i) {
    const int fd = ConnectedSocket(servers[i].first, servers[i].second);
    if (fd < 0) continue;
    uint8_t query[kLoadSize] = {};
    PutHeader(query, pkLoad, 0, kTagBase + static_cast<uint32_t>(i), ~kTagBase);
    if (::send(fd, query, sizeof query, 0) != static_cast<ssize_t>(sizeof query)) {
      ::close(fd);
      continue;
    }
    polls.push_back(pollfd{fd, POLLIN, 0});
    owners.push_back(i);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  size_t waiting = polls.size();
  while (waiting > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    if (::poll(polls.data(), polls.size(), static_cast<int>(left.count()) + 1) <= 0) break;
    for (size_t k = 0; k < polls.size(); ++k) {
      if (polls[k].fd < 0 || polls[k].revents == 0) continue;
      uint8_t answer[64];
      const ssize_t got = ::recv(polls[k].fd, answer, sizeof answer, 0);
      if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      const uint32_t tag = kTagBase + static_cast<uint32_t>(owners[k]);
      if (got == static_cast<ssize_t>(kLoadSize) && answer[0] == pkLoad && answer[1] == 1 &&
          GetU32(answer + 2) == tag && GetU32(answer + 6) == ~kTagBase) {
        loads[owners[k]] = GetI32(answer + 10);
      } else if (got >= 0) {
        continue;  // not our answer: keep waiting for it
      }
      // Answered, or the port is closed (the error the kernel reports): this one is done.
      ::close(polls[k].fd);
      polls[k].fd = -1;
      --waiting;
    }
  }
  for (const pollfd& entry : polls) {
    if (entry.fd >= 0) ::close(entry.fd);
  }
  return loads;
}

std::vector<size_t> OrderByLoad(const std::vector<std::optional<int32_t>>& loads) {
  std::vector<size_t> order(loads.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    if (loads[a].has_value() != loads[b].has_value()) return loads[a].has_value();
    return loads[a].has_value() && *loads[a] < *loads[b];
  });
  return order;
}

}  // namespace larkspire
