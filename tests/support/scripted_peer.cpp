#include "support/scripted_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>

namespace larkspire::test {
namespace {

using Clock = std::chrono::steady_clock;

// Waits are cut into slices of this length so that a stopping peer is noticed soon.
constexpr int kSliceMs = 50;

class TDeadline {
 public:
  explicit TDeadline(int timeout_ms)
      : unlimited_(timeout_ms < 0), end_(Clock::now() + std::chrono::milliseconds(timeout_ms)) {}
  bool Passed() const { return !unlimited_ && Clock::now() >= end_; }
  // The next slice to wait, never beyond the deadline.
  int Slice() const {
    if (unlimited_) return kSliceMs;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end_ - Clock::now()).count();
    return static_cast<int>(left < 0 ? 0 : left < kSliceMs ? left : kSliceMs);
  }

 private:
  bool unlimited_;
  Clock::time_point end_;
};

// 1 when the socket is ready for the events, 0 when the deadline passed or the stop flag is set,
// -1 on error.
int WaitFor(int socket, short events, const TDeadline& deadline, const std::atomic<bool>* stop) {
  while (true) {
    if (stop != nullptr && stop->load()) return 0;
    pollfd p{socket, events, 0};
    const int r = ::poll(&p, 1, deadline.Slice());
    if (r < 0 && errno != EINTR) return -1;
    if (r > 0) return 1;
    if (deadline.Passed()) return 0;
  }
}

// Reads up to count bytes once data is there: >0 bytes, 0 closed, -1 error/time-out/stop.
ssize_t ReadSome(int socket, void* buffer, size_t count, const TDeadline& deadline,
                 const std::atomic<bool>* stop) {
  while (true) {
    if (WaitFor(socket, POLLIN, deadline, stop) != 1) return -1;
    const ssize_t n = ::recv(socket, buffer, count, MSG_DONTWAIT);
    if (n >= 0) return n;
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
  }
}

template <typename Record>
bool ReadExactly(int socket, void* buffer, size_t count, int timeout_ms,
                 const std::atomic<bool>* stop, Record record) {
  const TDeadline deadline(timeout_ms);
  char* bytes = static_cast<char*>(buffer);
  size_t done = 0;
  while (done < count) {
    const ssize_t n = ReadSome(socket, bytes + done, count - done, deadline, stop);
    if (n <= 0) return false;
    record(bytes + done, static_cast<size_t>(n));
    done += static_cast<size_t>(n);
  }
  return true;
}

bool WriteAll(int socket, const char* bytes, size_t count, int timeout_ms,
              const std::atomic<bool>* stop) {
  const TDeadline deadline(timeout_ms);
  size_t done = 0;
  while (done < count) {
    if (WaitFor(socket, POLLOUT, deadline, stop) != 1) return false;
    const ssize_t n = ::send(socket, bytes + done, count - done, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

template <typename Record>
bool ReadOneFrame(int socket, std::string& body, int timeout_ms, const std::atomic<bool>* stop,
                  Record record) {
  unsigned char prefix[4];
  if (!ReadExactly(socket, prefix, 4, timeout_ms, stop, record)) return false;
  const uint32_t length = static_cast<uint32_t>(prefix[0]) << 24 |
                          static_cast<uint32_t>(prefix[1]) << 16 |
                          static_cast<uint32_t>(prefix[2]) << 8 | prefix[3];
  if (length > kPeerMaxFrame) return false;
  std::string data(length, '\0');
  if (!ReadExactly(socket, data.data(), length, timeout_ms, stop, record)) return false;
  body = std::move(data);
  return true;
}

void NoRecord(const char*, size_t) {}

}  // namespace

// --- TPeerConnection ---

bool TPeerConnection::Stopping() const {
  return peer_.stopping_.load();
}

bool TPeerConnection::ReadExact(void* buffer, size_t count, int timeout_ms) {
  return ReadExactly(socket_, buffer, count, timeout_ms, &peer_.stopping_,
                     [this](const char* bytes, size_t n) { peer_.RecordBytes(bytes, n); });
}

bool TPeerConnection::ReadFrame(std::string& body, int timeout_ms) {
  if (!ReadOneFrame(socket_, body, timeout_ms, &peer_.stopping_,
                    [this](const char* bytes, size_t n) { peer_.RecordBytes(bytes, n); }))
    return false;
  peer_.RecordFrame(body);
  return true;
}

bool TPeerConnection::WriteRaw(const std::string& bytes) {
  return WriteAll(socket_, bytes.data(), bytes.size(), kUntilClosed, &peer_.stopping_);
}

bool TPeerConnection::WriteFrame(const std::string& body) {
  return WriteRaw(Frame(body));
}

bool TPeerConnection::WaitForClose(int timeout_ms) {
  const TDeadline deadline(timeout_ms);
  char buffer[8192];
  while (true) {
    const ssize_t n = ReadSome(socket_, buffer, sizeof buffer, deadline, &peer_.stopping_);
    if (n == 0) return true;
    if (n < 0) return false;
    peer_.RecordBytes(buffer, static_cast<size_t>(n));
  }
}

// --- TScriptedPeer ---

TScriptedPeer::TScriptedPeer(TPeerScript script) : script_(std::move(script)) {
  listen_socket_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (listen_socket_ < 0) throw std::runtime_error("scripted peer: no socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (::bind(listen_socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listen_socket_, 16) != 0 ||
      ::getsockname(listen_socket_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(listen_socket_);
    throw std::runtime_error("scripted peer: cannot listen on the loopback");
  }
  port_ = ntohs(address.sin_port);
  accept_thread_ = std::thread([this] { AcceptLoop(); });
}

TScriptedPeer::~TScriptedPeer() {
  stopping_ = true;
  if (accept_thread_.joinable()) accept_thread_.join();
  // The accept thread is gone: no thread is added any more.
  for (std::thread& thread : connection_threads_)
    if (thread.joinable()) thread.join();
  ::close(listen_socket_);
}

void TScriptedPeer::AcceptLoop() {
  const TDeadline forever(kUntilClosed);
  while (!stopping_) {
    if (WaitFor(listen_socket_, POLLIN, forever, &stopping_) != 1) continue;
    const int socket = ::accept4(listen_socket_, nullptr, nullptr, SOCK_CLOEXEC);
    if (socket < 0) continue;
    std::lock_guard lock(mutex_);
    const int index = connections_++;
    connection_threads_.emplace_back([this, socket, index] { RunConnection(socket, index); });
    changed_.notify_all();
  }
}

void TScriptedPeer::RunConnection(int socket, int index) {
  TPeerConnection connection(*this, socket, index);
  try {
    if (script_) script_(connection);
  } catch (...) {
    // A script that throws ends its connection like one that returns.
  }
  ::close(socket);
  std::lock_guard lock(mutex_);
  ++finished_;
  changed_.notify_all();
}

void TScriptedPeer::RecordBytes(const void* bytes, size_t count) {
  std::lock_guard lock(mutex_);
  raw_.append(static_cast<const char*>(bytes), count);
}

void TScriptedPeer::RecordFrame(const std::string& body) {
  std::lock_guard lock(mutex_);
  frames_.push_back(body);
  changed_.notify_all();
}

int TScriptedPeer::Connections() const {
  std::lock_guard lock(mutex_);
  return connections_;
}

std::vector<std::string> TScriptedPeer::Frames() const {
  std::lock_guard lock(mutex_);
  return frames_;
}

std::string TScriptedPeer::RawReceived() const {
  std::lock_guard lock(mutex_);
  return raw_;
}

bool TScriptedPeer::WaitForFrames(size_t count, int timeout_ms) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                           [&] { return frames_.size() >= count; });
}

bool TScriptedPeer::WaitForConnections(int count, int timeout_ms) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                           [&] { return connections_ >= count; });
}

bool TScriptedPeer::WaitForFinishedScripts(int count, int timeout_ms) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                           [&] { return finished_ >= count; });
}

TPeerScript TScriptedPeer::AcceptThenClose() {
  return [](TPeerConnection&) {};
}

TPeerScript TScriptedPeer::NeverAnswer() {
  return [](TPeerConnection& connection) { connection.WaitForClose(); };
}

TPeerScript TScriptedPeer::AnswerHandshake(std::string reply_body) {
  return AnswerHandshakeRaw(Frame(reply_body));
}

TPeerScript TScriptedPeer::AnswerHandshakeRaw(std::string raw_reply) {
  return [raw_reply](TPeerConnection& connection) {
    std::string handshake;
    if (!connection.ReadFrame(handshake)) return;
    if (!connection.WriteRaw(raw_reply)) return;
    connection.WaitForClose();
  };
}

TPeerScript TScriptedPeer::ServeReplies(std::string handshake_body,
                                        std::vector<std::string> bodies) {
  for (std::string& body : bodies) body = Frame(body);
  return ServeRaw(std::move(handshake_body), std::move(bodies));
}

TPeerScript TScriptedPeer::ServeRaw(std::string handshake_body,
                                    std::vector<std::string> raw_replies) {
  return [handshake_body, raw_replies](TPeerConnection& connection) {
    std::string request;
    if (!connection.ReadFrame(request) || !connection.WriteFrame(handshake_body)) return;
    for (const std::string& reply : raw_replies) {
      if (!connection.ReadFrame(request) || !connection.WriteRaw(reply)) return;
    }
  };
}

TPeerScript TScriptedPeer::ServeWith(std::string handshake_body, TPeerHandler handler) {
  return [handshake_body, handler](TPeerConnection& connection) {
    std::string request;
    if (!connection.ReadFrame(request) || !connection.WriteFrame(handshake_body)) return;
    while (connection.ReadFrame(request)) {
      if (!connection.WriteFrame(handler(request))) return;
    }
  };
}

TPeerScript TScriptedPeer::CloseMidFrame(std::string handshake_body, std::string reply_body,
                                         size_t bytes) {
  return [handshake_body, reply_body, bytes](TPeerConnection& connection) {
    std::string request;
    if (!connection.ReadFrame(request) || !connection.WriteFrame(handshake_body)) return;
    if (!connection.ReadFrame(request)) return;
    connection.WriteRaw(Frame(reply_body).substr(0, bytes));
  };
}

// --- Free helpers ---

uint16_t FreeLoopbackPort() {
  const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (socket < 0) throw std::runtime_error("free port: no socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  uint16_t port = 0;
  if (::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  ::close(socket);
  if (port == 0) throw std::runtime_error("free port: cannot bind on the loopback");
  return port;
}

std::string Frame(const std::string& body) {
  const uint32_t length = static_cast<uint32_t>(body.size());
  std::string frame;
  frame.reserve(body.size() + 4);
  frame.push_back(static_cast<char>(length >> 24));
  frame.push_back(static_cast<char>(length >> 16));
  frame.push_back(static_cast<char>(length >> 8));
  frame.push_back(static_cast<char>(length));
  frame += body;
  return frame;
}

std::string HandshakeReply(uint8_t status, int32_t code) {
  const uint32_t value = static_cast<uint32_t>(code);
  std::string body = "LKSRV";
  body.push_back(static_cast<char>(status));
  for (int shift = 0; shift < 32; shift += 8) body.push_back(static_cast<char>(value >> shift));
  return body;
}

std::string AcceptedHandshake() {
  return HandshakeReply(1, 0);
}

bool WriteFrameTo(int socket, const std::string& body, int timeout_ms) {
  const std::string frame = Frame(body);
  return WriteAll(socket, frame.data(), frame.size(), timeout_ms, nullptr);
}

bool ReadFrameFrom(int socket, std::string& body, int timeout_ms) {
  return ReadOneFrame(socket, body, timeout_ms, nullptr, NoRecord);
}

}  // namespace larkspire::test
