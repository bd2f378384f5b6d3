// TUdpRelay: a loopback UDP forwarder between one client and a server's datagram port, for
// tests of the datagram road through a bad network. It drops a share of the datagrams each way,
// holds some back so that the next one overtakes them, or drops everything; it records what
// the server sent.
//
// The client sends to Port(); the relay sends on to the server from a port of its own, so the
// server sees the relay as the client, and answers go back to the client's last address.
//
// Thread-safety: the relay runs a thread of its own; its members may be called from any
// thread. The destructor stops it.
#ifndef LARKSPIRE_TESTS_SUPPORT_UDP_RELAY_H_
#define LARKSPIRE_TESTS_SUPPORT_UDP_RELAY_H_

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace larkspire::test {

struct TUdpRelayFaults {
  double DropShare = 0;     // of the datagrams each way, 0..1
  double ReorderShare = 0;  // held back until the next one in that direction has passed
  bool DropAll = false;
};

class TUdpRelay {
 public:
  // Forwards to 127.0.0.1:server_port (0: nowhere until SetServerPort, for a server that must
  // be told the relay's port before it starts). Raises std::runtime_error when it cannot bind.
  TUdpRelay(uint16_t server_port, TUdpRelayFaults faults, uint32_t seed = 1);
  TUdpRelay(const TUdpRelay&) = delete;
  TUdpRelay& operator=(const TUdpRelay&) = delete;
  ~TUdpRelay();

  uint16_t Port() const { return port_; }
  void SetServerPort(uint16_t port) { server_port_ = port; }
  // From now on every datagram is dropped (true), or the faults given apply again.
  void SetDropAll(bool drop) { drop_all_ = drop; }
  // Every datagram the server sent, as it came.
  std::vector<std::string> FromServer() const;
  uint64_t Passed() const { return passed_; }
  uint64_t Dropped() const { return dropped_; }
  uint64_t Reordered() const { return reordered_; }

 private:
  struct THeld {
    std::string Bytes;
    uint64_t Since = 0;  // milliseconds of the steady clock
  };
  void Loop();
  // Applies the faults to one datagram going out on fd to to.
  void Forward(int fd, const sockaddr_in& to, std::string bytes, std::optional<THeld>& held);

  int client_fd_ = -1;  // the clients send here
  int server_fd_ = -1;  // to the server, from here
  uint16_t port_ = 0;
  std::atomic<uint16_t> server_port_{0};
  sockaddr_in client_{};
  bool have_client_ = false;
  TUdpRelayFaults faults_;
  std::atomic<bool> drop_all_;
  uint64_t random_;
  std::atomic<bool> stopping_{false};
  std::atomic<uint64_t> passed_{0};
  std::atomic<uint64_t> dropped_{0};
  std::atomic<uint64_t> reordered_{0};
  mutable std::mutex mutex_;
  std::vector<std::string> from_server_;
  std::thread thread_;
};

}  // namespace larkspire::test

#endif  // LARKSPIRE_TESTS_SUPPORT_UDP_RELAY_H_
