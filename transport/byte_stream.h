// The byte stream under the frames: what TSuperTcpClient sends and receives through once its
// socket is connected. TPlainByteStream passes bytes straight to the socket layer; a TLS
// stream (transport/tls_client_stream.h) seals them first. Frames, the handshake and the
// download's raw blocks sit above it unchanged.
//
// Thread-safety: one thread sends and receives at a time; the socket may be shut down from
// another thread (through the socket layer) to wake a blocked call.
#ifndef LARKSPIRE_TRANSPORT_BYTE_STREAM_H_
#define LARKSPIRE_TRANSPORT_BYTE_STREAM_H_

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "platform/socket_api.h"

namespace larkspire {

class IByteStream {
 public:
  virtual ~IByteStream() = default;
  // As send and recv on a blocking socket: the bytes moved, 0 when the peer closed (receive),
  // -1 on failure with errno set (EAGAIN/EWOULDBLOCK when the receive time-out passed).
  virtual ssize_t Send(const void* buffer, size_t count) = 0;
  virtual ssize_t Recv(void* buffer, size_t count) = 0;
  virtual bool IsTls() const { return false; }
  // RFC 5705 keying material for label, without a context: out_length bytes both ends of the
  // TLS session derive alike. False for a plain stream or when TLS refuses.
  virtual bool ExportKeyingMaterial(uint8_t* out, size_t out_length, const char* label) const {
    return false;
  }
};

class TPlainByteStream final : public IByteStream {
 public:
  explicit TPlainByteStream(TSocket socket) : socket_(socket) {}
  ssize_t Send(const void* buffer, size_t count) override {
    return SocketApi().Send(socket_, buffer, count);
  }
  ssize_t Recv(void* buffer, size_t count) override {
    return SocketApi().Recv(socket_, buffer, count);
  }

 private:
  TSocket socket_;
};

}  // namespace larkspire

#endif  // LARKSPIRE_TRANSPORT_BYTE_STREAM_H_
