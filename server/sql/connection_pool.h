// Database connections shared by the sessions: one pool per database the server serves.
//
// A session borrows a connection for a command (and keeps it across a transaction); when the
// lease ends, the connection is made fresh for its next borrower (IDatabase::ResetSession: an
// open transaction is rolled back, session state dropped) and waits idle for the next one. A
// connection whose reset fails is closed instead of kept. At most Capacity connections are
// open at once; a borrower that finds none free waits, up to its time-out, and then gets
// EServerDatabaseBusy (the request may be sent again). In session mode every session gets a
// connection of its own for as long as it lives, as many as there are sessions, closed when it
// ends.
//
// When the database server goes away (it stopped, a standby took over): an idle connection
// whose server closed it is closed rather than lent, and a connection that comes back broken
// is closed with every idle one opened before the break was first seen (they most likely led to
// the same server); new ones are opened, the backend choosing the host. While no connection can
// be opened, attempts are spaced: after a failure the next comes after a pause that doubles
// from 200 ms to 5 s, one attempt at a time; a borrower that needs a new connection then waits
// for the next attempt when it comes within the borrower's time-out and gets its outcome, and
// otherwise fails at once with EServerDatabaseLost (the request may be sent again). The log
// tells when openings start failing and when a connection is made again.
//
// Thread-safety: a pool is shared by every session thread; a TPooledConnection belongs to the
// thread that borrowed it. TConnectionPools is built before the server serves and only read
// afterwards.
#ifndef LARKSPIRE_SERVER_CONNECTION_POOL_H_
#define LARKSPIRE_SERVER_CONNECTION_POOL_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server/sql/database.h"

namespace larkspire::server {

enum class TPoolMode {
  pmTransaction,  // a connection per command, or per transaction while one is open
  pmSession,      // a connection per session, for its whole life
};

class TConnectionPool;

// A borrowed connection; giving it back is ending the lease (destruction or move-assignment).
class TPooledConnection {
 public:
  TPooledConnection() = default;
  TPooledConnection(TPooledConnection&& other) noexcept;
  TPooledConnection& operator=(TPooledConnection&& other) noexcept;
  ~TPooledConnection();

  explicit operator bool() const { return connection_ != nullptr; }
  IDatabase& operator*() const { return *connection_; }
  IDatabase* operator->() const { return connection_.get(); }
  // Gives the connection back now.
  void Release();

 private:
  friend class TConnectionPool;
  TPooledConnection(TConnectionPool* pool, std::unique_ptr<IDatabase> connection, uint64_t epoch)
      : pool_(pool), connection_(std::move(connection)), epoch_(epoch) {}

  TConnectionPool* pool_ = nullptr;
  std::unique_ptr<IDatabase> connection_;
  uint64_t epoch_ = 0;  // the pool's epoch when the connection was opened
};

class TConnectionPool {
 public:
  // label names the database in messages (never the locator, which may hold a password).
  // capacity: connections open at once at most (0: no bound). reuse: whether a connection
  // given back is reset and kept for the next borrower, or closed.
  TConnectionPool(TDatabaseLocator locator, std::string label, int capacity, bool reuse);
  TConnectionPool(const TConnectionPool&) = delete;
  TConnectionPool& operator=(const TConnectionPool&) = delete;

  // An idle connection, a new one while fewer than Capacity are open, or the first one given
  // back within wait. Raises EServerDatabaseBusy when none came free in time, and the
  // backend's EServerDatabaseError (EServerDatabaseLost for a server out of reach) when a new
  // connection cannot be opened, or EServerDatabaseLost when the pause after failed openings
  // outlasts wait.
  TPooledConnection Borrow(std::chrono::milliseconds wait);

  const TDatabaseLocator& Locator() const { return locator_; }
  const std::string& Label() const { return label_; }
  int Capacity() const { return capacity_; }
  // Connections lent out now, and the most ever lent out at once.
  int InUse() const;
  int PeakInUse() const;
  // Connections open now (lent out or idle).
  int Open() const;

 private:
  friend class TPooledConnection;
  friend class TConnectionPools;
  void GiveBack(std::unique_ptr<IDatabase> connection, uint64_t epoch);
  // Opens a connection for a borrower whose place is taken (in_use_); gives the place back and
  // raises when it cannot. Called without the lock.
  TPooledConnection OpenForBorrower(bool probe, uint64_t epoch);

  const TDatabaseLocator locator_;
  std::string label_;
  const int capacity_;
  const bool reuse_;
  mutable std::mutex mutex_;
  std::condition_variable freed_;      // a place came free
  std::condition_variable attempted_;  // an attempt to open ended while openings fail
  struct TIdle {
    std::unique_ptr<IDatabase> Connection;
    uint64_t Epoch;
  };
  std::vector<TIdle> idle_;
  // Grows past the epoch of every connection found broken: the connections opened since are
  // newer than the break.
  uint64_t epoch_ = 0;
  int in_use_ = 0;  // lent out, or being opened for a borrower
  int peak_ = 0;
  // After a failed opening: the next attempt not before retry_at_, one at a time (probing_);
  // the pause doubles with each failed attempt and is 0 while openings succeed. failures_
  // counts the failed openings, last_failure_ tells the latest.
  std::chrono::milliseconds pause_{0};
  std::chrono::steady_clock::time_point retry_at_{};
  bool probing_ = false;
  uint64_t failures_ = 0;
  std::string last_failure_;
};

// The pools of the databases served, one per distinct locator (two names for one database
// share its pool).
class TConnectionPools {
 public:
  TConnectionPools() = default;
  TConnectionPools(const TDatabaseCatalog& catalog, int pool_size, TPoolMode mode);

  // The pool behind a name clients use, or null.
  TConnectionPool* Find(const std::string& name) const;
  TPoolMode Mode() const { return mode_; }
  // "database "NAME": at most N connections in use at once (--pool-size SIZE)" for each pool,
  // for the log.
  std::vector<std::string> Summary() const;

 private:
  TPoolMode mode_ = TPoolMode::pmTransaction;
  std::map<std::string, std::shared_ptr<TConnectionPool>> by_name_;
  std::vector<std::shared_ptr<TConnectionPool>> pools_;
};

}  // namespace larkspire::server

#endif  // LARKSPIRE_SERVER_CONNECTION_POOL_H_
