// TServer: the listening socket and the sessions it serves, one thread per connection. With
// --tls-cert the port speaks TLS only, and --plain-port adds a plaintext listener beside it.
//
// Start reads the users file, builds the database catalog (creating the demonstration database
// on first start) and a pool of connections for each database,
// binds and listens, and starts the accepting thread; Port tells the port bound (useful
// with port 0). A connection beyond --max-connections gets the limit refusal (100022) at once
// from the accepting thread, whatever the sessions are doing, and is closed when its peer has
// read it (or the handshake time is up). Stop closes the listening socket, lets the requests in
// flight finish (--stop-grace-ms), shuts every client socket down and joins the sessions that
// end within a short bound; the destructor stops and joins them all.
//
// Unless --udp-port is 0, Start also opens the datagram endpoint (on the TCP port bound by
// default), which answers load queries and carries notifications to linked clients until Stop.
//
// With --metrics, Start also opens the metrics listener (server/metrics/metrics_http.h), whose
// /healthz answers 503 from the moment Stop begins; it closes when Stop has ended the sessions.
//
// Thread-safety: Start and Stop from the owner's thread; Port and ActiveSessions from any.
#ifndef LARKSPIRE_SERVER_SERVER_H_
#define LARKSPIRE_SERVER_SERVER_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server/base/unique_fd.h"
#include "server/commands/dispatch.h"
#include "server/config/server_options.h"
#include "server/config/users_file.h"
#include "server/metrics/metrics_http.h"
#include "server/metrics/server_metrics.h"
#include "server/net/command_watch.h"
#include "server/net/datagram_endpoint.h"
#include "server/net/framing.h"
#include "server/net/guess_guard.h"
#include "server/net/inflight_budget.h"
#include "server/net/notification_links.h"
#include "server/net/session.h"
#include "server/net/tls_stream.h"
#include "server/notify/notification_hub.h"
#include "server/notify/postgres_listener.h"
#include "server/plugins/plugin_host.h"
#include "server/sql/connection_pool.h"
#include "server/sql/database.h"

namespace larkspire::server {

class TServer {
 public:
  explicit TServer(TServerOptions options);
  TServer(const TServer&) = delete;
  TServer& operator=(const TServer&) = delete;
  ~TServer();

  // Raises Exception when the code page, the databases or the address cannot be set up.
  void Start();
  // Stops accepting, lets the requests in flight answer (StopGraceMs at most), then cuts every
  // connection and waits a short while for the sessions. False when some session was still
  // busy after that (in a long query, say): it is left running, and a process that is ending
  // should exit without waiting for it. Only the first call does the work.
  bool Stop();

  uint16_t Port() const { return port_; }
  // The plaintext port beside a TLS one (--plain-port), or 0 when there is none.
  uint16_t PlainPort() const { return plain_port_; }
  // "127.0.0.1:8008", the address actually bound.
  std::string Address() const { return address_; }
  int ActiveSessions() const { return active_; }
  // The metrics listener's port, 0 when there is none.
  uint16_t MetricsPort() const { return metrics_http_ ? metrics_http_->Port() : 0; }
  // The datagram endpoint's port, 0 when there is none.
  int UdpPort() const { return datagram_ ? datagram_->Port() : 0; }
  const TServerOptions& Options() const { return options_; }
  const TDatabaseCatalog& Catalog() const { return catalog_; }
  const TConnectionPools& Pools() const { return pools_; }
  // The notifications of every session, and the LISTEN connections that feed them from the
  // PostgreSQL databases (null before Start and after Stop).
  TNotificationHub& Notifications() { return notifications_; }
  const TPostgresListeners* PostgresListeners() const { return pg_listeners_.get(); }

 private:
  struct TClient {
    std::thread Thread;
    TUniqueFd Socket;
    std::atomic<bool> Done{false};
  };
  // Binds and listens on --bind at port; fills the port and address actually bound.
  TUniqueFd Listen(uint16_t port, uint16_t& bound_port, std::string& bound_address);
  // A connection refused over the limit: it has its refusal and is read until its peer closes
  // or the deadline passes, so that the refusal is not lost to a reset.
  struct TRefused {
    TUniqueFd Socket;
    TDeadline Until;
  };

  void AcceptLoop();
  // Builds the metrics and opens their listener (--metrics).
  void StartMetrics();
  // shutdown(how) on every connection whose session still runs.
  void CutClients(int how);
  bool AllClientsDone();
  // Waits until every session has ended (true) or until passes (false).
  bool WaitForClients(std::chrono::steady_clock::time_point until);
  // tls: the connection came to the TLS port.
  void StartClient(TUniqueFd socket, const std::string& peer, bool tls);
  // Answers a connection with the limit refusal (accepting thread only).
  void Refuse(TUniqueFd socket, const std::string& peer, const std::string& why);
  // Drains the refused connections whose poll events (revents, in the order of refused_) show
  // input, and closes those that ended or whose time is up.
  void ServeRefused(const std::vector<short>& events);
  // Logs how many refusals went unlogged, and starts a new second at now.
  void LogRefusalsUnlogged(std::chrono::steady_clock::time_point now);
  // Joins and closes the clients whose thread has ended (all of them when every is true).
  void Reap(bool every);
  void Wake();

  TServerOptions options_;
  TDatabaseCatalog catalog_;
  TDispatchTable dispatch_;
  std::atomic<bool> stopping_{false};
  TPluginHost plugins_;
  TGuessGuard guesses_;
  TCommandWatch watch_{stopping_};
  TInflightBudget inflight_{options_.MaxInflight};
  TConnectionPools pools_;
  std::unique_ptr<TUsers> users_;
  TNotificationHub notifications_;
  TServerContext context_;
  TUniqueFd listen_socket_;
  // With TLS: the certificate and key, and the plaintext listener (--plain-port) if any.
  std::unique_ptr<TTlsServerContext> tls_;
  TUniqueFd plain_listen_socket_;
  uint16_t plain_port_ = 0;
  TUniqueFd wake_read_;
  TUniqueFd wake_write_;
  uint16_t port_ = 0;
  std::string address_;
  std::thread accept_thread_;
  std::unique_ptr<TDatagramEndpoint> datagram_;
  // Closed before datagram_ goes; kept until the end, since sessions may still ask for tokens.
  std::unique_ptr<TNotificationLinks> notify_links_;
  std::unique_ptr<TPostgresListeners> pg_listeners_;
  std::mutex clients_mutex_;
  std::list<std::unique_ptr<TClient>> clients_;
  std::atomic<int> active_{0};
  // The accepting thread's: the refused connections, and the refusals logged and counted in
  // the current second.
  std::deque<TRefused> refused_;
  std::chrono::steady_clock::time_point refusal_window_;
  int refusals_logged_ = 0;
  int refusals_unlogged_ = 0;
  bool started_ = false;
  // Whether sessions are accepted (the health check's answer).
  std::atomic<bool> accepting_{false};
  // With --metrics: what is counted, and its listener, which reads the members above and so
  // goes first.
  std::unique_ptr<TServerMetrics> metrics_;
  std::unique_ptr<TMetricsHttpServer> metrics_http_;
};

}  // namespace larkspire::server

#endif  // LARKSPIRE_SERVER_SERVER_H_
