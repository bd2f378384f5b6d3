#include "server/net/datagram_endpoint.h"

#include <limits>

#include "platform/exception.h"
#include "transport/datagram_socket.h"

namespace larkspire::server {
namespace {

// Every interface when none is named; "::" (or any IPv6 address) takes both families.
std::string DatagramBindAddress(const std::string& address) {
  return address.empty() ? "0.0.0.0" : address;
}

}  // namespace

int32_t LoadValue(int used, int max) {
  if (used <= 0) return 0;
  if (max <= 0) return 1000;
  const int64_t value = int64_t{used} * 1000 / max;
  return value > std::numeric_limits<int32_t>::max() ? std::numeric_limits<int32_t>::max()
                                                     : static_cast<int32_t>(value);
}

TDatagramEndpoint::TDatagramEndpoint(const std::string& address, int port,
                                     std::function<int32_t()> load) {
  try {
    socket_ = std::make_unique<larkspire::TSuperUdpSocket>(
        DatagramBindAddress(address), port, 0, larkspire::TDatagramTiming{},
        [&load, this](larkspire::TSuperUdpSocket& socket) {
          socket.OnQueryLoad = std::move(load);
          larkspire::TDatagramLimits limits = socket.Limits();
          limits.MaxMessageBytes = kMaxEndpointMessage;
          socket.SetLimits(limits);
          socket.OnRecvStream = [this](const std::string& ip, int port, TStream& message,
                                       TDataProcessModule* channel) {
            OnMessage(ip, port, message, channel);
          };
        });
  } catch (const larkspire::Exception&) {
    const std::string host = DatagramBindAddress(address);
    const bool v6 = host.find(':') != std::string::npos;
    throw larkspire::Exception("cannot bind the datagram port " + (v6 ? "[" + host + "]" : host) +
                               ":" + std::to_string(port));
  }
}

TDatagramEndpoint::~TDatagramEndpoint() = default;

int TDatagramEndpoint::Port() const {
  return socket_->Port();
}

void TDatagramEndpoint::SetOnMessage(TMessageHandler handler) {
  std::lock_guard lock(handler_mutex_);
  on_message_ = std::move(handler);
}

void TDatagramEndpoint::OnMessage(const std::string& ip, int port, TStream& message,
                                  TDataProcessModule* channel) {
  TMessageHandler handler;
  {
    std::lock_guard lock(handler_mutex_);
    handler = on_message_;
  }
  if (handler) handler(ip, port, message, channel);
}

}  // namespace larkspire::server
