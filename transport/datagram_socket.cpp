#include "transport/datagram_socket.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/datagram_api.h"
#include "platform/exception.h"
#include "platform/ip_address.h"
#include "transport/tcp_client.h"

namespace larkspire {
namespace {

constexpr int kReceiveBatch = 32;
constexpr int kSendBatch = 64;

}  // namespace

// Datagrams sent by the receiving thread while it handles a batch.
struct TSuperUdpSocket::TSendQueue {
  int count = 0;
  std::array<std::array<uint8_t, kDataPacketSize>, kSendBatch> bytes;
  std::array<TOutgoingDatagram, kSendBatch> items;
};

namespace {
// The send queue of the receiving thread running on this thread, and its socket.
thread_local const TSuperUdpSocket* t_queue_owner = nullptr;
thread_local TSuperUdpSocket::TSendQueue* t_queue = nullptr;
}  // namespace

TSuperUdpSocket::TSuperUdpSocket(const std::string& address, int port, uint8_t mode,
                                 const TDatagramTiming& timing, const TPrepare& prepare)
    : TSuperUdpProctol(timing), owner_thread_(std::this_thread::get_id()), port_(port) {
  SetMode(mode);
  bind_address_ = address.empty() ? "0.0.0.0" : ResolveHost(address);
  IDatagramApi& api = DatagramApi();
  TIpAddress local;
  const bool parsed = ParseIpAddress(bind_address_, local);
  ipv6_ = parsed && !local.IsIPv4();
  const TSocket socket = api.CreateDatagramSocket(ipv6_ ? TIpFamily::kIPv6 : TIpFamily::kIPv4);
  const bool bound = socket != kInvalidSocket && port >= 0 && port <= 65535 && parsed &&
                     api.Bind(socket, local, static_cast<uint16_t>(port)) == 0;
  if (!bound) {
    if (socket != kInvalidSocket) api.Close(socket);
    char text[600];
    std::snprintf(text, sizeof text, "Could not bind socket %s%d.",
                  address.empty() ? "" : (address.substr(0, 500) + ":").c_str(), port);
    throw Exception(text);
  }
  socket_ = socket;
  TIpAddress bound_address;
  uint16_t bound_port = 0;
  if (api.LocalAddress(socket, bound_address, bound_port) == 0) port_ = bound_port;
  api.SetBufferSizes(socket, kDatagramSocketBuffer, kDatagramSocketBuffer);
  if (prepare) {
    try {
      prepare(*this);
    } catch (...) {
      socket_ = kInvalidSocket;
      api.Close(socket);
      throw;
    }
  }
  if (mode == 0) {
    receiving_ = true;
    receive_thread_ = std::thread([this] { ReceiveLoop(); });
  }
}

TSuperUdpSocket::~TSuperUdpSocket() {
  // Our own link is closed while the socket can still tell the peer.
  if (Connected()) CloseLink();
  StopLinkThread();
  IDatagramApi& api = DatagramApi();
  const TSocket socket = socket_.exchange(kInvalidSocket);
  if (socket != kInvalidSocket) api.Shutdown(socket);
  if (receive_thread_.joinable()) receive_thread_.join();
  if (socket != kInvalidSocket) api.Close(socket);
  WaitForDeliveries();
}

void TSuperUdpSocket::Send(const std::string& ip, int port, const void* buffer, size_t length) {
  const TSocket socket = socket_.load();
  TIpAddress address;
  if (socket == kInvalidSocket || port < 0 || port > 65535 || !ParseIpAddress(ip, address)) return;
  // An IPv6 socket reaches IPv4 peers through their mapped address; an IPv4 one reaches no
  // IPv6 peer.
  if (ipv6_) {
    address = address.MappedToIPv6();
  } else if (!address.IsIPv4()) {
    return;
  }
  if (t_queue_owner == this && length <= kDataPacketSize) {
    TSendQueue& queue = *t_queue;
    std::memcpy(queue.bytes[queue.count].data(), buffer, length);
    queue.items[queue.count] = TOutgoingDatagram{queue.bytes[queue.count].data(), length, address,
                                                 static_cast<uint16_t>(port)};
    if (++queue.count == kSendBatch) Flush(queue);
    return;
  }
  DatagramApi().SendTo(socket, buffer, length, address, static_cast<uint16_t>(port));
}

void TSuperUdpSocket::Flush(TSendQueue& queue) {
  const TSocket socket = socket_.load();
  if (queue.count > 0 && socket != kInvalidSocket) {
    DatagramApi().SendBatch(socket, queue.items.data(), queue.count);
  }
  queue.count = 0;
}

bool TSuperUdpSocket::ReceiveOne() {
  const TSocket socket = socket_.load();
  if (socket == kInvalidSocket) return false;
  uint8_t buffer[kDatagramReceiveBuffer];
  TDatagramSource source;
  const ssize_t received = DatagramApi().ReceiveFrom(socket, buffer, sizeof buffer, source);
  if (received < 0) return false;
  if (received == 0 || source.truncated) return true;
  ProcessDatagram(source.address.Text(), source.port, buffer, static_cast<size_t>(received));
  return true;
}

void TSuperUdpSocket::ReceiveLoop() {
  std::vector<uint8_t> storage(kReceiveBatch * kDatagramReceiveBuffer);
  std::array<TReceivedDatagram, kReceiveBatch> items;
  auto queue = std::make_unique<TSendQueue>();
  t_queue = queue.get();
  t_queue_owner = this;
  TIpAddress last_address;
  std::string last_ip = last_address.Text();
  IDatagramApi& api = DatagramApi();
  for (;;) {
    const TSocket socket = socket_.load();
    if (socket == kInvalidSocket) break;
    for (int i = 0; i < kReceiveBatch; ++i) {
      items[i].buffer = storage.data() + i * kDatagramReceiveBuffer;
      items[i].size = kDatagramReceiveBuffer;
    }
    const int received = api.ReceiveBatch(socket, items.data(), kReceiveBatch);
    if (received < 0) break;
    for (int i = 0; i < received; ++i) {
      const TReceivedDatagram& item = items[i];
      if (item.length == 0 || item.source.truncated) continue;
      if (item.source.address != last_address) {
        last_address = item.source.address;
        last_ip = last_address.Text();
      }
      ProcessDatagram(last_ip, item.source.port, static_cast<const uint8_t*>(item.buffer),
                      item.length);
    }
    Flush(*queue);
  }
  t_queue_owner = nullptr;
  t_queue = nullptr;
  receiving_ = false;
}

bool TSuperUdpSocket::ProcessMessages(int timeout_ms) {
  if (Mode() != 1 || std::this_thread::get_id() != owner_thread_) return false;
  const TSocket socket = socket_.load();
  if (socket == kInvalidSocket || DatagramApi().WaitReadable(socket, timeout_ms) != 1) {
    return false;
  }
  HandleSocketMessage(kFdRead);
  return true;
}

void TSuperUdpSocket::HandleSocketMessage(uint32_t event) {
  if ((event & 0xFFFF) != kFdRead) return;
  ReceiveOne();
}

}  // namespace larkspire
