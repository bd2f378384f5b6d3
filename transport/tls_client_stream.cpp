#include "transport/tls_client_stream.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "platform/socket_bio.h"

namespace larkspire {
namespace {

std::string LastErrorText() {
  const unsigned long code = ERR_peek_last_error();
  ERR_clear_error();
  if (code == 0) return "";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

}  // namespace

std::unique_ptr<TTlsClientStream> TTlsClientStream::Open(TSocket socket,
                                                         const TTlsClientSettings& settings,
                                                         const std::string& host,
                                                         std::string& failure,
                                                         bool& verify_failed) {
  verify_failed = false;
  ERR_clear_error();
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  if (context == nullptr) {
    failure = "TLS cannot be set up: " + LastErrorText();
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  // Frames carry their own lengths, so a stream cut without close_notify is seen as a short
  // frame; it reads as an ordinary end of stream here.
  SSL_CTX_set_options(context, SSL_OP_IGNORE_UNEXPECTED_EOF);
  SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
  const bool trusted =
      settings.CaFile.empty()
          ? SSL_CTX_set_default_verify_paths(context) == 1
          : SSL_CTX_load_verify_locations(context, settings.CaFile.c_str(), nullptr) == 1;
  if (!trusted) {
    failure = settings.CaFile.empty()
                  ? "the system's certificate store cannot be read: " + LastErrorText()
                  : "the CA file \"" + settings.CaFile + "\" cannot be read: " + LastErrorText();
    SSL_CTX_free(context);
    return nullptr;
  }
  SSL* ssl = SSL_new(context);
  std::unique_ptr<TTlsClientStream> stream(new TTlsClientStream(context, ssl));
  if (ssl == nullptr) {
    failure = "TLS cannot be set up: " + LastErrorText();
    return nullptr;
  }
  // Records go through the socket layer rather than write(2), which would raise SIGPIPE in a
  // program that has not ignored it.
  BIO* bio = NewSocketBio(SocketApi(), socket);
  if (bio == nullptr) {
    failure = "TLS cannot be set up: " + LastErrorText();
    return nullptr;
  }
  SSL_set_bio(ssl, bio, bio);

  const std::string name = settings.ServerName.empty() ? host : settings.ServerName;
  if (name.empty()) {
    failure = "no server name to check the certificate against";
    return nullptr;
  }
  X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
  // An IPv4 or IPv6 address is matched with the certificate's IP entries; anything else is a
  // host name.
  if (X509_VERIFY_PARAM_set1_ip_asc(param, name.c_str()) != 1) {
    ERR_clear_error();
    SSL_set_tlsext_host_name(ssl, name.c_str());
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    SSL_set1_host(ssl, name.c_str());
  }

  const int rc = SSL_connect(ssl);
  if (rc == 1) return stream;
  const int error = SSL_get_error(ssl, rc);
  const long verify = SSL_get_verify_result(ssl);
  if (verify != X509_V_OK) {
    verify_failed = true;
    failure = std::string("certificate verify failed: ") + X509_verify_cert_error_string(verify);
    if (verify == X509_V_ERR_HOSTNAME_MISMATCH || verify == X509_V_ERR_IP_ADDRESS_MISMATCH)
      failure += " (expected \"" + name + "\")";
  } else if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
    failure = "the TLS handshake timed out";
  } else if (error == SSL_ERROR_SYSCALL && ERR_peek_error() == 0) {
    failure =
        "the server closed the connection during the TLS handshake (does its port speak TLS?)";
  } else {
    const std::string text = LastErrorText();
    failure = "the TLS handshake failed" + (text.empty() ? std::string() : ": " + text);
  }
  ERR_clear_error();
  return nullptr;
}

TTlsClientStream::~TTlsClientStream() {
  if (ssl_ != nullptr) SSL_free(ssl_);
  SSL_CTX_free(context_);
}

ssize_t TTlsClientStream::Send(const void* buffer, size_t count) {
  size_t written = 0;
  const size_t part = std::min<size_t>(count, INT_MAX);
  if (SSL_write_ex(ssl_, buffer, part, &written) == 1) return static_cast<ssize_t>(written);
  const int error = SSL_get_error(ssl_, 0);
  ERR_clear_error();
  if (error == SSL_ERROR_WANT_WRITE || error == SSL_ERROR_WANT_READ)
    errno = EAGAIN;
  else if (errno == 0 || errno == EAGAIN)
    errno = EPIPE;
  return -1;
}

ssize_t TTlsClientStream::Recv(void* buffer, size_t count) {
  return ReadTlsRecords(ssl_, buffer, count);
}

bool TTlsClientStream::ExportKeyingMaterial(uint8_t* out, size_t out_length,
                                            const char* label) const {
  return SSL_export_keying_material(ssl_, out, out_length, label, std::strlen(label), nullptr, 0,
                                    0) == 1;
}

std::string TTlsClientStream::Version() const {
  return SSL_get_version(ssl_);
}

}  // namespace larkspire
