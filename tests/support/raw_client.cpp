#include "support/raw_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "protocol/memory_stream.h"

namespace larkspire::test {

namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

bool TRawClient::Connect(uint16_t port, const std::string& host, const std::string& source) {
  Close();
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  if (!source.empty()) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    if (::inet_pton(AF_INET, source.c_str(), &local.sin_addr) != 1 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      ::close(fd);
      return false;
    }
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1 ||
      ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return false;
  }
  socket_ = fd;
  return true;
}

void TRawClient::Close() {
  if (socket_ >= 0) ::close(socket_);
  socket_ = -1;
}

bool TRawClient::SendBytes(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t sent = ::send(socket_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    done += static_cast<size_t>(sent);
  }
  return true;
}

bool TRawClient::SendFrame(const std::string& body) {
  auto length = static_cast<uint32_t>(body.size());
  std::string prefix = {static_cast<char>(length >> 24), static_cast<char>(length >> 16),
                        static_cast<char>(length >> 8), static_cast<char>(length)};
  return SendBytes(prefix + body);
}

bool TRawClient::ReadExact(void* buffer, size_t count, int64_t deadline_ms) {
  auto* bytes = static_cast<uint8_t*>(buffer);
  size_t done = 0;
  while (done < count) {
    int64_t left = deadline_ms - NowMs();
    if (left <= 0) return false;
    pollfd fd{socket_, POLLIN, 0};
    int ready = ::poll(&fd, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    ssize_t got = ::recv(socket_, bytes + done, count - done, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<size_t>(got);
  }
  return true;
}

bool TRawClient::ReceiveFrame(std::string& body, int timeout_ms, uint32_t max_length) {
  int64_t deadline = NowMs() + timeout_ms;
  uint8_t prefix[4];
  if (!ReadExact(prefix, 4, deadline)) return false;
  uint32_t length = (uint32_t{prefix[0]} << 24) | (uint32_t{prefix[1]} << 16) |
                    (uint32_t{prefix[2]} << 8) | uint32_t{prefix[3]};
  if (length > max_length) return false;
  body.assign(length, '\0');
  return length == 0 || ReadExact(body.data(), length, deadline);
}

bool TRawClient::WaitForClose(int timeout_ms) {
  int64_t deadline = NowMs() + timeout_ms;
  char drain[4096];
  while (true) {
    int64_t left = deadline - NowMs();
    if (left <= 0) return false;
    pollfd fd{socket_, POLLIN, 0};
    int ready = ::poll(&fd, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    ssize_t got = ::recv(socket_, drain, sizeof drain, 0);
    if (got == 0) return true;
    if (got < 0 && errno != EINTR) return errno == ECONNRESET || errno == EPIPE;
  }
}

THandshakeReply TRawClient::Handshake(const std::string& identity, const std::string& name,
                                      int timeout_ms) {
  THandshakeReply reply;
  if (!SendFrame("Auth:" + identity + "/" + name)) return reply;
  if (!ReceiveFrame(reply.Body, timeout_ms)) return reply;
  reply.Received = true;
  if (reply.Body.size() >= 6) reply.Status = static_cast<uint8_t>(reply.Body[5]);
  if (reply.Body.size() >= 10) {
    uint32_t code = 0;
    for (int i = 0; i < 4; ++i)
      code |= uint32_t{static_cast<uint8_t>(reply.Body[6 + i])} << (8 * i);
    reply.Code = static_cast<int32_t>(code);
  }
  return reply;
}

bool TRawClient::Execute(TRemoteCommand& request, TRemoteCommand& reply, int timeout_ms) {
  TLarkspireMemoryStream encoded;
  request.SaveToStream(encoded);
  if (!SendFrame(encoded.Bytes())) return false;
  std::string body;
  if (!ReceiveFrame(body, timeout_ms)) return false;
  TLarkspireMemoryStream incoming;
  incoming.WriteBuffer(body.data(), static_cast<int64_t>(body.size()));
  incoming.SetPosition(0);
  reply.Reset();
  reply.LoadFromStream(incoming);
  return true;
}

}  // namespace larkspire::test
