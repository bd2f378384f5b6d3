#include "server/sql/connection_pool.h"

#include <algorithm>
#include <utility>

namespace larkspire::server {

TPooledConnection::TPooledConnection(TPooledConnection&& other) noexcept
    : pool_(other.pool_), connection_(std::move(other.connection_)) {
  other.pool_ = nullptr;
}

TPooledConnection& TPooledConnection::operator=(TPooledConnection&& other) noexcept {
  if (this != &other) {
    Release();
    pool_ = other.pool_;
    connection_ = std::move(other.connection_);
    other.pool_ = nullptr;
  }
  return *this;
}

TPooledConnection::~TPooledConnection() {
  Release();
}

void TPooledConnection::Release() {
  if (pool_ != nullptr && connection_ != nullptr) pool_->GiveBack(std::move(connection_));
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
  if (!idle_.empty()) {
    std::unique_ptr<IDatabase> connection = std::move(idle_.back());
    idle_.pop_back();
    return TPooledConnection(this, std::move(connection));
  }
  // A new connection: its place is taken, and the slow opening runs without the lock.
  lock.unlock();
  try {
    return TPooledConnection(this, OpenDatabase(locator_));
  } catch (...) {
    lock.lock();
    --in_use_;
    lock.unlock();
    freed_.notify_one();
    throw;
  }
}

void TConnectionPool::GiveBack(std::unique_ptr<IDatabase> connection) {
  if (reuse_) {
    try {
      connection->ResetSession();
    } catch (...) {
      connection.reset();  // not fit for another borrower: closed, its place freed
    }
  } else {
    connection.reset();
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    --in_use_;
    if (connection) idle_.push_back(std::move(connection));
  }
  freed_.notify_one();
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
