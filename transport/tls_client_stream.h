// The client's TLS stream: OpenSSL over a connected socket, the records carried through the
// socket layer (so sends never raise SIGPIPE and a shut-down socket wakes a blocked call). The
// server's certificate is verified against the CA file given (or the system's store) and
// against the expected server name (a host name, or an IPv4 address matched with the
// certificate's IP entries); TLS 1.2 at least, 1.3 preferred.
//
// Thread-safety: one thread uses a stream at a time; shutting its socket down from another
// thread wakes that thread.
#ifndef LARKSPIRE_TRANSPORT_TLS_CLIENT_STREAM_H_
#define LARKSPIRE_TRANSPORT_TLS_CLIENT_STREAM_H_

#include <memory>
#include <string>

#include "transport/byte_stream.h"

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

namespace larkspire {

struct TTlsClientSettings {
  bool UseTls = false;
  // PEM file of the certificates trusted to sign the server's; empty: the system's store.
  std::string CaFile;
  // The name the server's certificate must carry; empty: the host connected to.
  std::string ServerName;
};

class TTlsClientStream final : public IByteStream {
 public:
  // Runs the handshake on socket, which stays owned by the caller; the socket's receive
  // time-out bounds each wait. nullptr when it fails, with the reason in failure
  // ("certificate verify failed: certificate has expired", ...) and verify_failed telling a
  // refused certificate from a broken handshake.
  static std::unique_ptr<TTlsClientStream> Open(TSocket socket, const TTlsClientSettings& settings,
                                                const std::string& host, std::string& failure,
                                                bool& verify_failed);
  TTlsClientStream(const TTlsClientStream&) = delete;
  TTlsClientStream& operator=(const TTlsClientStream&) = delete;
  ~TTlsClientStream() override;

  ssize_t Send(const void* buffer, size_t count) override;
  ssize_t Recv(void* buffer, size_t count) override;
  bool IsTls() const override { return true; }
  bool ExportKeyingMaterial(uint8_t* out, size_t out_length, const char* label) const override;
  // "TLSv1.3", ...
  std::string Version() const;

 private:
  TTlsClientStream(SSL_CTX* context, SSL* ssl) : context_(context), ssl_(ssl) {}
  SSL_CTX* context_;
  SSL* ssl_;
};

}  // namespace larkspire

#endif  // LARKSPIRE_TRANSPORT_TLS_CLIENT_STREAM_H_
