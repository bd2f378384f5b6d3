// TDatagramEndpoint: the server's endpoint of the reliable datagram transport. It binds one UDP
// port and answers what any endpoint answers (links, keep-alives, acknowledgements), and load
// queries with the server's load: sessions in use x 1000 / the session limit, so that servers
// of different sizes compare. Later datagram traffic (messages to linked clients) goes through
// Engine().
//
// Thread-safety: built and destroyed by the server's owner thread; the load is read on the
// engine's receiving thread through the function given at construction, which must be safe to
// call from there and must outlive the endpoint.
#ifndef LARKSPIRE_SERVER_NET_DATAGRAM_ENDPOINT_H_
#define LARKSPIRE_SERVER_NET_DATAGRAM_ENDPOINT_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace larkspire {
class TSuperUdpSocket;
}

namespace larkspire::server {

// The load value answered for used sessions out of a limit of max; never negative, and 1000
// (or more, when over the limit) for a full server.
int32_t LoadValue(int used, int max);

class TDatagramEndpoint {
 public:
  // Binds address:port ("0.0.0.0" or "" for every IPv4 interface; "::" for every interface of
  // both families, another IPv6 address for that address). Raises Exception naming the address
  // and port when the port cannot be bound.
  TDatagramEndpoint(const std::string& address, int port, std::function<int32_t()> load);
  TDatagramEndpoint(const TDatagramEndpoint&) = delete;
  TDatagramEndpoint& operator=(const TDatagramEndpoint&) = delete;
  ~TDatagramEndpoint();

  int Port() const;
  larkspire::TSuperUdpSocket& Engine() { return *socket_; }

 private:
  std::unique_ptr<larkspire::TSuperUdpSocket> socket_;
};

}  // namespace larkspire::server

#endif  // LARKSPIRE_SERVER_NET_DATAGRAM_ENDPOINT_H_
