// TSuperUdpSocket: the datagram engine bound to one UDP socket. It binds to a local address and
// port (port 0: any free port, read back into Port), receives datagrams and hands each to the
// engine's ProcessDatagram, and sends datagrams for the engine.
//
// Bound to an IPv6 address ("::" for every interface) the socket takes both families: IPv4
// peers reach it too and are shown to the engine as plain IPv4 text ("192.0.2.7"), IPv6 peers
// as their address without brackets ("2001:db8::7"), so every peer keeps one address and one
// channel. Bound to an IPv4 address it sends to IPv4 peers only.
//
// Mode 0 receives on a thread of its own. Mode 1 serves read notifications on the thread that
// made the socket, from that thread's message pump: the owner calls ProcessMessages, which waits
// for the socket to become readable and handles the notification there (HandleSocketMessage).
// Any other mode receives nothing.
//
// A datagram longer than the 8192-byte receive buffer is dropped; receiving goes on.
//
// The receiving thread takes what is queued on the socket in one system call (up to 32
// datagrams) and sends the answers its handling produced (acknowledgements, refilled packets)
// together in one system call once the batch is handled; sends from other threads go out at
// once.
//
// Thread-safety: Send may be called from any thread. In mode 1, ProcessMessages and
// HandleSocketMessage belong to the thread that made the socket. The destructor stops the
// receiving thread, waits for running deliveries and closes the socket before the engine goes.
#ifndef LARKSPIRE_TRANSPORT_DATAGRAM_SOCKET_H_
#define LARKSPIRE_TRANSPORT_DATAGRAM_SOCKET_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "platform/socket_api.h"
#include "transport/datagram_engine.h"

namespace larkspire {

constexpr size_t kDatagramReceiveBuffer = 8192;
// The network event of a read notification.
constexpr uint32_t kFdRead = 1;
// Socket buffers asked of the kernel, so that a full window of packets and acknowledgements
// fits while the receiving thread is busy.
constexpr int kDatagramSocketBuffer = 4 * 1024 * 1024;

class TSuperUdpSocket : public TSuperUdpProctol {
 public:
  // Raises Exception "Could not bind socket ADDRESS:PORT." (the address part empty when address
  // is) when the socket cannot be bound; no socket stays open then. prepare, when given, runs
  // once the socket is bound and before anything is received: the place to set the events and
  // limits, so that no datagram meets them half set.
  using TPrepare = std::function<void(TSuperUdpSocket&)>;
  TSuperUdpSocket(const std::string& address, int port, uint8_t mode,
                  const TDatagramTiming& timing = {}, const TPrepare& prepare = nullptr);
  ~TSuperUdpSocket() override;

  void Send(const std::string& ip, int port, const void* buffer, size_t length) override;

  // Mode 1: the message pump's share. Waits up to timeout_ms for a read notification and
  // serves it; true when one was served. Does nothing on another thread or in another mode.
  bool ProcessMessages(int timeout_ms);
  // Mode 1: serves one notification; events other than kFdRead are ignored.
  void HandleSocketMessage(uint32_t event);

  TSocket Socket() const { return socket_.load(); }
  const std::string& BindAddress() const { return bind_address_; }
  int Port() const { return port_; }
  // Mode 0: the receiving thread still runs.
  bool Receiving() const { return receiving_.load(); }

  // The sends the receiving thread holds back until its batch is handled.
  struct TSendQueue;

 private:
  void ReceiveLoop();
  void Flush(TSendQueue& queue);
  // One datagram from the socket to the engine; false when the receive failed.
  bool ReceiveOne();

  std::atomic<TSocket> socket_{kInvalidSocket};
  std::thread receive_thread_;
  std::thread::id owner_thread_;
  std::string bind_address_;
  int port_ = 0;
  bool ipv6_ = false;
  std::atomic<bool> receiving_{false};
};

}  // namespace larkspire

#endif  // LARKSPIRE_TRANSPORT_DATAGRAM_SOCKET_H_
