// An OpenSSL BIO that carries TLS records over a connected socket through the socket layer
// (platform/socket_api.h): sends never raise SIGPIPE, a receive time-out or a non-blocking
// socket with nothing to read shows as "retry", and a socket shut down from another thread
// wakes a blocked call.
//
// Thread-safety: a BIO is used by one thread at a time (its SSL object's).
#ifndef LARKSPIRE_PLATFORM_SOCKET_BIO_H_
#define LARKSPIRE_PLATFORM_SOCKET_BIO_H_

#include "platform/socket_api.h"

typedef struct bio_st BIO;

namespace larkspire {

// A BIO over socket through api; it does not own the socket. nullptr when OpenSSL fails.
BIO* NewSocketBio(ISocketApi& api, TSocket socket);

}  // namespace larkspire

#endif  // LARKSPIRE_PLATFORM_SOCKET_BIO_H_
