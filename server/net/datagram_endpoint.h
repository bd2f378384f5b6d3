// TDatagramEndpoint: the server's endpoint of the reliable datagram transport. It binds one UDP
// port and answers what any endpoint answers (links, keep-alives, acknowledgements), and load
// queries with the server's load: sessions in use x 1000 / the session limit, so that servers
// of different sizes compare. Messages from linked clients (at most kMaxEndpointMessage bytes
// each: they only ever ask to bind a notification link) go to the handler set with SetOnMessage;
// messages to linked clients go out through Engine().
//
// Thread-safety: built and destroyed by the server's owner thread; the load is read on the
// engine's receiving thread through the function given at construction, which must be safe to
// call from there and must outlive the endpoint. The message handler runs on the engine's
// delivery threads, may be set or cleared from any thread, and must stay callable until it is
// cleared or the endpoint is gone (the destructor waits for running deliveries).
#ifndef LARKSPIRE_SERVER_NET_DATAGRAM_ENDPOINT_H_
#define LARKSPIRE_SERVER_NET_DATAGRAM_ENDPOINT_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace larkspire {
class TSuperUdpSocket;
class TStream;
class TDataProcessModule;
}  // namespace larkspire

namespace larkspire::server {

// The load value answered for used sessions out of a limit of max; never negative, and 1000
// (or more, when over the limit) for a full server.
int32_t LoadValue(int used, int max);

// The largest message a client may send to the endpoint.
constexpr uint64_t kMaxEndpointMessage = 4096;

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

  // A whole message from a linked client: its address, port, bytes and channel.
  using TMessageHandler = std::function<void(const std::string& ip, int port, TStream& message,
                                             TDataProcessModule* channel)>;
  void SetOnMessage(TMessageHandler handler);

 private:
  void OnMessage(const std::string& ip, int port, TStream& message, TDataProcessModule* channel);

  std::mutex handler_mutex_;  // guards on_message_
  TMessageHandler on_message_;
  std::unique_ptr<larkspire::TSuperUdpSocket> socket_;
};

}  // namespace larkspire::server

#endif  // LARKSPIRE_SERVER_NET_DATAGRAM_ENDPOINT_H_
