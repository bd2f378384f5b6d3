#include "server/sql/connection_pool.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "server/base/server_log.h"

namespace larkspire::server {

namespace {

constexpr std::chrono::milliseconds kFirstPause{200};
constexpr std::chrono::milliseconds kLongestPause{5000};

}  // namespace

TPooledConnection::TPooledConnection(TPooledConnection&& other) noexcept
    : pool_(other.pool_), connection_(std::move(other.connection_)), epoch_(other.epoch_) {
  other.pool_ = nullptr;
}

TPooledConnection& TPooledConnection::operator=(TPooledConnection&& other) noexcept {
  if (this != &other) {
    Release();
    pool_ = other.pool_;
    connection_ = std::move(other.connection_);
    epoch_ = other.epoch_;
    other.pool_ = nullptr;
  }
  return *this;
}

TPooledConnection::~TPooledConnection() {
  Release();
}

void TPooledConnection::Release() {
  if (pool_ != nullptr && connection_ != nullptr) pool_->GiveBack(std::move(connection_), epoch_);
  connection_.reset();
  pool_ = nullptr;
}

TConnectionPool::TConnectionPool(TDatabaseLocator locator, std::string label, int capacity,
                                 bool reuse)
    : locator_(std::move(locator)),
      label_(std::move(label)),
      capacity_(std::max(0, capacity)),
      reuse_(reuse) {}

TPooledConnection TConnectionPool::Borrow(std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> lock(mutex_);
  const auto until = std::chrono::steady_clock::now() + wait;
  const auto can_borrow = [this] {
    return !idle_.empty() || capacity_ == 0 || in_use_ < capacity_;
  };
  if (!freed_.wait_until(lock, until, can_borrow)) {
    throw EServerDatabaseBusy("No connection to the database " + label_ + " came free within " +
                              std::to_string(wait.count()) + " ms: all " +
                              std::to_string(capacity_) + " are in use (--pool-size); try again");
  }
  ++in_use_;
  peak_ = std::max(peak_, in_use_);
  const uint64_t failures_seen = failures_;
  for (;;) {
    // An idle connection, unless its server has closed it.
    while (!idle_.empty()) {
      TIdle idle = std::move(idle_.back());
      idle_.pop_back();
      lock.unlock();
      if (idle.Connection->LooksAlive()) {
        return TPooledConnection(this, std::move(idle.Connection), idle.Epoch);
      }
      idle.Connection.reset();
      lock.lock();
      epoch_ = std::max(epoch_, idle.Epoch + 1);
    }
    if (pause_.count() == 0) break;  // openings succeed: a new connection
    // Openings fail: the next attempt is this borrower's once the pause is over and no other
    // attempt runs; a borrower whose wait an attempt failed in, or whose time-out comes
    // first, fails now.
    const auto now = std::chrono::steady_clock::now();
    if (failures_ == failures_seen && !probing_ && now >= retry_at_) break;
    const auto next = probing_ ? until : retry_at_;
    if (failures_ != failures_seen || now >= until || next > until) {
      --in_use_;
      const std::string failure = last_failure_;
      lock.unlock();
      freed_.notify_one();
      throw EServerDatabaseLost(failure);
    }
    attempted_.wait_until(lock, next);
  }
  // A new connection: its place is taken, and the slow opening runs without the lock.
  const bool probe = pause_.count() > 0;
  if (probe) probing_ = true;
  const uint64_t epoch = epoch_;
  lock.unlock();
  return OpenForBorrower(probe, epoch);
}

TPooledConnection TConnectionPool::OpenForBorrower(bool probe, uint64_t epoch) {
  std::unique_ptr<IDatabase> connection;
  try {
    connection = OpenDatabase(locator_);
  } catch (const std::exception& e) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (probe) probing_ = false;
    --in_use_;
    ++failures_;
    // The pause doubles with each attempt made after one (borrowers that were opening together
    // when the first failed count once).
    const bool first = pause_.count() == 0;
    if (first) {
      pause_ = kFirstPause;
    } else if (probe) {
      pause_ = std::min(pause_ * 2, kLongestPause);
    }
    retry_at_ = std::chrono::steady_clock::now() + pause_;
    last_failure_ = e.what();
    lock.unlock();
    freed_.notify_one();
    attempted_.notify_all();
    if (first) {
      ServerLog("database " + label_ + ": no connection can be opened (" + e.what() +
                "); new attempts follow at most every " + std::to_string(kLongestPause.count()) +
                " ms");
    }
    throw;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  if (probe) probing_ = false;
  const bool recovered = pause_.count() > 0;
  pause_ = std::chrono::milliseconds(0);
  lock.unlock();
  if (probe || recovered) attempted_.notify_all();
  if (recovered) {
    const std::string where = connection->Where();
    ServerLog("database " + label_ + ": connected again" + (where.empty() ? "" : ", to " + where));
  }
  return TPooledConnection(this, std::move(connection), epoch);
}

void TConnectionPool::GiveBack(std::unique_ptr<IDatabase> connection, uint64_t epoch) {
  // A connection that broke takes the idle ones opened no later with it: they most likely led
  // to the same server, which is gone. They are closed after the lock is let go.
  const bool broken = !connection->LooksAlive();
  if (broken || !reuse_) {
    connection.reset();
  } else {
    try {
      connection->ResetSession();
    } catch (...) {
      connection.reset();  // not fit for another borrower: closed, its place freed
    }
  }
  std::vector<TIdle> dropped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    --in_use_;
    if (broken) {
      epoch_ = std::max(epoch_, epoch + 1);
      const auto older = std::stable_partition(
          idle_.begin(), idle_.end(), [epoch](const TIdle& idle) { return idle.Epoch > epoch; });
      std::move(older, idle_.end(), std::back_inserter(dropped));
      idle_.erase(older, idle_.end());
    } else if (connection) {
      idle_.push_back({std::move(connection), epoch});
    }
  }
  freed_.notify_one();
  if (broken) {
    ServerLog("database " + label_ + ": a connection broke; it is closed, and " +
              std::to_string(dropped.size()) + " idle ones with it");
  }
}

int TConnectionPool::InUse() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return in_use_;
}

int TConnectionPool::PeakInUse() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return peak_;
}

int TConnectionPool::Open() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return in_use_ + static_cast<int>(idle_.size());
}

TConnectionPools::TConnectionPools(const TDatabaseCatalog& catalog, int pool_size, TPoolMode mode)
    : mode_(mode) {
  const bool pooled = mode == TPoolMode::pmTransaction;
  std::map<std::string, std::shared_ptr<TConnectionPool>> by_locator;
  for (const auto& [name, locator] : catalog.All()) {
    auto& pool = by_locator[locator.Text];
    const std::string quoted = "\"" + name + "\"";
    if (!pool) {
      pool = std::make_shared<TConnectionPool>(locator, quoted, pooled ? pool_size : 0, pooled);
      pools_.push_back(pool);
    } else {
      pool->label_ += " and " + quoted;
    }
    by_name_[name] = pool;
  }
}

TConnectionPool* TConnectionPools::Find(const std::string& name) const {
  auto found = by_name_.find(name);
  return found == by_name_.end() ? nullptr : found->second.get();
}

std::vector<std::string> TConnectionPools::Summary() const {
  std::vector<std::string> lines;
  for (const auto& pool : pools_) {
    lines.push_back("database " + pool->Label() + ": at most " + std::to_string(pool->PeakInUse()) +
                    " connections in use at once" +
                    (pool->Capacity() > 0
                         ? " (--pool-size " + std::to_string(pool->Capacity()) + ")"
                         : " (--pool-mode session)"));
  }
  return lines;
}

}  // namespace larkspire::server
