// The datagram socket layer: POSIX UDP sockets (IPv4, or IPv6 taking both families) behind the
// operations the reliable datagram transport needs. All calls go through an IDatagramApi so that
// tests can install a double that fails or counts chosen calls.
//
// Sockets are created close-on-exec. Ports are in host byte order. An IPv6 socket is dual-stack:
// it receives from IPv4 peers too (their addresses come back as plain IPv4) and sends to an
// IPv4 address given IPv4-mapped (TIpAddress::MappedToIPv6); an address is sent to as given.
//
// Thread-safety: the default API may be used from any thread; install a double before threads
// use it.
#ifndef LARKSPIRE_PLATFORM_DATAGRAM_API_H_
#define LARKSPIRE_PLATFORM_DATAGRAM_API_H_

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "platform/ip_address.h"
#include "platform/socket_api.h"

namespace larkspire {

// What a receive returned besides its length.
struct TDatagramSource {
  TIpAddress address;      // sender, IPv4-mapped ones as IPv4
  uint16_t port = 0;       // sender, host byte order
  bool truncated = false;  // the datagram was longer than the buffer; its tail was lost
};

// One datagram of a batch receive: the caller's buffer, and what arrived in it.
struct TReceivedDatagram {
  void* buffer = nullptr;
  size_t size = 0;
  size_t length = 0;
  TDatagramSource source;
};

// One datagram of a batch send.
struct TOutgoingDatagram {
  const void* buffer = nullptr;
  size_t length = 0;
  TIpAddress address;
  uint16_t port = 0;
};

class IDatagramApi {
 public:
  virtual ~IDatagramApi() = default;
  // A datagram socket of the family (IPv6 with IPV6_V6ONLY off), or kInvalidSocket.
  virtual TSocket CreateDatagramSocket(TIpFamily family) = 0;
  virtual int Bind(TSocket socket, const TIpAddress& address, uint16_t port) = 0;
  // The locally bound address and port.
  virtual int LocalAddress(TSocket socket, TIpAddress& address, uint16_t& port) = 0;
  // Asks the kernel for a receive (or send) buffer of this many bytes; best effort.
  virtual int SetBufferSizes(TSocket socket, int receive_bytes, int send_bytes) = 0;
  // Blocks for one datagram; its length (0 for an empty datagram or after Shutdown), or -1.
  virtual ssize_t ReceiveFrom(TSocket socket, void* buffer, size_t size,
                              TDatagramSource& source) = 0;
  virtual ssize_t SendTo(TSocket socket, const void* buffer, size_t count,
                         const TIpAddress& address, uint16_t port) = 0;
  // Blocks for one datagram, then takes the ones already queued without waiting, up to count.
  // How many arrived (0 after Shutdown), or -1.
  virtual int ReceiveBatch(TSocket socket, TReceivedDatagram* items, int count) = 0;
  // Sends every item, each as one datagram to its own address; how many went out.
  virtual int SendBatch(TSocket socket, const TOutgoingDatagram* items, int count) = 0;
  // Waits up to timeout_ms (< 0: for ever) until a datagram can be read: 1 ready, 0 not, -1 error.
  virtual int WaitReadable(TSocket socket, int timeout_ms) = 0;
  // Wakes a thread blocked in ReceiveFrom on this socket, which then returns 0.
  virtual int Shutdown(TSocket socket) = 0;
  virtual int Close(TSocket socket) = 0;
};

// The POSIX implementation.
IDatagramApi& PosixDatagramApi();
// The API in use.
IDatagramApi& DatagramApi();
// Installs an API; nullptr restores the POSIX one. Returns the previous one.
IDatagramApi* SetDatagramApi(IDatagramApi* api);

}  // namespace larkspire

#endif  // LARKSPIRE_PLATFORM_DATAGRAM_API_H_
