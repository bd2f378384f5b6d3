// Test doubles for the datagram transport:
// - TRecordingEngine: an engine whose Send records every datagram instead of sending it, so a
//   test can feed ProcessDatagram and read the answers;
// - TFaultDatagramApi (+ TDatagramApiGuard): the POSIX datagram API with chosen faults and a
//   count of open sockets;
// - TLossyRelay: a UDP relay between a client and a server port that drops, duplicates and
//   reorders a share of the datagrams, in both directions, from a fixed seed; or drops them
//   all. It keeps what the server sent.
//
// Thread-safety: every member may be called from any thread.
#ifndef LARKSPIRE_TESTS_SUPPORT_DATAGRAM_DOUBLES_H_
#define LARKSPIRE_TESTS_SUPPORT_DATAGRAM_DOUBLES_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/datagram_api.h"
#include "transport/datagram_engine.h"

namespace larkspire::test {

struct TSentDatagram {
  std::string ip;
  int port = 0;
  std::string bytes;
  uint8_t At(size_t offset) const { return static_cast<uint8_t>(bytes.at(offset)); }
  uint32_t U32(size_t offset) const {
    return GetU32(reinterpret_cast<const uint8_t*>(bytes.data()) + offset);
  }
};

class TRecordingEngine : public TSuperUdpProctol {
 public:
  explicit TRecordingEngine(const TDatagramTiming& timing = {}) : TSuperUdpProctol(timing) {}
  ~TRecordingEngine() override { WaitForDeliveries(); }

  void Send(const std::string& ip, int port, const void* buffer, size_t length) override;
  // Feeds one datagram as if received from ip:port.
  void Receive(const std::string& ip, int port, const std::string& bytes) {
    ProcessDatagram(ip, port, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  }
  std::vector<TSentDatagram> Sent() const;
  // Returns what was sent so far and forgets it.
  std::vector<TSentDatagram> TakeSent();
  void Wait() { WaitForDeliveries(); }

 private:
  mutable std::mutex mutex_;
  std::vector<TSentDatagram> sent_;
};

class TFaultDatagramApi : public IDatagramApi {
 public:
  void FailCreate(bool fail = true) { fail_create_ = fail; }
  int OpenSockets() const { return open_sockets_.load(); }
  // System calls that sent or received (a batch counts once) and the datagrams they moved.
  int SendCalls() const { return send_calls_.load(); }
  int ReceiveCalls() const { return receive_calls_.load(); }
  int64_t DatagramsSent() const { return datagrams_sent_.load(); }
  int64_t DatagramsReceived() const { return datagrams_received_.load(); }

  TSocket CreateDatagramSocket(TIpFamily family) override;
  int Bind(TSocket socket, const TIpAddress& address, uint16_t port) override;
  int LocalAddress(TSocket socket, TIpAddress& address, uint16_t& port) override;
  int SetBufferSizes(TSocket socket, int receive_bytes, int send_bytes) override;
  ssize_t ReceiveFrom(TSocket socket, void* buffer, size_t size, TDatagramSource& source) override;
  ssize_t SendTo(TSocket socket, const void* buffer, size_t count, const TIpAddress& address,
                 uint16_t port) override;
  int ReceiveBatch(TSocket socket, TReceivedDatagram* items, int count) override;
  int SendBatch(TSocket socket, const TOutgoingDatagram* items, int count) override;
  int WaitReadable(TSocket socket, int timeout_ms) override;
  int Shutdown(TSocket socket) override;
  int Close(TSocket socket) override;

 private:
  std::atomic<bool> fail_create_{false};
  std::atomic<int> open_sockets_{0};
  std::atomic<int> send_calls_{0};
  std::atomic<int> receive_calls_{0};
  std::atomic<int64_t> datagrams_sent_{0};
  std::atomic<int64_t> datagrams_received_{0};
};

class TDatagramApiGuard {
 public:
  explicit TDatagramApiGuard(IDatagramApi& api) : previous_(SetDatagramApi(&api)) {}
  ~TDatagramApiGuard() { SetDatagramApi(previous_); }
  TDatagramApiGuard(const TDatagramApiGuard&) = delete;
  TDatagramApiGuard& operator=(const TDatagramApiGuard&) = delete;

 private:
  IDatagramApi* previous_;
};

// Sends raw bytes from a socket of its own and can wait for one answer.
class TUdpProbe {
 public:
  TUdpProbe();
  ~TUdpProbe();
  int Port() const { return port_; }
  void SendTo(int port, const std::string& bytes);
  // The next datagram, or empty text after timeout_ms.
  std::string Receive(int timeout_ms);

 private:
  int socket_ = -1;
  int port_ = 0;
};

struct TRelayFaults {
  double drop = 0.0;       // share of datagrams dropped
  double duplicate = 0.0;  // share sent twice
  double reorder = 0.0;    // share held back and sent after the next one
  uint32_t seed = 1;
};

class TLossyRelay {
 public:
  // Relays between the client, which sends to ClientPort(), and the server at server_port on
  // 127.0.0.1 (0: nowhere until SetServerPort, for a server that is told the relay's port
  // before it starts).
  TLossyRelay(int server_port, const TRelayFaults& faults);
  ~TLossyRelay();
  int ClientPort() const { return client_port_; }
  void SetServerPort(int port) { server_port_ = port; }
  // From now on every datagram is dropped (true), or the faults apply again (false).
  void SetDropAll(bool drop) { drop_all_ = drop; }
  // Every datagram the server sent, as it came.
  std::vector<std::string> FromServer() const;
  uint64_t Relayed() const { return relayed_.load(); }
  uint64_t Dropped() const { return dropped_.load(); }
  uint64_t Duplicated() const { return duplicated_.load(); }
  uint64_t Reordered() const { return reordered_.load(); }

 private:
  void Run();

  TRelayFaults faults_;
  std::atomic<int> server_port_;
  std::atomic<bool> drop_all_{false};
  mutable std::mutex from_server_mutex_;
  std::vector<std::string> from_server_;
  int client_socket_ = -1;  // faces the client
  int server_socket_ = -1;  // faces the server
  int client_port_ = 0;
  int wake_[2] = {-1, -1};
  std::atomic<uint64_t> relayed_{0}, dropped_{0}, duplicated_{0}, reordered_{0};
  std::thread thread_;
};

}  // namespace larkspire::test

#endif  // LARKSPIRE_TESTS_SUPPORT_DATAGRAM_DOUBLES_H_
