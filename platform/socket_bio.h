// An OpenSSL BIO that carries TLS records over a connected socket through the socket layer
// (platform/socket_api.h): sends never raise SIGPIPE, a receive time-out or a non-blocking
// socket with nothing to read shows as "retry", and a socket shut down from another thread
// wakes a blocked call.
//
// Thread-safety: a BIO is used by one thread at a time (its SSL object's).
#ifndef LARKSPIRE_PLATFORM_SOCKET_BIO_H_
#define LARKSPIRE_PLATFORM_SOCKET_BIO_H_

#include "platform/socket_api.h"

#include <sys/types.h>

#include <cstddef>

typedef struct bio_st BIO;
typedef struct ssl_st SSL;

namespace larkspire {

// A BIO over socket through api; it does not own the socket. nullptr when OpenSSL fails.
BIO* NewSocketBio(ISocketApi& api, TSocket socket);

// Reads the plaintext of ssl's records into buffer, as recv reads a socket: the bytes read; 0 at
// the end of the stream (an end without close_notify is an end all the same); -1 with errno
// EAGAIN when nothing can be read yet, or another errno (EPROTO when OpenSSL gives none) when
// the stream failed. OpenSSL's error queue is left empty.
ssize_t ReadTlsRecords(SSL* ssl, void* buffer, size_t count);

}  // namespace larkspire

#endif  // LARKSPIRE_PLATFORM_SOCKET_BIO_H_
