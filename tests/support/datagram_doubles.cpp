#include "support/datagram_doubles.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <random>
#include <stdexcept>

namespace larkspire::test {
namespace {

int BindLoopback(int& port) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    throw std::runtime_error("test socket: bind failed");
  }
  socklen_t length = sizeof local;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
  port = ntohs(local.sin_port);
  const int buffer = 4 * 1024 * 1024;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
  return fd;
}

void SendLoopback(int fd, int port, const void* bytes, size_t length) {
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  peer.sin_port = htons(static_cast<uint16_t>(port));
  ::sendto(fd, bytes, length, 0, reinterpret_cast<sockaddr*>(&peer), sizeof peer);
}

}  // namespace

void TRecordingEngine::Send(const std::string& ip, int port, const void* buffer, size_t length) {
  std::lock_guard lock(mutex_);
  sent_.push_back({ip, port, std::string(static_cast<const char*>(buffer), length)});
}

std::vector<TSentDatagram> TRecordingEngine::Sent() const {
  std::lock_guard lock(mutex_);
  return sent_;
}

std::vector<TSentDatagram> TRecordingEngine::TakeSent() {
  std::lock_guard lock(mutex_);
  std::vector<TSentDatagram> taken;
  taken.swap(sent_);
  return taken;
}

TSocket TFaultDatagramApi::CreateDatagramSocket(TIpFamily family) {
  if (fail_create_) return kInvalidSocket;
  const TSocket socket = PosixDatagramApi().CreateDatagramSocket(family);
  if (socket != kInvalidSocket) ++open_sockets_;
  return socket;
}
int TFaultDatagramApi::Bind(TSocket socket, const TIpAddress& address, uint16_t port) {
  return PosixDatagramApi().Bind(socket, address, port);
}
int TFaultDatagramApi::LocalAddress(TSocket socket, TIpAddress& address, uint16_t& port) {
  return PosixDatagramApi().LocalAddress(socket, address, port);
}
int TFaultDatagramApi::SetBufferSizes(TSocket socket, int receive_bytes, int send_bytes) {
  return PosixDatagramApi().SetBufferSizes(socket, receive_bytes, send_bytes);
}
ssize_t TFaultDatagramApi::ReceiveFrom(TSocket socket, void* buffer, size_t size,
                                       TDatagramSource& source) {
  ++receive_calls_;
  const ssize_t received = PosixDatagramApi().ReceiveFrom(socket, buffer, size, source);
  if (received >= 0) ++datagrams_received_;
  return received;
}
int TFaultDatagramApi::ReceiveBatch(TSocket socket, TReceivedDatagram* items, int count) {
  ++receive_calls_;
  const int received = PosixDatagramApi().ReceiveBatch(socket, items, count);
  if (received > 0) datagrams_received_ += received;
  return received;
}
int TFaultDatagramApi::SendBatch(TSocket socket, const TOutgoingDatagram* items, int count) {
  send_calls_ += (count + 63) / 64;
  datagrams_sent_ += count;
  return PosixDatagramApi().SendBatch(socket, items, count);
}
ssize_t TFaultDatagramApi::SendTo(TSocket socket, const void* buffer, size_t count,
                                  const TIpAddress& address, uint16_t port) {
  ++send_calls_;
  ++datagrams_sent_;
  return PosixDatagramApi().SendTo(socket, buffer, count, address, port);
}
int TFaultDatagramApi::WaitReadable(TSocket socket, int timeout_ms) {
  return PosixDatagramApi().WaitReadable(socket, timeout_ms);
}
int TFaultDatagramApi::Shutdown(TSocket socket) {
  return PosixDatagramApi().Shutdown(socket);
}
int TFaultDatagramApi::Close(TSocket socket) {
  const int result = PosixDatagramApi().Close(socket);
  if (result == 0) --open_sockets_;
  return result;
}

TUdpProbe::TUdpProbe() {
  socket_ = BindLoopback(port_);
}
TUdpProbe::~TUdpProbe() {
  ::close(socket_);
}

void TUdpProbe::SendTo(int port, const std::string& bytes) {
  SendLoopback(socket_, port, bytes.data(), bytes.size());
}

std::string TUdpProbe::Receive(int timeout_ms) {
  pollfd wanted{socket_, POLLIN, 0};
  if (::poll(&wanted, 1, timeout_ms) != 1) return {};
  char buffer[65536];
  const ssize_t received = ::recv(socket_, buffer, sizeof buffer, 0);
  return received > 0 ? std::string(buffer, static_cast<size_t>(received)) : std::string();
}

TLossyRelay::TLossyRelay(int server_port, const TRelayFaults& faults)
    : faults_(faults), server_port_(server_port) {
  client_socket_ = BindLoopback(client_port_);
  int unused = 0;
  server_socket_ = BindLoopback(unused);
  if (::pipe(wake_) != 0) throw std::runtime_error("relay: pipe failed");
  thread_ = std::thread([this] { Run(); });
}

TLossyRelay::~TLossyRelay() {
  const char stop = 1;
  [[maybe_unused]] ssize_t written = ::write(wake_[1], &stop, 1);
  thread_.join();
  ::close(client_socket_);
  ::close(server_socket_);
  ::close(wake_[0]);
  ::close(wake_[1]);
}

std::vector<std::string> TLossyRelay::FromServer() const {
  std::lock_guard lock(from_server_mutex_);
  return from_server_;
}

void TLossyRelay::Run() {
  std::mt19937 random(faults_.seed);
  std::uniform_real_distribution<double> chance(0.0, 1.0);
  int client_port = 0;  // learnt from the client's first datagram
  // One datagram held back per direction; it goes out after the next one.
  std::string held[2];
  bool holding[2] = {false, false};
  char buffer[65536];
  for (;;) {
    pollfd polls[3] = {
        {client_socket_, POLLIN, 0}, {server_socket_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    const int ready = ::poll(polls, 3, 2);
    if (ready < 0) continue;
    if (ready == 0) {
      // Quiet: what was held back goes out now.
      for (int side = 0; side < 2; ++side) {
        const int out_port = side == 0 ? server_port_.load() : client_port;
        if (holding[side] && out_port != 0) {
          SendLoopback(side == 0 ? server_socket_ : client_socket_, out_port, held[side].data(),
                       held[side].size());
        }
        holding[side] = false;
      }
      continue;
    }
    if (polls[2].revents != 0) return;
    for (int side = 0; side < 2; ++side) {
      if ((polls[side].revents & POLLIN) == 0) continue;
      sockaddr_in from{};
      socklen_t from_length = sizeof from;
      const ssize_t received = ::recvfrom(polls[side].fd, buffer, sizeof buffer, 0,
                                          reinterpret_cast<sockaddr*>(&from), &from_length);
      if (received < 0) continue;
      if (side == 0) client_port = ntohs(from.sin_port);
      // From the client out through the server-facing socket, and back.
      const int out_fd = side == 0 ? server_socket_ : client_socket_;
      const int out_port = side == 0 ? server_port_.load() : client_port;
      if (out_port == 0) continue;
      ++relayed_;
      const std::string datagram(buffer, static_cast<size_t>(received));
      if (side == 1) {
        std::lock_guard lock(from_server_mutex_);
        from_server_.push_back(datagram);
      }
      if (drop_all_ || chance(random) < faults_.drop) {
        ++dropped_;
        continue;
      }
      if (!holding[side] && chance(random) < faults_.reorder) {
        held[side] = datagram;
        holding[side] = true;
        ++reordered_;
        continue;
      }
      SendLoopback(out_fd, out_port, datagram.data(), datagram.size());
      if (chance(random) < faults_.duplicate) {
        ++duplicated_;
        SendLoopback(out_fd, out_port, datagram.data(), datagram.size());
      }
      if (holding[side]) {
        SendLoopback(out_fd, out_port, held[side].data(), held[side].size());
        holding[side] = false;
      }
    }
  }
}

}  // namespace larkspire::test
