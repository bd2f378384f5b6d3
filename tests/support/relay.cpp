#include "support/relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

namespace larkspire::test {

namespace {

constexpr int kPollMs = 50;

int ConnectLoopback(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

TRelay::TRelay(uint16_t target_port) : target_port_(target_port) {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listen_fd_, 16) != 0 ||
      ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(listen_fd_);
    throw std::runtime_error("the relay cannot listen");
  }
  port_ = ntohs(address.sin_port);
  accept_thread_ = std::thread([this] { AcceptLoop(); });
}

TRelay::~TRelay() {
  stopping_ = true;
  accept_thread_.join();
  for (std::thread& pump : pumps_) pump.join();
  ::close(listen_fd_);
}

std::string TRelay::Upstream() const {
  std::lock_guard lock(mutex_);
  return upstream_;
}

std::string TRelay::Downstream() const {
  std::lock_guard lock(mutex_);
  return downstream_;
}

void TRelay::AcceptLoop() {
  while (!stopping_) {
    pollfd entry{listen_fd_, POLLIN, 0};
    if (::poll(&entry, 1, kPollMs) <= 0) continue;
    const int client = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    const int server = ConnectLoopback(target_port_);
    if (server < 0) {
      ::close(client);
      continue;
    }
    const int64_t cut_after = cut_after_.exchange(-1);
    pumps_.emplace_back([this, client, server, cut_after] { Pump(client, server, cut_after); });
  }
}

void TRelay::Pump(int client, int server, int64_t cut_after) {
  int64_t to_client = 0;
  char buffer[16384];
  bool open = true;
  while (open && !stopping_) {
    pollfd entries[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
    if (::poll(entries, 2, kPollMs) <= 0) continue;
    for (int side = 0; side < 2 && open; ++side) {
      if (entries[side].revents == 0) continue;
      const int from = side == 0 ? client : server;
      const int to = side == 0 ? server : client;
      size_t wanted = sizeof buffer;
      if (side == 1 && cut_after >= 0)
        wanted = static_cast<size_t>(std::min<int64_t>(wanted, cut_after - to_client));
      const ssize_t got = wanted == 0 ? 0 : ::recv(from, buffer, wanted, 0);
      if (got <= 0) {
        open = false;
        break;
      }
      {
        std::lock_guard lock(mutex_);
        (side == 0 ? upstream_ : downstream_).append(buffer, static_cast<size_t>(got));
      }
      if (::send(to, buffer, static_cast<size_t>(got), MSG_NOSIGNAL) != got) open = false;
      if (side == 1) to_client += got;
      if (cut_after >= 0 && to_client >= cut_after) open = false;
    }
  }
  ::close(client);
  ::close(server);
}

}  // namespace larkspire::test
