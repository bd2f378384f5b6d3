#include "support/udp_relay.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace larkspire::test {
namespace {

constexpr int kPollMs = 5;
// A held datagram goes out after this long even when nothing overtakes it.
constexpr uint64_t kHoldMs = 30;

uint64_t NowMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

int BoundLoopback(uint16_t& port) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (fd >= 0) ::close(fd);
    throw std::runtime_error("the UDP relay cannot bind");
  }
  port = ntohs(address.sin_port);
  return fd;
}

void SendTo(int fd, const sockaddr_in& to, const std::string& bytes) {
  ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

}  // namespace

TUdpRelay::TUdpRelay(uint16_t server_port, TUdpRelayFaults faults, uint32_t seed)
    : faults_(faults), drop_all_(faults.DropAll), random_(seed * 0x9E3779B97F4A7C15ull + 1) {
  uint16_t unused = 0;
  client_fd_ = BoundLoopback(port_);
  try {
    server_fd_ = BoundLoopback(unused);
  } catch (...) {
    ::close(client_fd_);
    throw;
  }
  server_port_ = server_port;
  thread_ = std::thread([this] { Loop(); });
}

TUdpRelay::~TUdpRelay() {
  stopping_ = true;
  thread_.join();
  ::close(client_fd_);
  ::close(server_fd_);
}

std::vector<std::string> TUdpRelay::FromServer() const {
  std::lock_guard lock(mutex_);
  return from_server_;
}

void TUdpRelay::Forward(int fd, const sockaddr_in& to, std::string bytes,
                        std::optional<THeld>& held) {
  // xorshift: the same faults for the same seed.
  random_ ^= random_ << 13;
  random_ ^= random_ >> 7;
  random_ ^= random_ << 17;
  const double draw = static_cast<double>(random_ % 1000000) / 1000000.0;
  if (drop_all_ || draw < faults_.DropShare) {
    ++dropped_;
    return;
  }
  ++passed_;
  if (!held && draw < faults_.DropShare + faults_.ReorderShare) {
    held = THeld{std::move(bytes), NowMs()};
    return;
  }
  SendTo(fd, to, bytes);
  if (held) {
    ++reordered_;
    SendTo(fd, to, held->Bytes);
    held.reset();
  }
}

void TUdpRelay::Loop() {
  std::optional<THeld> held_up;    // client to server
  std::optional<THeld> held_down;  // server to client
  char buffer[65536];
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  while (!stopping_) {
    server.sin_port = htons(server_port_.load());
    pollfd fds[2] = {{client_fd_, POLLIN, 0}, {server_fd_, POLLIN, 0}};
    ::poll(fds, 2, kPollMs);
    if (fds[0].revents & POLLIN) {
      sockaddr_in from{};
      socklen_t length = sizeof from;
      const ssize_t got = ::recvfrom(client_fd_, buffer, sizeof buffer, 0,
                                     reinterpret_cast<sockaddr*>(&from), &length);
      if (got >= 0 && server_port_ != 0) {
        client_ = from;
        have_client_ = true;
        Forward(server_fd_, server, std::string(buffer, static_cast<size_t>(got)), held_up);
      }
    }
    if (fds[1].revents & POLLIN) {
      const ssize_t got = ::recv(server_fd_, buffer, sizeof buffer, 0);
      if (got >= 0) {
        std::string bytes(buffer, static_cast<size_t>(got));
        {
          std::lock_guard lock(mutex_);
          from_server_.push_back(bytes);
        }
        if (have_client_) Forward(client_fd_, client_, std::move(bytes), held_down);
      }
    }
    const uint64_t now = NowMs();
    if (held_up && now - held_up->Since >= kHoldMs) {
      SendTo(server_fd_, server, held_up->Bytes);
      held_up.reset();
    }
    if (held_down && now - held_down->Since >= kHoldMs) {
      SendTo(client_fd_, client_, held_down->Bytes);
      held_down.reset();
    }
  }
}

}  // namespace larkspire::test
