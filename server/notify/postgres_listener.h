// TPostgresListener: the PostgreSQL source of notifications. One per PostgreSQL database the
// server serves, each with a thread of its own and, while some session wants a channel, a
// connection of its own (not a pooled one; none is held while no channel is wanted),
// LISTENing to the channels some session wants that PostgreSQL can name (1..63 bytes), and
// publishing every notification that arrives (psql's NOTIFY, pg_notify in a trigger) to the
// hub. When the database connection breaks or cannot be made, it tries again with a growing
// pause and LISTENs again; what was notified meanwhile is lost, as with any LISTEN.
//
// TPostgresListeners starts one listener for each PostgreSQL database of a catalog (one per
// distinct connection URI) and feeds them the hub's channel set.
//
// Thread-safety: the listener's own thread does all its database work; SetChannels may be
// called from any thread; the destructor stops the thread (promptly: every wait also watches a
// wake-up descriptor).
#ifndef LARKSPIRE_SERVER_NOTIFY_POSTGRES_LISTENER_H_
#define LARKSPIRE_SERVER_NOTIFY_POSTGRES_LISTENER_H_

#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "server/base/unique_fd.h"
#include "server/sql/database.h"

namespace larkspire::server {

class TNotificationHub;

class TPostgresListener {
 public:
  // uri: the database's libpq connection URI.
  TPostgresListener(std::string uri, TNotificationHub& hub);
  TPostgresListener(const TPostgresListener&) = delete;
  TPostgresListener& operator=(const TPostgresListener&) = delete;
  ~TPostgresListener();

  // The channels wanted now; the thread LISTENs and UNLISTENs to match.
  void SetChannels(const std::set<std::string>& channels);
  // Whether the listener's connection is up and LISTENing to every channel wanted (for tests).
  bool InStep() const { return in_step_.load(); }
  // Connections made so far (for tests: a reconnect counts).
  int Connects() const { return connects_.load(); }

  // Whether PostgreSQL can LISTEN to the channel (an identifier of 1..63 bytes).
  static bool Listenable(const std::string& channel);

 private:
  class TConnection;
  void Run();
  void Wake();
  // Waits until fd is ready for events (or the wake-up descriptor is), at most timeout_ms (-1:
  // no bound); false when the listener is stopping.
  bool WaitFor(int fd, short events, int timeout_ms);

  std::string uri_;
  TNotificationHub& hub_;
  std::mutex mutex_;  // guards wanted_
  std::set<std::string> wanted_;
  TUniqueFd wake_read_;
  TUniqueFd wake_write_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> in_step_{false};
  std::atomic<int> connects_{0};
  std::thread thread_;
};

class TPostgresListeners {
 public:
  TPostgresListeners(const TDatabaseCatalog& catalog, TNotificationHub& hub);
  TPostgresListeners(const TPostgresListeners&) = delete;
  TPostgresListeners& operator=(const TPostgresListeners&) = delete;
  // Stops the hub's channel events first, then every listener.
  ~TPostgresListeners();

  const std::vector<std::unique_ptr<TPostgresListener>>& All() const { return listeners_; }

 private:
  TNotificationHub& hub_;
  std::vector<std::unique_ptr<TPostgresListener>> listeners_;
};

}  // namespace larkspire::server

#endif  // LARKSPIRE_SERVER_NOTIFY_POSTGRES_LISTENER_H_
