// The byte stream of one client connection, under the frames: plain bytes on the socket, or
// a TLS session over it (server/net/tls_stream.h). Framing, the handshake and the download's
// raw blocks read and write through it and never see which.
//
// Reads never block: the caller waits for the socket with poll (and its own deadlines) when
// nothing is buffered. Writes block for at most the send time-out the server gives the socket.
//
// Thread-safety: the session's thread reads and writes; another thread may only shut the
// socket down (which wakes the session).
#ifndef LARKSPIRE_SERVER_CONN_STREAM_H_
#define LARKSPIRE_SERVER_CONN_STREAM_H_

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

typedef struct ssl_st SSL;

namespace larkspire::server {

class TConnStream {
 public:
  explicit TConnStream(int socket) : socket_(socket) {}
  TConnStream(const TConnStream&) = delete;
  TConnStream& operator=(const TConnStream&) = delete;
  virtual ~TConnStream() = default;

  int Fd() const { return socket_; }
  enum class TOpen { osReady, osPlaintextPeer, osFailed };
  // Readies the stream before the first frame, by deadline: nothing to do for plain bytes; the
  // TLS handshake for TLS, which tells a peer that sends a plaintext frame instead
  // (osPlaintextPeer: nothing was read, so a plaintext answer can still go out) and says why a
  // handshake failed.
  virtual TOpen Open(std::chrono::steady_clock::time_point deadline, std::string& failure);
  // Whether the connection runs under TLS.
  virtual bool IsTls() const { return false; }
  // The TLS session (null for a plain connection): for keys exported from it.
  virtual SSL* Ssl() const { return nullptr; }
  // RFC 5705 keying material: out_length bytes for label and context; false for a plain
  // connection or when OpenSSL refuses.
  virtual bool ExportKeyingMaterial(uint8_t* out, size_t out_length, const std::string& label,
                                    const std::string& context) const;
  // Whether bytes are already waiting to be read (decrypted, so poll would not show them).
  virtual bool HasBuffered() const { return false; }
  // As recv with MSG_DONTWAIT: the bytes read, 0 at the end of the stream, -1 with errno
  // (EAGAIN when nothing is there yet).
  virtual ssize_t ReadSome(void* buffer, size_t count);
  // Sends every byte; more: further bytes follow at once (held back to fill a segment). False
  // when the connection failed or the client took nothing within the send time-out.
  virtual bool WriteAll(const void* bytes, size_t count, bool more = false);
  // Told of bytes written to Fd() past WriteAll (a plain frame in one sendmsg, a file block by
  // sendfile), for a stream that counts what it carries.
  virtual void WroteDirectly(size_t /*bytes*/) {}

 private:
  int socket_;
};

}  // namespace larkspire::server

#endif  // LARKSPIRE_SERVER_CONN_STREAM_H_
