#include "server/metrics/metrics_http.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <list>
#include <vector>

#include "platform/exception.h"

namespace larkspire::server {

namespace {

using TClock = std::chrono::steady_clock;

// One connection: its request head as it comes, then its answer as it goes, then the wait for
// the peer to close (so that closing does not reset the connection under the answer).
struct TClient {
  TUniqueFd Socket;
  TClock::time_point Until;
  std::string In;
  std::string Out;
  size_t Sent = 0;
  enum class TState { csReading, csWriting, csDraining } State = TState::csReading;
};

std::string AddressText(const sockaddr_storage& address) {
  char host[INET6_ADDRSTRLEN] = "?";
  if (address.ss_family == AF_INET6) {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
    ::inet_ntop(AF_INET6, &v6.sin6_addr, host, sizeof host);
    return "[" + std::string(host) + "]:" + std::to_string(ntohs(v6.sin6_port));
  }
  const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
  ::inet_ntop(AF_INET, &v4.sin_addr, host, sizeof host);
  return std::string(host) + ":" + std::to_string(ntohs(v4.sin_port));
}

std::string Response(int status, const char* reason, const std::string& type,
                     const std::string& body, bool head_only, const char* extra = "") {
  std::string out = "HTTP/1.1 " + std::to_string(status) + " " + reason +
                    "\r\nContent-Type: " + type +
                    "\r\nContent-Length: " + std::to_string(body.size()) +
                    "\r\nCache-Control: no-store\r\nConnection: close\r\n" + extra + "\r\n";
  if (!head_only) out += body;
  return out;
}

// Where the request head ends (just past its blank line), or npos while it is not whole.
size_t HeadEnd(const std::string& in) {
  const size_t crlf = in.find("\r\n\r\n");
  const size_t lf = in.find("\n\n");
  if (crlf == std::string::npos && lf == std::string::npos) return std::string::npos;
  if (lf == std::string::npos || (crlf != std::string::npos && crlf < lf)) return crlf + 4;
  return lf + 2;
}

// Reads what has come; false when the peer closed or failed.
bool ReadAvailable(TClient& client, size_t limit) {
  char buffer[4096];
  for (;;) {
    const size_t room = limit > client.In.size() ? limit - client.In.size() : 0;
    if (room == 0 && client.State == TClient::TState::csReading) return true;
    const size_t want = client.State == TClient::TState::csReading
                            ? std::min(room, sizeof buffer)
                            : sizeof buffer;  // draining: read and drop
    const ssize_t got = ::recv(client.Socket.Fd(), buffer, want, MSG_DONTWAIT);
    if (got > 0) {
      if (client.State == TClient::TState::csReading) client.In.append(buffer, got);
      continue;
    }
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return true;
    return false;
  }
}

// Sends what the socket takes; false when the peer failed.
bool WriteAvailable(TClient& client) {
  while (client.Sent < client.Out.size()) {
    const ssize_t sent = ::send(client.Socket.Fd(), client.Out.data() + client.Sent,
                                client.Out.size() - client.Sent, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent > 0) {
      client.Sent += static_cast<size_t>(sent);
      continue;
    }
    return sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
  }
  return true;
}

}  // namespace

TMetricsHttpServer::TMetricsHttpServer(const std::string& host, uint16_t port, THandlers handlers)
    : handlers_(std::move(handlers)) {
  const std::string where =
      (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  if (rc != 0) throw Exception("cannot resolve --metrics " + where + ": " + ::gai_strerror(rc));
  std::string failure = "no address";
  for (addrinfo* entry = found; entry != nullptr && !listening_.IsOpen(); entry = entry->ai_next) {
    TUniqueFd fd(::socket(entry->ai_family, entry->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                          entry->ai_protocol));
    if (!fd.IsOpen()) {
      failure = std::strerror(errno);
      continue;
    }
    int on = 1;
    ::setsockopt(fd.Fd(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(fd.Fd(), entry->ai_addr, entry->ai_addrlen) != 0 || ::listen(fd.Fd(), 64) != 0) {
      failure = std::strerror(errno);
      continue;
    }
    listening_ = std::move(fd);
  }
  ::freeaddrinfo(found);
  if (!listening_.IsOpen()) throw Exception("cannot listen on --metrics " + where + ": " + failure);
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  ::getsockname(listening_.Fd(), reinterpret_cast<sockaddr*>(&bound), &length);
  address_ = AddressText(bound);
  port_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(bound).sin6_port
                                            : reinterpret_cast<sockaddr_in&>(bound).sin_port);
  int pipe_ends[2];
  if (::pipe2(pipe_ends, O_CLOEXEC | O_NONBLOCK) != 0) {
    throw Exception(std::string("cannot create the metrics wake-up pipe: ") + std::strerror(errno));
  }
  wake_read_.Reset(pipe_ends[0]);
  wake_write_.Reset(pipe_ends[1]);
  thread_ = std::thread([this] { Loop(); });
}

TMetricsHttpServer::~TMetricsHttpServer() {
  stop_ = true;
  const char byte = 1;
  const ssize_t ignored = ::write(wake_write_.Fd(), &byte, 1);
  (void)ignored;
  if (thread_.joinable()) thread_.join();
}

std::string TMetricsHttpServer::Answer(const std::string& head) const {
  const std::string text = "text/plain; charset=utf-8";
  // The request line: METHOD SP TARGET SP HTTP/1.x
  const size_t line_end = head.find_first_of("\r\n");
  const std::string line = head.substr(0, line_end);
  const size_t first = line.find(' ');
  const size_t second = first == std::string::npos ? first : line.find(' ', first + 1);
  if (second == std::string::npos || line.compare(second + 1, 7, "HTTP/1.") != 0 ||
      line.find(' ', second + 1) != std::string::npos) {
    return Response(400, "Bad Request", text, "bad request\n", false);
  }
  const std::string method = line.substr(0, first);
  const std::string target = line.substr(first + 1, second - first - 1);
  const bool head_only = method == "HEAD";
  if (method != "GET" && !head_only) {
    return Response(405, "Method Not Allowed", text, "only GET and HEAD\n", false,
                    "Allow: GET, HEAD\r\n");
  }
  const std::string path = target.substr(0, target.find('?'));
  if (path == "/metrics") {
    try {
      return Response(200, "OK", "text/plain; version=0.0.4; charset=utf-8", handlers_.Metrics(),
                      head_only);
    } catch (const std::exception& e) {
      return Response(500, "Internal Server Error", text,
                      std::string("metrics could not be rendered: ") + e.what() + "\n", head_only);
    }
  }
  if (path == "/healthz") {
    return handlers_.Healthy()
               ? Response(200, "OK", text, "ok\n", head_only)
               : Response(503, "Service Unavailable", text, "stopping\n", head_only);
  }
  return Response(404, "Not Found", text, "not found\n", head_only);
}

void TMetricsHttpServer::Loop() {
  std::list<TClient> clients;
  std::vector<pollfd> fds;
  while (!stop_) {
    const auto now = TClock::now();
    int timeout_ms = 1000;
    fds.assign({{wake_read_.Fd(), POLLIN, 0},
                {clients.size() < kMaxClients ? listening_.Fd() : -1, POLLIN, 0}});
    for (const TClient& client : clients) {
      fds.push_back(
          {client.Socket.Fd(),
           static_cast<short>(client.State == TClient::TState::csWriting ? POLLOUT : POLLIN), 0});
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(client.Until - now).count();
      timeout_ms = static_cast<int>(std::clamp<int64_t>(left, 0, timeout_ms));
    }
    if (::poll(fds.data(), fds.size(), timeout_ms) < 0 && errno != EINTR) break;
    if (stop_) break;
    if (fds[0].revents & POLLIN) {
      char drain[64];
      while (::read(wake_read_.Fd(), drain, sizeof drain) > 0) {
      }
    }
    size_t index = 2;
    for (auto it = clients.begin(); it != clients.end(); ++index) {
      TClient& client = *it;
      bool keep = TClock::now() < client.Until;
      if (keep && fds[index].revents != 0) {
        if (client.State == TClient::TState::csWriting) {
          keep = WriteAvailable(client);
        } else {
          keep = ReadAvailable(client, kMaxRequestHead);
          if (client.State == TClient::TState::csReading) {
            const size_t end = HeadEnd(client.In);
            if (end != std::string::npos) {
              client.Out = Answer(client.In.substr(0, end));
            } else if (client.In.size() >= kMaxRequestHead) {
              client.Out = Response(431, "Request Header Fields Too Large",
                                    "text/plain; charset=utf-8", "request head too long\n", false);
            } else if (!keep) {
              client.Out.clear();  // closed before a whole request: nothing to answer
            }
            if (!client.Out.empty()) {
              client.In.clear();
              client.State = TClient::TState::csWriting;
              keep = WriteAvailable(client);
            }
          }
        }
        if (keep && client.State == TClient::TState::csWriting &&
            client.Sent == client.Out.size()) {
          ::shutdown(client.Socket.Fd(), SHUT_WR);
          client.State = TClient::TState::csDraining;
        }
      }
      it = keep ? std::next(it) : clients.erase(it);
    }
    if (fds[1].fd >= 0 && (fds[1].revents & POLLIN)) {
      while (clients.size() < kMaxClients) {
        TUniqueFd socket(
            ::accept4(listening_.Fd(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (!socket.IsOpen()) {
          // Out of descriptors: let some close before trying again, rather than spin.
          if (errno == EMFILE || errno == ENFILE) ::poll(nullptr, 0, 100);
          break;
        }
        TClient client;
        client.Socket = std::move(socket);
        client.Until = TClock::now() + kClientTime;
        clients.push_back(std::move(client));
      }
    }
  }
}

}  // namespace larkspire::server
