// TFaultSocketApi: a socket API double for tests. It forwards every call to the POSIX API, but
// can be told to fail chosen calls, and it records the calls it sees so a test can check what
// the code under test did (chunk sizes, no-delay switching, options, closes).
//
//   TFaultSocketApi api;
//   api.FailSendsFrom(3);              // the 3rd Send and every later one return -1
//   TSocketApiGuard guard(api);        // installed until the end of the scope
//   ... run the client ...
//   EXPECT_EQ(api.SendSizes(), (std::vector<size_t>{4, 8192}));
//
// Call numbers count from 1 since construction or the last Reset(). Only code that goes through
// SocketApi() is seen; the scripted peer uses the POSIX calls directly, so its traffic is not
// recorded.
//
// Thread-safety: every member may be called from any thread (one internal lock).
#ifndef LARKSPIRE_TESTS_SUPPORT_FAULT_SOCKET_API_H_
#define LARKSPIRE_TESTS_SUPPORT_FAULT_SOCKET_API_H_

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "platform/socket_api.h"

namespace larkspire::test {

class TFaultSocketApi : public ISocketApi {
 public:
  TFaultSocketApi() = default;
  TFaultSocketApi(const TFaultSocketApi&) = delete;
  TFaultSocketApi& operator=(const TFaultSocketApi&) = delete;

  // --- Faults (all off by default) ---
  // CreateStreamSocket returns kInvalidSocket.
  void FailCreateSocket(bool fail = true);
  // Select returns -1 without waiting.
  void FailSelect(bool fail = true);
  // LookupHost fails for every name.
  void FailLookup(bool fail = true);
  // LookupHost answers this IPv4 address (host byte order) for every name without asking the
  // resolver.
  void AnswerLookup(uint32_t address);
  // Send call number n and all later ones return -1 (0: never).
  void FailSendsFrom(int n);
  // Recv call number n and all later ones return -1, like a broken connection (0: never).
  void FailRecvsFrom(int n);
  // Each Send passes at most this many bytes to the socket (0: no cap).
  void CapSendBytes(size_t cap);
  // Each Recv asks the socket for at most this many bytes (0: no cap).
  void CapRecvBytes(size_t cap);
  // Clears faults and records (OpenSockets keeps counting: those sockets are still open).
  void Reset();

  // --- Records ---
  // Every call in order, as text: "CreateStreamSocket" ("CreateStreamSocket(IPv6)"), "Shutdown",
  // "Close", "SetNonBlocking(1)", "Connect(127.0.0.1:8008)" ("Connect([::1]:8008)"), "Select",
  // "SetKeepAlive(1,4400,4)", "SetNoDelay(1)", "SetReceiveTimeout(300)", "Send(8192)" (bytes
  // asked), "Recv(8192)" (bytes asked), "LookupHost(name)".
  std::vector<std::string> Calls() const;
  // How many recorded calls start with this text ("Send", "SetNoDelay(1)").
  int CountCalls(const std::string& prefix) const;
  // The byte count asked of each Send / Recv, in order.
  std::vector<size_t> SendSizes() const;
  std::vector<size_t> RecvSizes() const;
  // Every SetNoDelay value, in order.
  std::vector<bool> NoDelayValues() const;
  // Every SetReceiveTimeout value, in order.
  std::vector<uint32_t> ReceiveTimeouts() const;
  // Sockets created and not yet closed through this API.
  int OpenSockets() const;

  // ISocketApi
  TSocket CreateStreamSocket(TIpFamily family) override;
  int Close(TSocket socket) override;
  int Shutdown(TSocket socket) override;
  int SetNonBlocking(TSocket socket, bool non_blocking) override;
  int Connect(TSocket socket, const TIpAddress& address, uint16_t port) override;
  int Select(TFDSet* read, TFDSet* write, TFDSet* except, int timeout_ms) override;
  int SetKeepAlive(TSocket socket, bool on, uint32_t idle_ms, uint32_t interval_ms) override;
  int SetNoDelay(TSocket socket, bool on) override;
  int SetReceiveTimeout(TSocket socket, uint32_t milliseconds) override;
  ssize_t Send(TSocket socket, const void* buffer, size_t count) override;
  ssize_t Recv(TSocket socket, void* buffer, size_t count) override;
  bool LookupHost(const std::string& name, TIpAddress& address) override;

 private:
  void Record(const std::string& call);

  mutable std::mutex mutex_;
  bool fail_create_ = false;
  bool fail_select_ = false;
  bool fail_lookup_ = false;
  bool answer_lookup_ = false;
  TIpAddress lookup_address_;
  int fail_sends_from_ = 0;
  int fail_recvs_from_ = 0;
  size_t send_cap_ = 0;
  size_t recv_cap_ = 0;

  int send_calls_ = 0;
  int recv_calls_ = 0;
  int open_sockets_ = 0;
  std::vector<std::string> calls_;
  std::vector<size_t> send_sizes_;
  std::vector<size_t> recv_sizes_;
  std::vector<bool> no_delay_values_;
  std::vector<uint32_t> receive_timeouts_;
};

// Installs a socket API for the guard's lifetime and puts the previous one back afterwards.
class TSocketApiGuard {
 public:
  explicit TSocketApiGuard(ISocketApi& api) : previous_(SetSocketApi(&api)) {}
  ~TSocketApiGuard() { SetSocketApi(previous_); }
  TSocketApiGuard(const TSocketApiGuard&) = delete;
  TSocketApiGuard& operator=(const TSocketApiGuard&) = delete;

 private:
  ISocketApi* previous_;
};

}  // namespace larkspire::test

#endif  // LARKSPIRE_TESTS_SUPPORT_FAULT_SOCKET_API_H_
