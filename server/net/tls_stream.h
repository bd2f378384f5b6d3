// TLS on the server's connections: the certificate and key loaded once at start, and the TLS
// stream of one connection (OpenSSL over its socket, which it makes non-blocking). TLS 1.2 at
// least; 1.3 preferred when the client offers it.
//
// Thread-safety: a TTlsServerContext is read by every session at once (OpenSSL allows that);
// a TTlsConnStream is used by its session's thread only.
#ifndef LARKSPIRE_SERVER_TLS_STREAM_H_
#define LARKSPIRE_SERVER_TLS_STREAM_H_

#include <cstdint>
#include <string>
#include <vector>

#include "server/net/conn_stream.h"

typedef struct ssl_ctx_st SSL_CTX;

namespace larkspire::server {

class TTlsServerContext {
 public:
  // Raises Exception naming the file and OpenSSL's reason when the certificate chain or the
  // key cannot be read, or when they do not belong together.
  TTlsServerContext(const std::string& certificate_file, const std::string& key_file);
  TTlsServerContext(const TTlsServerContext&) = delete;
  TTlsServerContext& operator=(const TTlsServerContext&) = delete;
  ~TTlsServerContext();
  SSL_CTX* Get() const { return context_; }

 private:
  SSL_CTX* context_ = nullptr;
};

class TTlsConnStream final : public TConnStream {
 public:
  // send_timeout_ms: how long a write may wait for the client to take bytes.
  TTlsConnStream(int socket, const TTlsServerContext& context, uint32_t send_timeout_ms);
  ~TTlsConnStream() override;

  TOpen Open(std::chrono::steady_clock::time_point deadline, std::string& failure) override;
  bool IsTls() const override { return true; }
  SSL* Ssl() const override { return ssl_; }
  bool ExportKeyingMaterial(uint8_t* out, size_t out_length, const std::string& label,
                            const std::string& context) const override;
  bool HasBuffered() const override;
  ssize_t ReadSome(void* buffer, size_t count) override;
  bool WriteAll(const void* bytes, size_t count, bool more = false) override;

 private:
  // Writes the whole buffer through OpenSSL, waiting for the socket as needed.
  bool WriteRecords(const uint8_t* bytes, size_t count);

  SSL* ssl_ = nullptr;
  uint32_t send_timeout_ms_;
  // Bytes written with "more": they go out in one record with what follows.
  std::vector<uint8_t> pending_;
};

}  // namespace larkspire::server

#endif  // LARKSPIRE_SERVER_TLS_STREAM_H_
