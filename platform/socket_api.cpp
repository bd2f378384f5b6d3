#include "platform/socket_api.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

namespace larkspire {
namespace {

class TPosixSocketApi : public ISocketApi {
 public:
  TSocket CreateStreamSocket(TIpFamily family) override {
    return ::socket(family == TIpFamily::kIPv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC,
                    IPPROTO_TCP);
  }

  int Close(TSocket socket) override { return ::close(socket); }

  int Shutdown(TSocket socket) override { return ::shutdown(socket, SHUT_RDWR); }

  int SetNonBlocking(TSocket socket, bool non_blocking) override {
    const int flags = ::fcntl(socket, F_GETFL, 0);
    if (flags < 0) return kSocketError;
    return ::fcntl(socket, F_SETFL, non_blocking ? flags | O_NONBLOCK : flags & ~O_NONBLOCK);
  }

  int Connect(TSocket socket, const TIpAddress& address, uint16_t port) override {
    sockaddr_storage peer{};
    const socklen_t length = ToSocketAddress(address, port, peer);
    return ::connect(socket, reinterpret_cast<sockaddr*>(&peer), length);
  }

  int Select(TFDSet* read, TFDSet* write, TFDSet* except, int timeout_ms) override {
    std::vector<pollfd> polls;
    auto add = [&](TFDSet* set, short events) {
      if (set == nullptr) return;
      for (uint32_t i = 0; i < set->fd_count && i < 64; ++i)
        polls.push_back(pollfd{set->fd_array[i], events, 0});
    };
    add(read, POLLIN);
    add(write, POLLOUT);
    add(except, POLLPRI);
    int r;
    do {
      r = ::poll(polls.data(), polls.size(), timeout_ms);
    } while (r < 0 && errno == EINTR);
    if (r < 0) return kSocketError;
    // A socket whose connect failed reports POLLERR/POLLHUP; like select, that is not
    // "writable" for a connect wait, so only the asked events count.
    int ready = 0;
    size_t k = 0;
    auto keep = [&](TFDSet* set, short events) {
      if (set == nullptr) return;
      TFDSet out;
      for (uint32_t i = 0; i < set->fd_count && i < 64; ++i, ++k) {
        const pollfd& p = polls[k];
        bool ok = (p.revents & events) != 0;
        if (ok && events == POLLOUT) {
          int error = 0;
          socklen_t len = sizeof error;
          if (::getsockopt(p.fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error != 0) {
            ok = false;
          }
        }
        if (ok) {
          SocketSetAdd(p.fd, out);
          ++ready;
        }
      }
      *set = out;
    };
    keep(read, POLLIN);
    keep(write, POLLOUT);
    keep(except, POLLPRI);
    return ready;
  }

  int SetKeepAlive(TSocket socket, bool on, uint32_t idle_ms, uint32_t interval_ms) override {
    int value = on ? 1 : 0;
    if (::setsockopt(socket, SOL_SOCKET, SO_KEEPALIVE, &value, sizeof value) != 0)
      return kSocketError;
    if (!on) return 0;
    int idle = static_cast<int>((idle_ms + 999) / 1000);
    int interval = static_cast<int>((interval_ms + 999) / 1000);
    if (idle < 1) idle = 1;
    if (interval < 1) interval = 1;
    if (::setsockopt(socket, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) != 0)
      return kSocketError;
    return ::setsockopt(socket, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  }

  int SetNoDelay(TSocket socket, bool on) override {
    int value = on ? 1 : 0;
    return ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &value, sizeof value);
  }

  int SetReceiveTimeout(TSocket socket, uint32_t milliseconds) override {
    timeval tv{};
    tv.tv_sec = milliseconds / 1000;
    tv.tv_usec = (milliseconds % 1000) * 1000;
    return ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }

  ssize_t Send(TSocket socket, const void* buffer, size_t count) override {
    ssize_t n;
    do {
      n = ::send(socket, buffer, count, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n;
  }

  ssize_t Recv(TSocket socket, void* buffer, size_t count) override {
    ssize_t n;
    do {
      n = ::recv(socket, buffer, count, 0);
    } while (n < 0 && errno == EINTR);
    return n;
  }

  bool LookupHost(const std::string& name, TIpAddress& address) override {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    if (name.empty() || ::getaddrinfo(name.c_str(), nullptr, &hints, &result) != 0 ||
        result == nullptr)
      return false;
    // IPv4 first, as the look-up always answered; an IPv6-only name still resolves.
    bool found = false;
    for (int pass = 0; pass < 2 && !found; ++pass) {
      const int family = pass == 0 ? AF_INET : AF_INET6;
      for (addrinfo* entry = result; entry != nullptr && !found; entry = entry->ai_next) {
        uint16_t port = 0;
        found = entry->ai_family == family && FromSocketAddress(entry->ai_addr, address, port);
      }
    }
    ::freeaddrinfo(result);
    return found;
  }
};

std::atomic<ISocketApi*> g_api{nullptr};

}  // namespace

void SocketSetClear(TFDSet& set) {
  set.fd_count = 0;
}

void SocketSetAdd(TSocket socket, TFDSet& set) {
  if (set.fd_count < 64) set.fd_array[set.fd_count++] = socket;
}

bool SocketSetHas(TSocket socket, const TFDSet& set) {
  for (uint32_t i = 0; i < set.fd_count && i < 64; ++i)
    if (set.fd_array[i] == socket) return true;
  return false;
}

void SocketStartup() {}
void SocketCleanup() {}

ISocketApi& PosixSocketApi() {
  static TPosixSocketApi api;
  return api;
}

ISocketApi& SocketApi() {
  ISocketApi* api = g_api.load();
  return api != nullptr ? *api : PosixSocketApi();
}

ISocketApi* SetSocketApi(ISocketApi* api) {
  return g_api.exchange(api);
}

}  // namespace larkspire
