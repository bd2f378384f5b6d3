#include "server/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/codepage.h"
#include "platform/exception.h"
#include "server/file_service.h"

namespace larkspire::server {

namespace {

std::string AddressText(const sockaddr* address) {
  char host[INET6_ADDRSTRLEN] = "?";
  uint16_t port = 0;
  if (address->sa_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
    ::inet_ntop(AF_INET, &v4->sin_addr, host, sizeof host);
    port = ntohs(v4->sin_port);
    return std::string(host) + ":" + std::to_string(port);
  }
  if (address->sa_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
    ::inet_ntop(AF_INET6, &v6->sin6_addr, host, sizeof host);
    port = ntohs(v6->sin6_port);
    return "[" + std::string(host) + "]:" + std::to_string(port);
  }
  return "?";
}

uint16_t AddressPort(const sockaddr* address) {
  if (address->sa_family == AF_INET) {
    return ntohs(reinterpret_cast<const sockaddr_in*>(address)->sin_port);
  }
  if (address->sa_family == AF_INET6) {
    return ntohs(reinterpret_cast<const sockaddr_in6*>(address)->sin6_port);
  }
  return 0;
}

void CloseQuietly(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

TServer::TServer(TServerOptions options)
    : options_(std::move(options)), context_{options_, catalog_, dispatch_, stopping_} {}

TServer::~TServer() {
  Stop();
}

void TServer::Start() {
  if (started_) return;
  SetAnsiCodePage(options_.CodePage);
  catalog_ = BuildDatabaseCatalog(options_);
  // Open every SQLite database once so that a wrong path stops the start, not a client.
  for (const auto& [name, locator] : catalog_.All()) {
    if (locator.Kind == TDatabaseKind::dkSQLite) OpenDatabase(locator);
  }
  dispatch_ = BuildDispatchTable();
  // The file commands serve this folder; a missing --files folder stops the start.
  options_.FilesDir = PrepareFilesRoot(options_);

  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  std::string service = std::to_string(options_.Port);
  int rc = ::getaddrinfo(options_.Bind.c_str(), service.c_str(), &hints, &found);
  if (rc != 0) {
    throw Exception("cannot resolve --bind " + options_.Bind + ": " + ::gai_strerror(rc));
  }
  std::string failure = "no address";
  for (addrinfo* entry = found; entry && listen_socket_ < 0; entry = entry->ai_next) {
    int fd = ::socket(entry->ai_family, entry->ai_socktype | SOCK_CLOEXEC, entry->ai_protocol);
    if (fd < 0) {
      failure = std::strerror(errno);
      continue;
    }
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(fd, entry->ai_addr, entry->ai_addrlen) != 0 || ::listen(fd, 128) != 0) {
      failure = std::strerror(errno);
      ::close(fd);
      continue;
    }
    listen_socket_ = fd;
  }
  ::freeaddrinfo(found);
  if (listen_socket_ < 0) {
    throw Exception("cannot listen on " + options_.Bind + ":" + service + ": " + failure);
  }
  sockaddr_storage bound{};
  socklen_t bound_length = sizeof bound;
  ::getsockname(listen_socket_, reinterpret_cast<sockaddr*>(&bound), &bound_length);
  port_ = AddressPort(reinterpret_cast<sockaddr*>(&bound));
  address_ = AddressText(reinterpret_cast<sockaddr*>(&bound));

  if (::pipe2(wake_pipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
    int code = errno;
    CloseQuietly(listen_socket_);
    throw Exception(std::string("cannot create the wake-up pipe: ") + std::strerror(code));
  }
  stopping_ = false;
  started_ = true;
  accept_thread_ = std::thread([this] { AcceptLoop(); });
  ServerLog("larkspire-server listening on " + address_ + ", " +
            std::to_string(catalog_.All().size()) + " database names, at most " +
            std::to_string(options_.MaxConnections) + " connections");
}

void TServer::Wake() {
  char byte = 1;
  ssize_t ignored = ::write(wake_pipe_[1], &byte, 1);
  (void)ignored;
}

void TServer::AcceptLoop() {
  while (!stopping_) {
    pollfd fds[2] = {{listen_socket_, POLLIN, 0}, {wake_pipe_[0], POLLIN, 0}};
    int ready = ::poll(fds, 2, 1000);
    if (ready < 0 && errno != EINTR) break;
    if (fds[1].revents & POLLIN) {
      char drain[64];
      while (::read(wake_pipe_[0], drain, sizeof drain) > 0) {
      }
    }
    Reap(false);
    if (stopping_) break;
    if (!(fds[0].revents & POLLIN)) continue;
    sockaddr_storage peer{};
    socklen_t peer_length = sizeof peer;
    int fd =
        ::accept4(listen_socket_, reinterpret_cast<sockaddr*>(&peer), &peer_length, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        ServerLog(std::string("accept failed: ") + std::strerror(errno));
        ::poll(nullptr, 0, 100);  // let sessions end before trying again
      }
      continue;
    }
    StartClient(fd, AddressText(reinterpret_cast<sockaddr*>(&peer)));
  }
}

void TServer::StartClient(int socket, const std::string& peer) {
  bool over_limit = active_ >= options_.MaxConnections;
  if (over_limit && refusing_ >= options_.MaxPendingRefusals) {
    ServerLog("peer " + peer + " closed at once: connections limit and refusals pending");
    ::close(socket);
    return;
  }
  // Frames leave in one call each, so no-delay costs no small segments.
  int on = 1;
  ::setsockopt(socket, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  std::atomic<int>& counter = over_limit ? refusing_ : active_;
  ++counter;
  std::lock_guard<std::mutex> lock(clients_mutex_);
  auto client = std::make_unique<TClient>();
  TClient* raw = client.get();
  raw->Socket = socket;
  try {
    raw->Thread = std::thread([this, raw, socket, peer, over_limit, &counter] {
      {
        TSession session(context_, socket, peer);
        if (over_limit) {
          session.RefuseOverLimit();
        } else {
          session.Run();
        }
      }
      ::shutdown(socket, SHUT_RDWR);
      --counter;
      raw->Done = true;
      Wake();
    });
  } catch (const std::exception& e) {
    --counter;
    ServerLog("peer " + peer + " closed at once: no thread for it (" + e.what() + ")");
    ::close(socket);
    return;
  }
  clients_.push_back(std::move(client));
}

void TServer::Reap(bool every) {
  std::lock_guard<std::mutex> lock(clients_mutex_);
  for (auto it = clients_.begin(); it != clients_.end();) {
    TClient& client = **it;
    if (every || client.Done) {
      if (client.Thread.joinable()) client.Thread.join();
      CloseQuietly(client.Socket);
      it = clients_.erase(it);
    } else {
      ++it;
    }
  }
}

void TServer::CutClients(int how) {
  std::lock_guard<std::mutex> lock(clients_mutex_);
  for (auto& client : clients_) {
    if (!client->Done) ::shutdown(client->Socket, how);
  }
}

bool TServer::AllClientsDone() {
  std::lock_guard<std::mutex> lock(clients_mutex_);
  for (auto& client : clients_) {
    if (!client->Done) return false;
  }
  return true;
}

void TServer::Stop() {
  if (!started_) return;
  stopping_ = true;
  Wake();
  if (accept_thread_.joinable()) accept_thread_.join();
  CloseQuietly(listen_socket_);
  // No new requests: a session waiting for one sees the end of its stream, while one that is
  // answering finishes and sends its reply. Connections still busy after the grace are cut.
  CutClients(SHUT_RD);
  const auto grace_end =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(options_.StopGraceMs);
  while (!AllClientsDone() && std::chrono::steady_clock::now() < grace_end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  CutClients(SHUT_RDWR);
  Reap(true);
  CloseQuietly(wake_pipe_[0]);
  CloseQuietly(wake_pipe_[1]);
  started_ = false;
  ServerLog("larkspire-server on " + address_ + " stopped");
}

}  // namespace larkspire::server
