#include "platform/datagram_api.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace larkspire {
namespace {

// Room for the sender's address of either family.
union TPeerAddress {
  sockaddr any;
  sockaddr_in v4;
  sockaddr_in6 v6;
};

void ReadSource(const TPeerAddress& peer, TDatagramSource& source) {
  if (!FromSocketAddress(&peer.any, source.address, source.port)) {
    source.address = TIpAddress{};
    source.port = 0;
  }
}

class TPosixDatagramApi : public IDatagramApi {
 public:
  TSocket CreateDatagramSocket(TIpFamily family) override {
    if (family == TIpFamily::kIPv4) return ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const TSocket socket = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    // Both families on one socket, whatever the system's default says.
    const int off = 0;
    if (socket != kInvalidSocket &&
        ::setsockopt(socket, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) != 0) {
      ::close(socket);
      return kInvalidSocket;
    }
    return socket;
  }

  int Bind(TSocket socket, const TIpAddress& address, uint16_t port) override {
    sockaddr_storage local{};
    const socklen_t length = ToSocketAddress(address, port, local);
    return ::bind(socket, reinterpret_cast<const sockaddr*>(&local), length);
  }

  int LocalAddress(TSocket socket, TIpAddress& address, uint16_t& port) override {
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (::getsockname(socket, reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
        !FromSocketAddress(reinterpret_cast<const sockaddr*>(&local), address, port)) {
      return kSocketError;
    }
    return 0;
  }

  int SetBufferSizes(TSocket socket, int receive_bytes, int send_bytes) override {
    int result = 0;
    if (receive_bytes > 0 &&
        ::setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &receive_bytes, sizeof receive_bytes) != 0) {
      result = kSocketError;
    }
    if (send_bytes > 0 &&
        ::setsockopt(socket, SOL_SOCKET, SO_SNDBUF, &send_bytes, sizeof send_bytes) != 0) {
      result = kSocketError;
    }
    return result;
  }

  ssize_t ReceiveFrom(TSocket socket, void* buffer, size_t size, TDatagramSource& source) override {
    TPeerAddress peer{};
    iovec piece{buffer, size};
    msghdr message{};
    message.msg_name = &peer;
    message.msg_namelen = sizeof peer;
    message.msg_iov = &piece;
    message.msg_iovlen = 1;
    ssize_t received;
    do {
      received = ::recvmsg(socket, &message, 0);
    } while (received < 0 && errno == EINTR);
    if (received < 0) return kSocketError;
    ReadSource(peer, source);
    source.truncated = (message.msg_flags & MSG_TRUNC) != 0;
    return received;
  }

  ssize_t SendTo(TSocket socket, const void* buffer, size_t count, const TIpAddress& address,
                 uint16_t port) override {
    sockaddr_storage peer{};
    const socklen_t length = ToSocketAddress(address, port, peer);
    ssize_t sent;
    do {
      sent = ::sendto(socket, buffer, count, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&peer),
                      length);
    } while (sent < 0 && errno == EINTR);
    return sent;
  }

  int ReceiveBatch(TSocket socket, TReceivedDatagram* items, int count) override {
    constexpr int kMost = 64;
    if (count > kMost) count = kMost;
    mmsghdr messages[kMost];
    iovec pieces[kMost];
    TPeerAddress peers[kMost];
    for (int i = 0; i < count; ++i) {
      pieces[i] = iovec{items[i].buffer, items[i].size};
      messages[i] = mmsghdr{};
      messages[i].msg_hdr.msg_name = &peers[i];
      messages[i].msg_hdr.msg_namelen = sizeof peers[i];
      messages[i].msg_hdr.msg_iov = &pieces[i];
      messages[i].msg_hdr.msg_iovlen = 1;
    }
    int received;
    do {
      received =
          ::recvmmsg(socket, messages, static_cast<unsigned>(count), MSG_WAITFORONE, nullptr);
    } while (received < 0 && errno == EINTR);
    if (received < 0) return kSocketError;
    for (int i = 0; i < received; ++i) {
      items[i].length = messages[i].msg_len;
      ReadSource(peers[i], items[i].source);
      items[i].source.truncated = (messages[i].msg_hdr.msg_flags & MSG_TRUNC) != 0;
    }
    return received;
  }

  int SendBatch(TSocket socket, const TOutgoingDatagram* items, int count) override {
    constexpr int kMost = 64;
    int done = 0;
    while (done < count) {
      const int chunk = count - done < kMost ? count - done : kMost;
      mmsghdr messages[kMost];
      iovec pieces[kMost];
      sockaddr_storage peers[kMost];
      for (int i = 0; i < chunk; ++i) {
        const TOutgoingDatagram& item = items[done + i];
        const socklen_t length = ToSocketAddress(item.address, item.port, peers[i]);
        pieces[i] = iovec{const_cast<void*>(item.buffer), item.length};
        messages[i] = mmsghdr{};
        messages[i].msg_hdr.msg_name = &peers[i];
        messages[i].msg_hdr.msg_namelen = length;
        messages[i].msg_hdr.msg_iov = &pieces[i];
        messages[i].msg_hdr.msg_iovlen = 1;
      }
      int sent;
      do {
        sent = ::sendmmsg(socket, messages, static_cast<unsigned>(chunk), MSG_NOSIGNAL);
      } while (sent < 0 && errno == EINTR);
      // A datagram that cannot go is skipped, like a failed single send.
      done += sent > 0 ? sent : 1;
    }
    return done;
  }

  int WaitReadable(TSocket socket, int timeout_ms) override {
    pollfd wanted{socket, POLLIN, 0};
    int ready;
    do {
      ready = ::poll(&wanted, 1, timeout_ms);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) return kSocketError;
    return ready > 0 && (wanted.revents & POLLIN) != 0 ? 1 : 0;
  }

  // On an unbound peer the call reports ENOTCONN but still marks the socket shut and wakes
  // its readers.
  int Shutdown(TSocket socket) override { return ::shutdown(socket, SHUT_RDWR); }

  int Close(TSocket socket) override { return ::close(socket); }
};

std::atomic<IDatagramApi*> g_api{nullptr};

}  // namespace

IDatagramApi& PosixDatagramApi() {
  static TPosixDatagramApi api;
  return api;
}

IDatagramApi& DatagramApi() {
  IDatagramApi* api = g_api.load();
  return api != nullptr ? *api : PosixDatagramApi();
}

IDatagramApi* SetDatagramApi(IDatagramApi* api) {
  return g_api.exchange(api);
}

}  // namespace larkspire
