// TRelay: a loopback TCP relay between a client and a server that records every byte it
// passes in each direction, and can cut a connection after a number of bytes from the server
// (a network that fails in the middle of a transfer).
//
// Thread-safety: the relay runs threads of its own; its members may be called from any
// thread. The destructor stops them.
#ifndef LARKSPIRE_TESTS_SUPPORT_RELAY_H_
#define LARKSPIRE_TESTS_SUPPORT_RELAY_H_

#include <atomic>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <thread>

namespace larkspire::test {

class TRelay {
 public:
  // Listens on 127.0.0.1 at a free port and passes each connection to target_port there.
  explicit TRelay(uint16_t target_port);
  TRelay(const TRelay&) = delete;
  TRelay& operator=(const TRelay&) = delete;
  ~TRelay();

  uint16_t Port() const { return port_; }
  // The next connection is cut (both ways) once this many bytes went to the client.
  void CutAfter(int64_t server_bytes) { cut_after_ = server_bytes; }
  // Everything the clients sent, and everything the server sent, so far.
  std::string Upstream() const;
  std::string Downstream() const;

 private:
  void AcceptLoop();
  void Pump(int client, int server, int64_t cut_after);

  int listen_fd_ = -1;
  uint16_t port_ = 0;
  uint16_t target_port_;
  std::atomic<bool> stopping_{false};
  std::atomic<int64_t> cut_after_{-1};
  mutable std::mutex mutex_;
  std::string upstream_;
  std::string downstream_;
  std::list<std::thread> pumps_;
  std::thread accept_thread_;
};

}  // namespace larkspire::test

#endif  // LARKSPIRE_TESTS_SUPPORT_RELAY_H_
