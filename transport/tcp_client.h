// TSuperTcpClient: the blocking TCP client over which every command reaches the server. It owns
// one stream socket (IPv4 or IPv6, as the server's address resolves), opens it with a short connect
// time-out, passes the server's handshake and then moves frames: a 4-byte big-endian body length
// followed by the body.
//
// Sends go out in 8192-byte chunks with a progress report after each; the last short chunk goes
// out with no-delay on. Receives wait at most ReceiveTimeout milliseconds for each piece of data;
// a receive that stops for that reason says so (ReceiveTimedOut), so the owner can tell a server
// that is slow to answer from one that went away.
//
// Thread-safety: not safe for simultaneous use; the connection's busy state serializes the
// calling thread and its worker thread. Connected, Socket and ReceiveTimedOut may be read from
// any thread, and Interrupt may be called from any thread to wake an exchange blocked on the
// socket.
#ifndef LARKSPIRE_TRANSPORT_TCP_CLIENT_H_
#define LARKSPIRE_TRANSPORT_TCP_CLIENT_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/socket_api.h"
#include "platform/stream.h"
#include "protocol/frame.h"
#include "transport/byte_stream.h"
#include "transport/tls_client_stream.h"

namespace larkspire {

enum TTransType { tstSend = 0, tstRecv = 1 };
// AProgress: the fraction of the transfer done, from 0 to 1.
using TOnTransProgressEvent = std::function<void(double AProgress, TTransType ATransType)>;

class TSuperTcpClient {
 public:
  TSuperTcpClient() = default;
  TSuperTcpClient(const TSuperTcpClient&) = delete;
  TSuperTcpClient& operator=(const TSuperTcpClient&) = delete;
  ~TSuperTcpClient();

  TOnTransProgressEvent OnProgress;

  bool Connected() const { return connected_; }
  uint8_t HandshakeStatus() const { return handshake_status_; }
  int32_t HandshakeCode() const { return handshake_code_; }
  TSocket Socket() const { return socket_; }

  // Default 120 000 ms; 0 waits for ever. Applies to the open socket at once and to every later
  // Connect.
  uint32_t ReceiveTimeout() const { return receive_timeout_ms_; }
  void SetReceiveTimeout(uint32_t milliseconds);
  // Whether the last ReceiveStream or ReceiveBuffer stopped because no data came within
  // ReceiveTimeout (rather than because the peer closed or the socket failed).
  bool ReceiveTimedOut() const { return receive_timed_out_; }
  // The longest frame body ReceiveStream takes in (default: any a frame can carry); a longer
  // one is not read at all.
  uint32_t MaxReceiveSize() const { return max_receive_size_; }
  void SetMaxReceiveSize(uint32_t bytes) { max_receive_size_ = bytes; }
  // Whether the last ReceiveStream stopped because the frame was longer than MaxReceiveSize.
  bool ReceiveTooLarge() const { return receive_too_large_; }

  // TLS for the next Connect: the handshake, every frame and every raw block then travel
  // inside it. Off by default.
  const TTlsClientSettings& Tls() const { return tls_; }
  void SetTls(const TTlsClientSettings& settings) { tls_ = settings; }
  // Why the last Connect failed in TLS ("certificate verify failed: ..."), or empty; and
  // whether it was the server's certificate that was refused (a reason not to try again).
  const std::string& TlsFailure() const { return tls_failure_; }
  bool TlsVerifyFailed() const { return tls_verify_failed_; }
  // Whether the open connection runs under TLS.
  bool UsingTls() const { return stream_ != nullptr && stream_->IsTls(); }
  // Keying material of the open connection's TLS session (IByteStream::ExportKeyingMaterial);
  // false without one. Call it from the thread that runs the connection's exchanges.
  bool ExportKeyingMaterial(uint8_t* out, size_t out_length, const char* label) const {
    return stream_ != nullptr && stream_->ExportKeyingMaterial(out, out_length, label);
  }

  // True when connected and the handshake was accepted (host names the server for TLS's
  // certificate check when TlsServerName is empty). Raises Exception "套接字创建失败" when no
  // socket can be created.
  bool Connect(const std::string& host, int port, const std::string& auth_text,
               uint16_t timeout_seconds);
  // Shuts the socket down and closes it if one is open; HandshakeStatus and HandshakeCode keep
  // their values.
  void Disconnect();
  // Shuts the socket down without closing it: a send or receive blocked on it (in another
  // thread) returns at once and fails, and so does every later one, until Disconnect.
  void Interrupt();
  // One frame out, the stream sent from its start: true when the whole body went out, and
  // Connected takes that value. An empty stream, or one of 2 GiB or more, sends nothing at all
  // (not even the length prefix), returns false and leaves Connected as it was.
  bool SendStream(TStream& stream);
  // One frame in, appended at the stream's position (neither cleared nor rewound): true when
  // exactly the announced body came in; Connected takes that value. A length of 0 or above
  // 2^31 - 1 reads nothing further, and so does one above MaxReceiveSize (ReceiveTooLarge
  // then says so; the unread body leaves the socket unusable). Bytes beyond the frame (a second
  // frame sent back to back) count against it and make the result false.
  bool ReceiveStream(TStream& stream);
  // The same, handing the body to sink piece by piece as it arrives instead of keeping it; only
  // bytes of the frame reach sink. An exception from sink ends the receive with the frame partly
  // read (the socket is then unusable for another frame) and propagates.
  using TFrameSink = std::function<void(const uint8_t* bytes, size_t count)>;
  bool ReceiveFrame(const TFrameSink& sink);
  // Raw bytes without framing; neither touches Connected. Each returns how many bytes moved:
  // fewer than count when the peer closed, the socket failed or the receive time-out passed.
  int64_t SendBuffer(const void* buffer, int64_t count);
  int64_t ReceiveBuffer(void* buffer, int64_t count);

 private:
  // One frame in, its body handed to sink as recv returns it; frame_only cuts what is handed
  // out to the frame's bytes.
  bool ReceivePieces(const TFrameSink& sink, bool frame_only);
  // One recv through the socket API; notes a receive time-out.
  ssize_t RecvSome(void* buffer, size_t count);

  // The socket number is closed only under socket_mutex_, and every use of it from a thread
  // other than the owner's (Interrupt, SetReceiveTimeout) happens under it too.
  std::mutex socket_mutex_;
  std::atomic<TSocket> socket_{kInvalidSocket};
  std::atomic<bool> connected_{false};
  uint8_t handshake_status_ = 0;
  int32_t handshake_code_ = 0;
  std::atomic<uint32_t> receive_timeout_ms_{120000};
  std::atomic<bool> receive_timed_out_{false};
  std::atomic<uint32_t> max_receive_size_{kMaxFrameBody};
  std::atomic<bool> receive_too_large_{false};
  TTlsClientSettings tls_;
  std::string tls_failure_;
  bool tls_verify_failed_ = false;
  // What the open socket's bytes go through; replaced on each Connect, freed on Disconnect by
  // the thread that owns the exchanges.
  std::unique_ptr<IByteStream> stream_;
};

// "LOCALHOST" in any case gives "127.0.0.1"; a dotted quad stays; an IPv6 address, with or
// without brackets, gives its canonical text without them ("[0:0::1]" gives "::1"); anything else
// is looked up (empty when the look-up fails).
std::string ResolveHost(const std::string& host);
// Exactly four parts separated by "." and each a valid octet.
bool IsIPv4Address(const std::string& text);
// Decimal digits only (leading zeros allowed) with a value from 0 to 255; blanks, signs and
// empty text do not convert.
bool IsValidOctet(const std::string& text);
// The first IPv4 address of a host-name look-up as "%d.%d.%d.%d" (an IPv6-only name: its first
// IPv6 address, "2001:db8::7"), or empty when it fails.
std::string LookupHostAddress(const std::string& name);

}  // namespace larkspire

#endif  // LARKSPIRE_TRANSPORT_TCP_CLIENT_H_
