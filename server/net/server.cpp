#include "server/net/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/codepage.h"
#include "platform/exception.h"
#include "platform/ip_address.h"
#include "protocol/frame.h"
#include "protocol/handshake.h"
#include "server/base/server_errors.h"
#include "server/files/file_service.h"
#include "server/metrics/counted_stream.h"

namespace larkspire::server {

namespace {

// Tries at picking a port that is free for both TCP and UDP.
constexpr int kPortAttempts = 8;

// "192.0.2.7:5000", "[2001:db8::7]:5000"; an IPv4 peer of a dual-stack listener as IPv4.
std::string AddressText(const sockaddr* address) {
  TIpAddress ip;
  uint16_t port = 0;
  if (!FromSocketAddress(address, ip, port)) return "?";
  return EndpointText(ip, port);
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

// poll's entries: the listener, the wake-up pipe, the plaintext listener, then the refused.
constexpr size_t kFirstRefused = 3;
// How long Stop waits for the sessions once their connections are cut.
constexpr auto kCutSessionsBound = std::chrono::milliseconds(2000);
// Refusals logged one by one in a second; more are counted.
constexpr int kRefusalLinesPerSecond = 10;
// How much of a refused peer's input is read per wake-up.
constexpr size_t kRefusedDrain = 16 * 1024;

}  // namespace

TServer::TServer(TServerOptions options)
    : options_(std::move(options)),
      plugins_(PluginHostOptionsOf(options_)),
      context_{options_, catalog_,  dispatch_, stopping_,  plugins_,       pools_,
               nullptr,  &guesses_, &watch_,   &inflight_, &notifications_} {}

void TServer::Start() {
  if (started_) return;
  SetAnsiCodePage(options_.CodePage);
  if (!options_.UsersFile.empty()) {
    users_ = std::make_unique<TUsers>(TUsers::Load(options_.UsersFile));
    context_.Users = users_.get();
  }
  catalog_ = BuildDatabaseCatalog(options_);
  // A wrong database file stops the start, not a client.
  for (const auto& [name, locator] : catalog_.All()) CheckDatabaseAtStart(locator);
  pools_ = TConnectionPools(catalog_, options_.PoolSize, options_.PoolMode);
  dispatch_ = BuildDispatchTable();
  // The file commands serve this folder; a missing --files folder stops the start.
  options_.FilesDir = PrepareFilesRoot(options_);
  if (!options_.MetricsHost.empty()) StartMetrics();

  if (!options_.TlsCert.empty()) {
    tls_ = std::make_unique<TTlsServerContext>(options_.TlsCert, options_.TlsKey);
  }
  // With --port 0 the datagram endpoint follows whatever TCP port was picked; when that
  // number is taken for UDP, another free port is picked (a few times at most).
  for (int attempt = 1;; ++attempt) {
    listen_socket_ = Listen(options_.Port, port_, address_);
    if (options_.UdpPort == 0) break;
    const int udp_port = options_.UdpPort < 0 ? port_ : options_.UdpPort;
    try {
      datagram_ = std::make_unique<TDatagramEndpoint>(options_.Bind, udp_port, [this] {
        return LoadValue(active_.load(), options_.MaxConnections);
      });
      break;
    } catch (...) {
      listen_socket_.Reset();
      if (options_.Port != 0 || options_.UdpPort > 0 || attempt >= kPortAttempts) throw;
    }
  }
  if (datagram_) {
    notify_links_ = std::make_unique<TNotificationLinks>(*datagram_, options_.NotifyUdpPort);
    context_.NotifyLinks = notify_links_.get();
  }
  if (tls_ && options_.PlainPort) {
    std::string plain_address;
    plain_listen_socket_ = Listen(*options_.PlainPort, plain_port_, plain_address);
  }

  int wake_pipe[2];
  if (::pipe2(wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    int code = errno;
    listen_socket_.Reset();
    plain_listen_socket_.Reset();
    if (notify_links_) notify_links_->Close();
    datagram_.reset();
    throw Exception(std::string("cannot create the wake-up pipe: ") + std::strerror(code));
  }
  wake_read_.Reset(wake_pipe[0]);
  wake_write_.Reset(wake_pipe[1]);
  stopping_ = false;
  started_ = true;
  pg_listeners_ = std::make_unique<TPostgresListeners>(catalog_, notifications_);
  accept_thread_ = std::thread([this] { AcceptLoop(); });
  accepting_ = true;
  ServerLog("larkspire-server listening on " + address_ + (tls_ ? " (TLS)" : "") +
            (plain_port_ != 0 ? ", plaintext on port " + std::to_string(plain_port_) : "") + ", " +
            std::to_string(catalog_.All().size()) + " database names, at most " +
            std::to_string(options_.MaxConnections) + " connections, " +
            (options_.PoolMode == TPoolMode::pmSession
                 ? std::string("a database connection per session")
                 : std::to_string(options_.PoolSize) + " database connections per database") +
            (users_ ? ", " + std::to_string(users_->Size()) + " users" : std::string()) +
            (datagram_ ? ", load queries on UDP port " + std::to_string(datagram_->Port()) : ""));
}

void TServer::StartMetrics() {
  metrics_ = std::make_unique<TServerMetrics>(dispatch_.Codes(), [this] {
    const int used = active_.load();
    return TServerSample{used, options_.MaxConnections, LoadValue(used, options_.MaxConnections),
                         plugins_.IdleRunners(), plugins_.BusyRunners()};
  });
  context_.Metrics = metrics_.get();
  metrics_http_ = std::make_unique<TMetricsHttpServer>(
      options_.MetricsHost, options_.MetricsPort,
      TMetricsHttpServer::THandlers{[this] { return metrics_->Render(); },
                                    [this] { return accepting_.load(); }});
  ServerLog("larkspire-server metrics on http://" + metrics_http_->Address() +
            "/metrics, health on /healthz");
}

TUniqueFd TServer::Listen(uint16_t port, uint16_t& bound_port, std::string& bound_address) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  std::string service = std::to_string(port);
  int rc = ::getaddrinfo(options_.Bind.c_str(), service.c_str(), &hints, &found);
  if (rc != 0) {
    throw Exception("cannot resolve --bind " + options_.Bind + ": " + ::gai_strerror(rc));
  }
  TUniqueFd listening;
  std::string failure = "no address";
  for (addrinfo* entry = found; entry && !listening.IsOpen(); entry = entry->ai_next) {
    TUniqueFd fd(::socket(entry->ai_family, entry->ai_socktype | SOCK_CLOEXEC, entry->ai_protocol));
    if (!fd.IsOpen()) {
      failure = std::strerror(errno);
      continue;
    }
    int on = 1;
    ::setsockopt(fd.Fd(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    // An IPv6 listener takes IPv4 clients too, whatever the system's default says.
    int off = 0;
    if (entry->ai_family == AF_INET6) {
      ::setsockopt(fd.Fd(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    }
    if (::bind(fd.Fd(), entry->ai_addr, entry->ai_addrlen) != 0 || ::listen(fd.Fd(), 128) != 0) {
      failure = std::strerror(errno);
      continue;
    }
    listening = std::move(fd);
  }
  ::freeaddrinfo(found);
  if (!listening.IsOpen()) {
    const bool v6 = options_.Bind.find(':') != std::string::npos;
    throw Exception("cannot listen on " + (v6 ? "[" + options_.Bind + "]" : options_.Bind) + ":" +
                    service + ": " + failure);
  }
  sockaddr_storage bound{};
  socklen_t bound_length = sizeof bound;
  ::getsockname(listening.Fd(), reinterpret_cast<sockaddr*>(&bound), &bound_length);
  bound_port = AddressPort(reinterpret_cast<sockaddr*>(&bound));
  bound_address = AddressText(reinterpret_cast<sockaddr*>(&bound));
  return listening;
}

void TServer::Wake() {
  char byte = 1;
  ssize_t ignored = ::write(wake_write_.Fd(), &byte, 1);
  (void)ignored;
}

void TServer::AcceptLoop() {
  std::vector<pollfd> fds;
  std::vector<short> refused_events;
  while (!stopping_) {
    // A negative descriptor (no plaintext listener) is skipped by poll.
    fds.assign({{listen_socket_.Fd(), POLLIN, 0},
                {wake_read_.Fd(), POLLIN, 0},
                {plain_listen_socket_.IsOpen() ? plain_listen_socket_.Fd() : -1, POLLIN, 0}});
    int timeout_ms = 1000;
    const auto now = std::chrono::steady_clock::now();
    for (const TRefused& refused : refused_) {
      fds.push_back({refused.Socket.Fd(), POLLIN, 0});
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(refused.Until - now).count() + 1;
      timeout_ms = static_cast<int>(std::clamp<int64_t>(left, 0, timeout_ms));
    }
    int ready = ::poll(fds.data(), fds.size(), timeout_ms);
    if (ready < 0 && errno != EINTR) break;
    if (ready < 0) continue;
    if (fds[1].revents & POLLIN) {
      char drain[64];
      while (::read(wake_read_.Fd(), drain, sizeof drain) > 0) {
      }
    }
    refused_events.clear();
    for (size_t i = kFirstRefused; i < fds.size(); ++i) refused_events.push_back(fds[i].revents);
    ServeRefused(refused_events);
    if (refusals_unlogged_ > 0 &&
        std::chrono::steady_clock::now() - refusal_window_ >= std::chrono::seconds(1)) {
      LogRefusalsUnlogged(std::chrono::steady_clock::now());
    }
    Reap(false);
    if (stopping_) break;
    for (size_t listener : {size_t{0}, size_t{2}}) {
      if (!(fds[listener].revents & POLLIN)) continue;
      sockaddr_storage peer{};
      socklen_t peer_length = sizeof peer;
      TUniqueFd fd(::accept4(fds[listener].fd, reinterpret_cast<sockaddr*>(&peer), &peer_length,
                             SOCK_CLOEXEC));
      if (!fd.IsOpen()) {
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
          ServerLog(std::string("accept failed: ") + std::strerror(errno));
          ::poll(nullptr, 0, 100);  // let sessions end before trying again
        }
        continue;
      }
      StartClient(std::move(fd), AddressText(reinterpret_cast<sockaddr*>(&peer)),
                  listener == 0 && tls_ != nullptr);
    }
  }
  refused_.clear();
  LogRefusalsUnlogged(std::chrono::steady_clock::now());
}

void TServer::Refuse(TUniqueFd socket, const std::string& peer, const std::string& why) {
  // The refusal goes out before the peer's handshake is read: it is what every handshake gets
  // here, and it costs no thread. Fourteen bytes fit in a new connection's send buffer.
  const std::string reply = EncodeHandshakeReply(kHandshakeRefused, kErrConnectionsLimit);
  uint8_t frame[32];
  const size_t length = reply.size();
  EncodeFramePrefix(static_cast<uint32_t>(length), frame);
  std::memcpy(frame + kFramePrefixSize, reply.data(), length);
  // Counted before it goes, so that a peer that has read it sees it counted.
  if (metrics_) metrics_->SessionRefused(TRefusal::rfConnectionsLimit);
  const ssize_t sent =
      ::send(socket.Fd(), frame, kFramePrefixSize + length, MSG_DONTWAIT | MSG_NOSIGNAL);
  // A flood is logged as a few lines and a count, not a line per connection.
  const auto now = std::chrono::steady_clock::now();
  if (now - refusal_window_ >= std::chrono::seconds(1)) LogRefusalsUnlogged(now);
  if (refusals_logged_ < kRefusalLinesPerSecond) {
    ++refusals_logged_;
    ServerLog("peer " + peer + " refused (connections limit" + why + ")" +
              (sent == static_cast<ssize_t>(4 + length) ? "" : ", the refusal could not be sent"));
  } else {
    ++refusals_unlogged_;
  }
  ::shutdown(socket.Fd(), SHUT_WR);
  if (static_cast<int>(refused_.size()) >= options_.MaxPendingRefusals) refused_.pop_front();
  refused_.push_back(
      {std::move(socket),
       std::chrono::steady_clock::now() + std::chrono::milliseconds(options_.HandshakeTimeoutMs)});
}

void TServer::LogRefusalsUnlogged(std::chrono::steady_clock::time_point now) {
  if (refusals_unlogged_ > 0) {
    ServerLog(std::to_string(refusals_unlogged_) +
              " more connections refused (connections limit) in one second");
  }
  refusal_window_ = now;
  refusals_logged_ = 0;
  refusals_unlogged_ = 0;
}

void TServer::ServeRefused(const std::vector<short>& events) {
  const auto now = std::chrono::steady_clock::now();
  size_t index = 0;
  for (auto it = refused_.begin(); it != refused_.end(); ++index) {
    bool ended = now >= it->Until;
    if (!ended && index < events.size() && events[index] != 0) {
      char drain[kRefusedDrain];
      const ssize_t got = ::recv(it->Socket.Fd(), drain, sizeof drain, MSG_DONTWAIT);
      ended = got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
    }
    it = ended ? refused_.erase(it) : std::next(it);
  }
}

void TServer::StartClient(TUniqueFd socket, const std::string& peer, bool tls) {
  if (active_ >= options_.MaxConnections) {
    Refuse(std::move(socket), peer, "");
    return;
  }
  // Frames leave in one call each, so no-delay costs no small segments.
  int on = 1;
  ::setsockopt(socket.Fd(), SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  ::setsockopt(socket.Fd(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  // A client that takes no byte of a reply (or a download) for the frame time is cut, as one
  // that sends a request too slowly: neither may hold a session for good.
  timeval send_timeout{};
  send_timeout.tv_sec = options_.FrameTimeoutMs / 1000;
  send_timeout.tv_usec = static_cast<suseconds_t>(options_.FrameTimeoutMs % 1000) * 1000;
  ::setsockopt(socket.Fd(), SOL_SOCKET, SO_SNDTIMEO, &send_timeout, sizeof send_timeout);
  ++active_;
  std::lock_guard<std::mutex> lock(clients_mutex_);
  auto client = std::make_unique<TClient>();
  TClient* raw = client.get();
  const int fd = socket.Fd();
  raw->Socket = std::move(socket);
  try {
    raw->Thread = std::thread([this, raw, fd, peer, tls] {
      {
        std::unique_ptr<TConnStream> stream;
        if (tls) {
          stream = std::make_unique<TTlsConnStream>(fd, *tls_, options_.FrameTimeoutMs);
        } else {
          stream = std::make_unique<TConnStream>(fd);
        }
        if (metrics_) {
          metrics_->SessionStarted();
          stream = std::make_unique<TCountedStream>(std::move(stream), *metrics_);
        }
        TSession session(context_, *stream, peer);
        session.Run();
      }
      ::shutdown(fd, SHUT_RDWR);
      --active_;
      raw->Done = true;
      Wake();
    });
  } catch (const std::exception& e) {
    --active_;
    Refuse(std::move(raw->Socket), peer, std::string(", no thread for it: ") + e.what());
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
      it = clients_.erase(it);
    } else {
      ++it;
    }
  }
}

void TServer::CutClients(int how) {
  std::lock_guard<std::mutex> lock(clients_mutex_);
  for (auto& client : clients_) {
    if (!client->Done) ::shutdown(client->Socket.Fd(), how);
  }
}

bool TServer::AllClientsDone() {
  std::lock_guard<std::mutex> lock(clients_mutex_);
  for (auto& client : clients_) {
    if (!client->Done) return false;
  }
  return true;
}

bool TServer::WaitForClients(std::chrono::steady_clock::time_point until) {
  while (!AllClientsDone()) {
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

bool TServer::Stop() {
  if (!started_) return AllClientsDone();
  started_ = false;
  accepting_ = false;
  stopping_ = true;
  Wake();
  if (accept_thread_.joinable()) accept_thread_.join();
  listen_socket_.Reset();
  plain_listen_socket_.Reset();
  if (notify_links_) notify_links_->Close();
  datagram_.reset();
  pg_listeners_.reset();
  // No new requests: a session waiting for one sees the end of its stream, while one that is
  // answering finishes and sends its reply. Connections still busy after the grace are cut;
  // a session that does not end even then (a long query) is waited for a short while only.
  CutClients(SHUT_RD);
  WaitForClients(std::chrono::steady_clock::now() +
                 std::chrono::milliseconds(options_.StopGraceMs));
  // Statements still running after the grace are stopped, not left to run on.
  watch_.InterruptAll();
  CutClients(SHUT_RDWR);
  const bool all_ended = WaitForClients(std::chrono::steady_clock::now() + kCutSessionsBound);
  Reap(all_ended);
  metrics_http_.reset();
  if (!all_ended) {
    ServerLog("larkspire-server on " + address_ + ": " + std::to_string(active_.load()) +
              " sessions still busy after their connections were cut");
    return false;
  }
  for (const std::string& line : pools_.Summary()) ServerLog(line);
  ServerLog("larkspire-server on " + address_ + " stopped");
  return true;
}

TServer::~TServer() {
  if (!Stop()) Reap(true);
}

}  // namespace larkspire::server
