#include "support/fault_socket_api.h"

#include <cerrno>

namespace larkspire::test {
void TFaultSocketApi::FailCreateSocket(bool fail) {
  std::lock_guard lock(mutex_);
  fail_create_ = fail;
}

void TFaultSocketApi::FailSelect(bool fail) {
  std::lock_guard lock(mutex_);
  fail_select_ = fail;
}

void TFaultSocketApi::FailLookup(bool fail) {
  std::lock_guard lock(mutex_);
  fail_lookup_ = fail;
}

void TFaultSocketApi::AnswerLookup(uint32_t address) {
  std::lock_guard lock(mutex_);
  answer_lookup_ = true;
  lookup_address_ = TIpAddress::FromIPv4(address);
}

void TFaultSocketApi::FailSendsFrom(int n) {
  std::lock_guard lock(mutex_);
  fail_sends_from_ = n;
}

void TFaultSocketApi::FailRecvsFrom(int n) {
  std::lock_guard lock(mutex_);
  fail_recvs_from_ = n;
}

void TFaultSocketApi::CapSendBytes(size_t cap) {
  std::lock_guard lock(mutex_);
  send_cap_ = cap;
}

void TFaultSocketApi::CapRecvBytes(size_t cap) {
  std::lock_guard lock(mutex_);
  recv_cap_ = cap;
}

void TFaultSocketApi::Reset() {
  std::lock_guard lock(mutex_);
  fail_create_ = fail_select_ = fail_lookup_ = answer_lookup_ = false;
  lookup_address_ = TIpAddress{};
  fail_sends_from_ = fail_recvs_from_ = 0;
  send_cap_ = recv_cap_ = 0;
  send_calls_ = recv_calls_ = 0;
  calls_.clear();
  send_sizes_.clear();
  recv_sizes_.clear();
  no_delay_values_.clear();
  receive_timeouts_.clear();
}

std::vector<std::string> TFaultSocketApi::Calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

int TFaultSocketApi::CountCalls(const std::string& prefix) const {
  std::lock_guard lock(mutex_);
  int count = 0;
  for (const std::string& call : calls_)
    if (call.compare(0, prefix.size(), prefix) == 0) ++count;
  return count;
}

std::vector<size_t> TFaultSocketApi::SendSizes() const {
  std::lock_guard lock(mutex_);
  return send_sizes_;
}

std::vector<size_t> TFaultSocketApi::RecvSizes() const {
  std::lock_guard lock(mutex_);
  return recv_sizes_;
}

std::vector<bool> TFaultSocketApi::NoDelayValues() const {
  std::lock_guard lock(mutex_);
  return no_delay_values_;
}

std::vector<uint32_t> TFaultSocketApi::ReceiveTimeouts() const {
  std::lock_guard lock(mutex_);
  return receive_timeouts_;
}

int TFaultSocketApi::OpenSockets() const {
  std::lock_guard lock(mutex_);
  return open_sockets_;
}

void TFaultSocketApi::Record(const std::string& call) {
  calls_.push_back(call);
}

TSocket TFaultSocketApi::CreateStreamSocket(TIpFamily family) {
  {
    std::lock_guard lock(mutex_);
    Record(family == TIpFamily::kIPv6 ? "CreateStreamSocket(IPv6)" : "CreateStreamSocket");
    if (fail_create_) {
      errno = EMFILE;
      return kInvalidSocket;
    }
  }
  const TSocket socket = PosixSocketApi().CreateStreamSocket(family);
  if (socket != kInvalidSocket) {
    std::lock_guard lock(mutex_);
    ++open_sockets_;
  }
  return socket;
}

int TFaultSocketApi::Close(TSocket socket) {
  const int result = PosixSocketApi().Close(socket);
  std::lock_guard lock(mutex_);
  Record("Close");
  if (result == 0) --open_sockets_;
  return result;
}

int TFaultSocketApi::Shutdown(TSocket socket) {
  {
    std::lock_guard lock(mutex_);
    Record("Shutdown");
  }
  return PosixSocketApi().Shutdown(socket);
}

int TFaultSocketApi::SetNonBlocking(TSocket socket, bool non_blocking) {
  {
    std::lock_guard lock(mutex_);
    Record(std::string("SetNonBlocking(") + (non_blocking ? "1" : "0") + ")");
  }
  return PosixSocketApi().SetNonBlocking(socket, non_blocking);
}

int TFaultSocketApi::Connect(TSocket socket, const TIpAddress& address, uint16_t port) {
  {
    std::lock_guard lock(mutex_);
    Record("Connect(" + EndpointText(address, port) + ")");
  }
  return PosixSocketApi().Connect(socket, address, port);
}

int TFaultSocketApi::Select(TFDSet* read, TFDSet* write, TFDSet* except, int timeout_ms) {
  {
    std::lock_guard lock(mutex_);
    Record("Select");
    if (fail_select_) {
      errno = EBADF;
      return kSocketError;
    }
  }
  return PosixSocketApi().Select(read, write, except, timeout_ms);
}

int TFaultSocketApi::SetKeepAlive(TSocket socket, bool on, uint32_t idle_ms, uint32_t interval_ms) {
  {
    std::lock_guard lock(mutex_);
    Record(std::string("SetKeepAlive(") + (on ? "1" : "0") + "," + std::to_string(idle_ms) + "," +
           std::to_string(interval_ms) + ")");
  }
  return PosixSocketApi().SetKeepAlive(socket, on, idle_ms, interval_ms);
}

int TFaultSocketApi::SetNoDelay(TSocket socket, bool on) {
  {
    std::lock_guard lock(mutex_);
    Record(std::string("SetNoDelay(") + (on ? "1" : "0") + ")");
    no_delay_values_.push_back(on);
  }
  return PosixSocketApi().SetNoDelay(socket, on);
}

int TFaultSocketApi::SetReceiveTimeout(TSocket socket, uint32_t milliseconds) {
  {
    std::lock_guard lock(mutex_);
    Record("SetReceiveTimeout(" + std::to_string(milliseconds) + ")");
    receive_timeouts_.push_back(milliseconds);
  }
  return PosixSocketApi().SetReceiveTimeout(socket, milliseconds);
}

ssize_t TFaultSocketApi::Send(TSocket socket, const void* buffer, size_t count) {
  size_t pass = count;
  {
    std::lock_guard lock(mutex_);
    Record("Send(" + std::to_string(count) + ")");
    send_sizes_.push_back(count);
    ++send_calls_;
    if (fail_sends_from_ > 0 && send_calls_ >= fail_sends_from_) {
      errno = ECONNRESET;
      return -1;
    }
    if (send_cap_ > 0 && pass > send_cap_) pass = send_cap_;
  }
  return PosixSocketApi().Send(socket, buffer, pass);
}

ssize_t TFaultSocketApi::Recv(TSocket socket, void* buffer, size_t count) {
  size_t ask = count;
  {
    std::lock_guard lock(mutex_);
    Record("Recv(" + std::to_string(count) + ")");
    recv_sizes_.push_back(count);
    ++recv_calls_;
    if (fail_recvs_from_ > 0 && recv_calls_ >= fail_recvs_from_) {
      errno = ECONNRESET;
      return -1;
    }
    if (recv_cap_ > 0 && ask > recv_cap_) ask = recv_cap_;
  }
  return PosixSocketApi().Recv(socket, buffer, ask);
}

bool TFaultSocketApi::LookupHost(const std::string& name, TIpAddress& address) {
  {
    std::lock_guard lock(mutex_);
    Record("LookupHost(" + name + ")");
    if (fail_lookup_) return false;
    if (answer_lookup_) {
      address = lookup_address_;
      return true;
    }
  }
  return PosixSocketApi().LookupHost(name, address);
}

}  // namespace larkspire::test
