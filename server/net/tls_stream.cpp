#include "server/net/tls_stream.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "platform/exception.h"
#include "platform/socket_bio.h"

namespace larkspire::server {

namespace {

// The most plaintext one TLS record carries.
constexpr size_t kRecordSize = 16 * 1024;

std::string TakeErrorText() {
  const unsigned long code = ERR_peek_last_error();
  ERR_clear_error();
  if (code == 0) return "no reason given";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

bool WouldBlock() {
  return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

// Waits for events on the socket until deadline; false when it passed or poll failed.
bool WaitFor(int socket, short events, std::chrono::steady_clock::time_point deadline) {
  while (true) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
            .count();
    if (left <= 0) return false;
    pollfd entry{socket, events, 0};
    const int ready = ::poll(&entry, 1, static_cast<int>(std::min<int64_t>(left, 3600000)));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
}

}  // namespace

TTlsServerContext::TTlsServerContext(const std::string& certificate_file,
                                     const std::string& key_file) {
  ERR_clear_error();
  context_ = SSL_CTX_new(TLS_server_method());
  if (context_ == nullptr) throw Exception("TLS cannot be set up: " + TakeErrorText());
  SSL_CTX_set_min_proto_version(context_, TLS1_2_VERSION);
  // Frames carry their own lengths, so a client that closes without close_notify is an
  // ordinary end of its stream.
  SSL_CTX_set_options(context_, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION);
  SSL_CTX_set_mode(context_, SSL_MODE_ENABLE_PARTIAL_WRITE);
  if (SSL_CTX_use_certificate_chain_file(context_, certificate_file.c_str()) != 1) {
    const std::string reason = TakeErrorText();
    SSL_CTX_free(context_);
    throw Exception("--tls-cert \"" + certificate_file + "\" cannot be used: " + reason);
  }
  if (SSL_CTX_use_PrivateKey_file(context_, key_file.c_str(), SSL_FILETYPE_PEM) != 1) {
    const std::string reason = TakeErrorText();
    SSL_CTX_free(context_);
    throw Exception("--tls-key \"" + key_file + "\" cannot be used: " + reason);
  }
  if (SSL_CTX_check_private_key(context_) != 1) {
    const std::string reason = TakeErrorText();
    SSL_CTX_free(context_);
    throw Exception("--tls-key \"" + key_file + "\" does not belong to --tls-cert \"" +
                    certificate_file + "\": " + reason);
  }
}

TTlsServerContext::~TTlsServerContext() {
  SSL_CTX_free(context_);
}

TTlsConnStream::TTlsConnStream(int socket, const TTlsServerContext& context,
                               uint32_t send_timeout_ms)
    : TConnStream(socket), send_timeout_ms_(send_timeout_ms) {
  ::fcntl(socket, F_SETFL, ::fcntl(socket, F_GETFL) | O_NONBLOCK);
  ssl_ = SSL_new(context.Get());
  if (ssl_ == nullptr) return;
  // Records leave through send(MSG_NOSIGNAL): a client that went away never raises SIGPIPE.
  BIO* bio = NewSocketBio(PosixSocketApi(), socket);
  if (bio == nullptr) {
    SSL_free(ssl_);
    ssl_ = nullptr;
    return;
  }
  SSL_set_bio(ssl_, bio, bio);
}

TTlsConnStream::~TTlsConnStream() {
  if (ssl_ != nullptr) SSL_free(ssl_);
}

TConnStream::TOpen TTlsConnStream::Open(std::chrono::steady_clock::time_point deadline,
                                        std::string& failure) {
  if (ssl_ == nullptr) {
    failure = "TLS cannot be set up: " + TakeErrorText();
    return TOpen::osFailed;
  }
  // A TLS client starts with a handshake record (22); a plaintext client's frame starts with
  // its length, whose first byte is 0 for any handshake it sends.
  if (!WaitFor(Fd(), POLLIN, deadline)) {
    failure = "no TLS handshake: timed out";
    return TOpen::osFailed;
  }
  uint8_t first = 0;
  const ssize_t peeked = ::recv(Fd(), &first, 1, MSG_PEEK | MSG_DONTWAIT);
  if (peeked == 0) {
    failure = "no TLS handshake: closed by the client";
    return TOpen::osFailed;
  }
  if (peeked == 1 && first != 22) return TOpen::osPlaintextPeer;
  ERR_clear_error();
  while (true) {
    const int rc = SSL_accept(ssl_);
    if (rc == 1) return TOpen::osReady;
    const int error = SSL_get_error(ssl_, rc);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
      if (WaitFor(Fd(), error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline)) continue;
      failure = "TLS handshake timed out";
    } else if (error == SSL_ERROR_SYSCALL && ERR_peek_error() == 0) {
      failure = "TLS handshake: closed by the client";
    } else {
      failure = "TLS handshake failed: " + TakeErrorText();
    }
    ERR_clear_error();
    return TOpen::osFailed;
  }
}

bool TTlsConnStream::ExportKeyingMaterial(uint8_t* out, size_t out_length, const std::string& label,
                                          const std::string& context) const {
  if (ssl_ == nullptr) return false;
  return SSL_export_keying_material(ssl_, out, out_length, label.data(), label.size(),
                                    reinterpret_cast<const unsigned char*>(context.data()),
                                    context.size(), 1) == 1;
}

bool TTlsConnStream::HasBuffered() const {
  return ssl_ != nullptr && SSL_pending(ssl_) > 0;
}

ssize_t TTlsConnStream::ReadSome(void* buffer, size_t count) {
  return ReadTlsRecords(ssl_, buffer, count);
}

bool TTlsConnStream::WriteRecords(const uint8_t* bytes, size_t count) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(send_timeout_ms_);
  size_t done = 0;
  while (done < count) {
    size_t written = 0;
    if (SSL_write_ex(ssl_, bytes + done, std::min<size_t>(count - done, INT_MAX), &written) == 1) {
      done += written;
      continue;
    }
    const int error = SSL_get_error(ssl_, 0);
    ERR_clear_error();
    if (error == SSL_ERROR_WANT_WRITE || error == SSL_ERROR_WANT_READ) {
      if (WaitFor(Fd(), error == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN, deadline)) continue;
      errno = EAGAIN;  // the client took nothing within the send time-out
      return false;
    }
    if (errno == 0 || WouldBlock()) errno = EPIPE;
    return false;
  }
  return true;
}

bool TTlsConnStream::WriteAll(const void* bytes, size_t count, bool more) {
  if (ssl_ == nullptr) return false;
  const auto* data = static_cast<const uint8_t*>(bytes);
  if (pending_.empty() && !more) return WriteRecords(data, count);
  // What was held back leaves with the start of these bytes, in one record.
  const size_t joined =
      std::min(count, kRecordSize > pending_.size() ? kRecordSize - pending_.size() : 0);
  pending_.insert(pending_.end(), data, data + joined);
  if (more && pending_.size() < kRecordSize && joined == count) return true;
  const bool sent = WriteRecords(pending_.data(), pending_.size());
  pending_.clear();
  return sent && WriteRecords(data + joined, count - joined);
}

}  // namespace larkspire::server
