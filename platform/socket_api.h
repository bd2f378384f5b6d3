// The socket layer: POSIX sockets behind the operations the transport needs, with the
// socket-set functions used with Select. Start-up and clean-up exist for the shape of the
// calling code and do nothing here.
//
// All calls go through an ISocketApi so that tests can install a double that fails chosen calls.
// Sockets are created close-on-exec; sends never raise SIGPIPE.
//
// Thread-safety: the default API may be used from any thread; install a double before threads
// use it.
#ifndef LARKSPIRE_PLATFORM_SOCKET_API_H_
#define LARKSPIRE_PLATFORM_SOCKET_API_H_

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "platform/ip_address.h"

namespace larkspire {

using TSocket = int;
constexpr TSocket kInvalidSocket = -1;
constexpr int kSocketError = -1;

// A socket set: a count followed by room for 64 sockets.
struct TFDSet {
  uint32_t fd_count = 0;
  TSocket fd_array[64];
};

// count := 0.
void SocketSetClear(TFDSet& set);
// Appends when the count is below 64, else ignores; no duplicate check.
void SocketSetAdd(TSocket socket, TFDSet& set);
bool SocketSetHas(TSocket socket, const TFDSet& set);

// Process start-up and clean-up of the socket library; nothing to do on this platform.
void SocketStartup();
void SocketCleanup();

class ISocketApi {
 public:
  virtual ~ISocketApi() = default;
  // A stream socket of the family, or kInvalidSocket.
  virtual TSocket CreateStreamSocket(TIpFamily family) = 0;
  virtual int Close(TSocket socket) = 0;
  // Ends both directions of a connection without closing the socket: a call blocked on it in
  // another thread returns at once, and every later send or receive fails.
  virtual int Shutdown(TSocket socket) = 0;
  virtual int SetNonBlocking(TSocket socket, bool non_blocking) = 0;
  // port in host byte order; the address of the socket's family.
  virtual int Connect(TSocket socket, const TIpAddress& address, uint16_t port) = 0;
  // Waits until a socket of a set is ready; sets that are not null keep only the ready ones.
  // timeout_ms < 0 waits for ever. Returns the number ready, 0 on time-out, -1 on error.
  virtual int Select(TFDSet* read, TFDSet* write, TFDSet* except, int timeout_ms) = 0;
  // SO_KEEPALIVE, then the idle time and probe interval (milliseconds, rounded up to whole
  // seconds on this platform).
  virtual int SetKeepAlive(TSocket socket, bool on, uint32_t idle_ms, uint32_t interval_ms) = 0;
  virtual int SetNoDelay(TSocket socket, bool on) = 0;
  // 0 waits for ever.
  virtual int SetReceiveTimeout(TSocket socket, uint32_t milliseconds) = 0;
  virtual ssize_t Send(TSocket socket, const void* buffer, size_t count) = 0;
  virtual ssize_t Recv(TSocket socket, void* buffer, size_t count) = 0;
  // Host-name look-up: the name's first IPv4 address, or its first IPv6 address when it has no
  // IPv4 one.
  virtual bool LookupHost(const std::string& name, TIpAddress& address) = 0;
};

// The POSIX implementation.
ISocketApi& PosixSocketApi();
// The API in use.
ISocketApi& SocketApi();
// Installs an API; nullptr restores the POSIX one. Returns the previous one.
ISocketApi* SetSocketApi(ISocketApi* api);

}  // namespace larkspire

#endif  // LARKSPIRE_PLATFORM_SOCKET_API_H_
