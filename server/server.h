// TServer: the listening socket and the sessions it serves, one thread per connection.
//
// Start builds the database catalog (creating the demonstration database on first start),
// binds and listens, and starts the accepting thread; Port tells the port bound (useful
// with port 0). A connection beyond --max-connections is answered with the limit refusal
// and closed. Stop closes the listening socket, shuts every client socket down, and joins
// every thread; it is also what the destructor does.
//
// Thread-safety: Start and Stop from the owner's thread; Port and ActiveSessions from any.
#ifndef LARKSPIRE_SERVER_SERVER_H_
#define LARKSPIRE_SERVER_SERVER_H_

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "server/database.h"
#include "server/dispatch.h"
#include "server/server_options.h"
#include "server/session.h"

namespace larkspire::server {

class TServer {
 public:
  explicit TServer(TServerOptions options);
  TServer(const TServer&) = delete;
  TServer& operator=(const TServer&) = delete;
  ~TServer();

  // Raises Exception when the code page, the databases or the address cannot be set up.
  void Start();
  // Stops accepting, lets the requests in flight answer (StopGraceMs at most), then closes every
  // connection and waits for the sessions.
  void Stop();

  uint16_t Port() const { return port_; }
  // "127.0.0.1:8008", the address actually bound.
  std::string Address() const { return address_; }
  int ActiveSessions() const { return active_; }
  const TServerOptions& Options() const { return options_; }
  const TDatabaseCatalog& Catalog() const { return catalog_; }

 private:
  struct TClient {
    std::thread Thread;
    int Socket = -1;
    std::atomic<bool> Done{false};
  };

  void AcceptLoop();
  // shutdown(how) on every connection whose session still runs.
  void CutClients(int how);
  bool AllClientsDone();
  void StartClient(int socket, const std::string& peer);
  // Joins and closes the clients whose thread has ended (all of them when every is true).
  void Reap(bool every);
  void Wake();

  TServerOptions options_;
  TDatabaseCatalog catalog_;
  TDispatchTable dispatch_;
  std::atomic<bool> stopping_{false};
  TServerContext context_;
  int listen_socket_ = -1;
  int wake_pipe_[2] = {-1, -1};
  uint16_t port_ = 0;
  std::string address_;
  std::thread accept_thread_;
  std::mutex clients_mutex_;
  std::list<std::unique_ptr<TClient>> clients_;
  std::atomic<int> active_{0};
  std::atomic<int> refusing_{0};
  bool started_ = false;
};

}  // namespace larkspire::server

#endif  // LARKSPIRE_SERVER_SERVER_H_
