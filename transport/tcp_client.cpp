#include "transport/tcp_client.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <vector>

#include "platform/exception.h"
#include "protocol/frame.h"
#include "protocol/handshake.h"

namespace larkspire {
namespace {

// Transfers go through one buffer of this size local to the call.
constexpr int64_t kChunkSize = 8192;
// Keep-alive: idle time and probe interval in milliseconds.
constexpr uint32_t kKeepAliveIdleMs = 4400;
constexpr uint32_t kKeepAliveIntervalMs = 4;
// The longest wait for each part of the server's side of the TLS handshake.
constexpr uint32_t kTlsHandshakeMs = 10000;

// Parses a decimal octet: digits only (leading zeros allowed), value 0..255. Anything else
// (blanks, signs, hex, empty text) does not convert.
bool ParseOctet(const std::string& text, uint32_t& value) {
  if (text.empty()) return false;
  uint32_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint32_t>(c - '0');
    if (v > 255) return false;
  }
  value = v;
  return true;
}

std::vector<std::string> SplitAtDots(const std::string& text) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (true) {
    const size_t dot = text.find('.', start);
    if (dot == std::string::npos) {
      parts.push_back(text.substr(start));
      return parts;
    }
    parts.push_back(text.substr(start, dot - start));
    start = dot + 1;
  }
}

// A dotted quad to an address in host byte order; false when the text is not one.
bool ParseIPv4(const std::string& text, uint32_t& address) {
  const std::vector<std::string> parts = SplitAtDots(text);
  if (parts.size() != 4) return false;
  uint32_t result = 0;
  for (const std::string& part : parts) {
    uint32_t octet;
    if (!ParseOctet(part, octet)) return false;
    result = (result << 8) | octet;
  }
  address = result;
  return true;
}

// What ResolveHost gave: a dotted quad (leading zeros as decimal) or an IPv6 address.
bool ParseResolved(const std::string& text, TIpAddress& address) {
  uint32_t v4 = 0;
  if (ParseIPv4(text, v4)) {
    address = TIpAddress::FromIPv4(v4);
    return true;
  }
  return text.find(':') != std::string::npos && ParseIpAddress(text, address);
}

// "::1" or "[::1]" as the canonical text of the IPv6 address; false for anything else.
bool CanonicalIPv6(const std::string& host, std::string& text) {
  std::string inner = host;
  if (inner.size() > 2 && inner.front() == '[' && inner.back() == ']') {
    inner = inner.substr(1, inner.size() - 2);
  }
  TIpAddress address;
  if (inner.find(':') == std::string::npos || !ParseIpAddress(inner, address)) return false;
  text = address.Text();
  return true;
}

bool EqualsIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) !=
        std::toupper(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

}  // namespace

TSuperTcpClient::~TSuperTcpClient() {
  Disconnect();
}

bool TSuperTcpClient::Connect(const std::string& host, int port, const std::string& auth_text,
                              uint16_t timeout_seconds) {
  if (connected_) return true;

  // A failed transfer leaves its socket open until Disconnect; a new Connect never reuses it
  // and never leaks it either.
  Disconnect();
  ISocketApi& api = SocketApi();
  // An address that does not resolve, or a port outside 0..65535, cannot be reached: the
  // attempt fails like a peer that does not accept.
  const std::string address_text = ResolveHost(host);
  TIpAddress address;
  const bool reachable = ParseResolved(address_text, address) && port >= 0 && port <= 0xFFFF;
  {
    std::lock_guard lock(socket_mutex_);
    socket_ = api.CreateStreamSocket(address.Family);
  }
  if (socket_ == kInvalidSocket) throw Exception("套接字创建失败");

  connected_ = false;
  handshake_status_ = kHandshakeNone;

  int ready = 0;
  if (reachable) {
    api.SetNonBlocking(socket_, true);
    api.Connect(socket_, address, static_cast<uint16_t>(port));
    TFDSet write_set;
    SocketSetClear(write_set);
    SocketSetAdd(socket_, write_set);
    ready = api.Select(nullptr, &write_set, nullptr, static_cast<int>(timeout_seconds) * 1000);
  }
  api.SetNonBlocking(socket_, false);
  api.SetKeepAlive(socket_, true, kKeepAliveIdleMs, kKeepAliveIntervalMs);
  api.SetReceiveTimeout(socket_, receive_timeout_ms_);
  connected_ = ready > 0;
  tls_failure_.clear();
  tls_verify_failed_ = false;
  stream_.reset();

  if (connected_ && tls_.UseTls) {
    // The TLS handshake may take longer than the connect, never as long as a reply.
    api.SetReceiveTimeout(socket_, kTlsHandshakeMs);
    stream_ = TTlsClientStream::Open(socket_, tls_, host, tls_failure_, tls_verify_failed_);
    api.SetReceiveTimeout(socket_, receive_timeout_ms_);
    connected_ = stream_ != nullptr;
  } else if (connected_) {
    stream_ = std::make_unique<TPlainByteStream>(socket_);
  }

  if (connected_) {
    handshake_status_ = kHandshakeNone;
    TMemoryStream request;
    const std::string body = EncodeHandshakeRequest(auth_text);
    request.WriteBuffer(body.data(), static_cast<int64_t>(body.size()));
    if (SendStream(request)) {
      TMemoryStream reply;
      if (ReceiveStream(reply)) {
        const THandshakeAnswer answer =
            DecodeHandshakeReply(reply.Memory(), static_cast<size_t>(reply.Size()));
        handshake_status_ = answer.Status;
        if (answer.HasCode) handshake_code_ = answer.Code;
      }
    }
    connected_ = handshake_status_ == kHandshakeAccepted;
  }

  if (!connected_) Disconnect();
  return connected_;
}

void TSuperTcpClient::Disconnect() {
  // Under the socket lock: an Interrupt from another thread that took the number shuts it down
  // before the number is closed and free to name somebody else's socket.
  std::lock_guard lock(socket_mutex_);
  const TSocket socket = socket_.exchange(kInvalidSocket);
  connected_ = false;
  stream_.reset();
  if (socket == kInvalidSocket) return;
  // Closing alone does not wake a call blocked on the socket in another thread; shutting the
  // connection down first does.
  ISocketApi& api = SocketApi();
  api.Shutdown(socket);
  api.Close(socket);
}

void TSuperTcpClient::Interrupt() {
  std::lock_guard lock(socket_mutex_);
  const TSocket socket = socket_;
  connected_ = false;
  if (socket != kInvalidSocket) SocketApi().Shutdown(socket);
}

void TSuperTcpClient::SetReceiveTimeout(uint32_t milliseconds) {
  receive_timeout_ms_ = milliseconds;
  std::lock_guard lock(socket_mutex_);
  const TSocket socket = socket_;
  if (socket != kInvalidSocket) SocketApi().SetReceiveTimeout(socket, milliseconds);
}

ssize_t TSuperTcpClient::RecvSome(void* buffer, size_t count) {
  if (!stream_) {
    errno = ENOTCONN;
    return -1;
  }
  const ssize_t n = stream_->Recv(buffer, count);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) receive_timed_out_ = true;
  return n;
}

bool TSuperTcpClient::SendStream(TStream& stream) {
  const int64_t size = stream.Size();
  // Nothing to frame: no length prefix goes out and Connected keeps its value. A body of 2 GiB
  // or more cannot be framed either and is refused the same way before any byte is sent.
  if (size <= 0 || size > int64_t{kMaxFrameBody}) return false;

  ISocketApi& api = SocketApi();
  stream.SetPosition(0);

  const uint32_t length = static_cast<uint32_t>(size);
  uint8_t prefix[kFramePrefixSize];
  EncodeFramePrefix(length, prefix);
  int64_t sent = 0;
  if (SendBuffer(prefix, sizeof prefix) == static_cast<int64_t>(sizeof prefix)) {
    uint8_t chunk[kChunkSize];
    while (sent < size) {
      // Never more than the length prefix announced, whatever the stream holds.
      const int64_t wanted = std::min(kChunkSize, size - sent);
      const int64_t read = stream.Read(chunk, wanted);
      if (read <= 0) break;
      if (read < kChunkSize) api.SetNoDelay(socket_, true);
      if (SendBuffer(chunk, read) < read) break;
      sent += read;
      if (OnProgress) OnProgress(static_cast<double>(sent) / static_cast<double>(size), tstSend);
    }
  }
  api.SetNoDelay(socket_, false);

  connected_ = sent == size;
  return connected_;
}

bool TSuperTcpClient::ReceiveStream(TStream& stream) {
  // What arrived is kept as it came, bytes beyond the frame too.
  return ReceivePieces(
      [&stream](const uint8_t* bytes, size_t count) { stream.WriteBuffer(bytes, count); }, false);
}

bool TSuperTcpClient::ReceiveFrame(const TFrameSink& sink) {
  return ReceivePieces(sink, true);
}

bool TSuperTcpClient::ReceivePieces(const TFrameSink& sink, bool frame_only) {
  receive_timed_out_ = false;
  receive_too_large_ = false;
  uint8_t prefix[kFramePrefixSize];
  int64_t length = 0;
  if (ReceiveBuffer(prefix, sizeof prefix) == static_cast<int64_t>(sizeof prefix)) {
    length = static_cast<int32_t>(DecodeFramePrefix(prefix));
  }
  if (length > static_cast<int64_t>(max_receive_size_.load())) {
    receive_too_large_ = true;
    connected_ = false;
    return false;
  }

  // Nothing is reserved from the length field: the body goes out as it arrives.
  int64_t received = 0;
  if (length > 0) {
    uint8_t chunk[kChunkSize];
    while (received < length) {
      // The request is not cut to what remains: bytes beyond the frame count against it.
      const ssize_t n = RecvSome(chunk, sizeof chunk);
      if (n <= 0) break;
      const int64_t in_frame = frame_only ? std::min<int64_t>(n, length - received) : n;
      received += n;
      try {
        sink(chunk, static_cast<size_t>(in_frame));
      } catch (...) {
        connected_ = false;
        throw;
      }
    }
  }

  connected_ = received > 0 && received == length;
  return connected_;
}

int64_t TSuperTcpClient::SendBuffer(const void* buffer, int64_t count) {
  if (!stream_) return 0;
  const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
  int64_t sent = 0;
  while (sent < count) {
    const ssize_t n = stream_->Send(bytes + sent, static_cast<size_t>(count - sent));
    if (n <= 0) break;
    sent += n;
  }
  return sent;
}

int64_t TSuperTcpClient::ReceiveBuffer(void* buffer, int64_t count) {
  receive_timed_out_ = false;
  uint8_t* bytes = static_cast<uint8_t*>(buffer);
  int64_t received = 0;
  while (received < count) {
    const ssize_t n = RecvSome(bytes + received, static_cast<size_t>(count - received));
    if (n <= 0) break;
    received += n;
  }
  return received;
}

std::string ResolveHost(const std::string& host) {
  if (EqualsIgnoringCase(host, "LOCALHOST")) return "127.0.0.1";
  if (IsIPv4Address(host)) return host;
  std::string text;
  if (CanonicalIPv6(host, text)) return text;
  return LookupHostAddress(host);
}

bool IsIPv4Address(const std::string& text) {
  uint32_t address;
  return ParseIPv4(text, address);
}

bool IsValidOctet(const std::string& text) {
  uint32_t value;
  return ParseOctet(text, value);
}

std::string LookupHostAddress(const std::string& name) {
  TIpAddress address;
  if (!SocketApi().LookupHost(name, address)) return "";
  return address.Text();
}

}  // namespace larkspire
