#include "platform/socket_bio.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace larkspire {
namespace {

struct TBioTarget {
  ISocketApi* Api;
  TSocket Socket;
};

TBioTarget& TargetOf(BIO* bio) {
  return *static_cast<TBioTarget*>(BIO_get_data(bio));
}

bool WouldBlock() {
  return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

int BioWrite(BIO* bio, const char* data, int length) {
  BIO_clear_retry_flags(bio);
  TBioTarget& target = TargetOf(bio);
  const ssize_t n = target.Api->Send(target.Socket, data, static_cast<size_t>(length));
  if (n < 0 && WouldBlock()) BIO_set_retry_write(bio);
  return static_cast<int>(n);
}

int BioRead(BIO* bio, char* data, int length) {
  BIO_clear_retry_flags(bio);
  TBioTarget& target = TargetOf(bio);
  const ssize_t n = target.Api->Recv(target.Socket, data, static_cast<size_t>(length));
  if (n < 0 && WouldBlock()) BIO_set_retry_read(bio);
  return static_cast<int>(n);
}

long BioControl(BIO*, int command, long, void*) {
  return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int BioCreate(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

int BioDestroy(BIO* bio) {
  delete static_cast<TBioTarget*>(BIO_get_data(bio));
  BIO_set_data(bio, nullptr);
  return 1;
}

BIO_METHOD* SocketBioMethod() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* made =
        BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "larkspire socket layer");
    BIO_meth_set_write(made, BioWrite);
    BIO_meth_set_read(made, BioRead);
    BIO_meth_set_ctrl(made, BioControl);
    BIO_meth_set_create(made, BioCreate);
    BIO_meth_set_destroy(made, BioDestroy);
    return made;
  }();
  return method;
}

}  // namespace

BIO* NewSocketBio(ISocketApi& api, TSocket socket) {
  BIO* bio = BIO_new(SocketBioMethod());
  if (bio != nullptr) BIO_set_data(bio, new TBioTarget{&api, socket});
  return bio;
}

ssize_t ReadTlsRecords(SSL* ssl, void* buffer, size_t count) {
  size_t read = 0;
  errno = 0;
  if (SSL_read_ex(ssl, buffer, std::min<size_t>(count, INT_MAX), &read) == 1)
    return static_cast<ssize_t>(read);
  const int error = SSL_get_error(ssl, 0);
  ERR_clear_error();
  if (error == SSL_ERROR_ZERO_RETURN) return 0;
  if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
    errno = EAGAIN;
    return -1;
  }
  if (error == SSL_ERROR_SYSCALL && errno == 0) return 0;
  if (errno == 0 || errno == EAGAIN || errno == EWOULDBLOCK) errno = EPROTO;
  return -1;
}

}  // namespace larkspire
