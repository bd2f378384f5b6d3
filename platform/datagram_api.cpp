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

sockaddr_in MakeAddress(uint32_t address, uint16_t port) {
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_addr.s_addr = htonl(address);
  peer.sin_port = htons(port);
  return peer;
}

class TPosixDatagramApi : public IDatagramApi {
 public:
  TSocket CreateDatagramSocket() override {
    return ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  }

  int Bind(TSocket socket, uint32_t address, uint16_t port) override {
    const sockaddr_in local = MakeAddress(address, port);
    return ::bind(socket, reinterpret_cast<const sockaddr*>(&local), sizeof local);
  }

  int LocalAddress(TSocket socket, uint32_t& address, uint16_t& port) override {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::getsockname(socket, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
      return kSocketError;
    }
    address = ntohl(local.sin_addr.s_addr);
    port = ntohs(local.sin_port);
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
    sockaddr_in peer{};
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
    source.address = ntohl(peer.sin_addr.s_addr);
    source.port = ntohs(peer.sin_port);
    source.truncated = (message.msg_flags & MSG_TRUNC) != 0;
    return received;
  }

  ssize_t SendTo(TSocket socket, const void* buffer, size_t count, uint32_t address,
                 uint16_t port) override {
    const sockaddr_in peer = MakeAddress(address, port);
    ssize_t sent;
    do {
      sent = ::sendto(socket, buffer, count, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&peer),
                      sizeof peer);
    } while (sent < 0 && errno == EINTR);
    return sent;
  }

  int ReceiveBatch(TSocket socket, TReceivedDatagram* items, int count) override {
    constexpr int kMost = 64;
    if (count > kMost) count = kMost;
    mmsghdr messages[kMost];
    iovec pieces[kMost];
    sockaddr_in peers[kMost];
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
      items[i].source.address = ntohl(peers[i].sin_addr.s_addr);
      items[i].source.port = ntohs(peers[i].sin_port);
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
      sockaddr_in peers[kMost];
      for (int i = 0; i < chunk; ++i) {
        const TOutgoingDatagram& item = items[done + i];
        peers[i] = MakeAddress(item.address, item.port);
        pieces[i] = iovec{const_cast<void*>(item.buffer), item.length};
        messages[i] = mmsghdr{};
        messages[i].msg_hdr.msg_name = &peers[i];
        messages[i].msg_hdr.msg_namelen = sizeof peers[i];
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
