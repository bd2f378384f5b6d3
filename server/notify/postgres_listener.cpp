#include "server/notify/postgres_listener.h"

#include <fcntl.h>
#include <libpq-fe.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/exception.h"
#include "server/base/server_log.h"
#include "server/notify/notification_hub.h"

namespace larkspire::server {

namespace {

// PostgreSQL's longest identifier (NAMEDATALEN - 1).
constexpr size_t kMaxIdentifier = 63;
// The pause after a failed connect doubles from the first to the longest.
constexpr int kFirstPauseMs = 250;
constexpr int kLongestPauseMs = 10000;
// A connect that takes longer than this is given up (and tried again after a pause).
constexpr int kConnectMs = 10000;

std::string QuoteIdentifier(const std::string& name) {
  std::string quoted = "\"";
  for (char c : name) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

std::string Trimmed(const char* text) {
  std::string message = text != nullptr ? text : "";
  while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
  return message;
}

// The connection, closed when it goes.
struct TPgConn {
  PGconn* Conn = nullptr;
  TPgConn() = default;
  TPgConn(const TPgConn&) = delete;
  TPgConn& operator=(const TPgConn&) = delete;
  ~TPgConn() {
    if (Conn != nullptr) PQfinish(Conn);
  }
};

// Runs a statement without rows; false with the reason when it failed.
bool Execute(PGconn* conn, const std::string& sql, std::string& failure) {
  PGresult* result = PQexec(conn, sql.c_str());
  const bool ok = result != nullptr && PQresultStatus(result) == PGRES_COMMAND_OK;
  if (!ok) failure = Trimmed(PQerrorMessage(conn));
  PQclear(result);
  return ok;
}

// Hands every notification libpq has read to the hub.
void PublishArrived(PGconn* conn, TNotificationHub& hub) {
  while (PGnotify* notify = PQnotifies(conn)) {
    hub.Publish(notify->relname, notify->extra != nullptr ? notify->extra : "");
    PQfreemem(notify);
  }
}

}  // namespace

TPostgresListener::TPostgresListener(std::string uri, TNotificationHub& hub)
    : uri_(std::move(uri)), hub_(hub) {
  int wake[2];
  if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    throw Exception(std::string("cannot create the listener's wake-up pipe: ") +
                    std::strerror(errno));
  }
  wake_read_.Reset(wake[0]);
  wake_write_.Reset(wake[1]);
  thread_ = std::thread([this] { Run(); });
}

TPostgresListener::~TPostgresListener() {
  stopping_ = true;
  Wake();
  if (thread_.joinable()) thread_.join();
}

bool TPostgresListener::Listenable(const std::string& channel) {
  return !channel.empty() && channel.size() <= kMaxIdentifier &&
         channel.find('\0') == std::string::npos;
}

void TPostgresListener::SetChannels(const std::set<std::string>& channels) {
  {
    std::lock_guard lock(mutex_);
    wanted_.clear();
    for (const std::string& channel : channels) {
      if (Listenable(channel)) wanted_.insert(channel);
    }
  }
  in_step_ = false;
  Wake();
}

void TPostgresListener::Wake() {
  const char byte = 1;
  // A full pipe already holds a wake-up.
  [[maybe_unused]] ssize_t written = ::write(wake_write_.Fd(), &byte, 1);
}

bool TPostgresListener::WaitFor(int fd, short events, int timeout_ms) {
  pollfd entries[2] = {{wake_read_.Fd(), POLLIN, 0}, {fd, events, 0}};
  const int count = fd >= 0 ? 2 : 1;
  int ready;
  do {
    ready = ::poll(entries, count, timeout_ms);
  } while (ready < 0 && errno == EINTR);
  if (entries[0].revents != 0) {
    char drain[64];
    while (::read(wake_read_.Fd(), drain, sizeof drain) > 0) {
    }
  }
  return !stopping_;
}

void TPostgresListener::Run() {
  int pause_ms = kFirstPauseMs;
  bool failure_logged = false;
  while (!stopping_) {
    // No channel wanted: no connection held (it would count against the database's own
    // connection limit for nothing).
    bool idle = false;
    {
      std::lock_guard lock(mutex_);
      idle = wanted_.empty();
      if (idle) in_step_ = true;
    }
    if (idle) {
      WaitFor(-1, 0, -1);
      continue;
    }
    TPgConn pg;
    // Connects without blocking, so that a stopping server is never held up by a database
    // that does not answer.
    const char* keywords[] = {"dbname", "client_encoding", "application_name", nullptr};
    const char* values[] = {uri_.c_str(), "UTF8", "larkspire-notify", nullptr};
    pg.Conn = PQconnectStartParams(keywords, values, 1);
    bool connected = pg.Conn != nullptr && PQstatus(pg.Conn) != CONNECTION_BAD;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kConnectMs);
    PostgresPollingStatusType status = PGRES_POLLING_WRITING;
    while (connected && status != PGRES_POLLING_OK) {
      if (status == PGRES_POLLING_FAILED) {
        connected = false;
        break;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0 ||
          !WaitFor(PQsocket(pg.Conn), status == PGRES_POLLING_READING ? POLLIN : POLLOUT,
                   static_cast<int>(left))) {
        connected = false;
        break;
      }
      status = PQconnectPoll(pg.Conn);
    }
    if (stopping_) break;
    if (!connected) {
      if (!failure_logged) {
        ServerLog("notifications: cannot reach PostgreSQL for LISTEN (" +
                  (pg.Conn != nullptr ? Trimmed(PQerrorMessage(pg.Conn)) : "out of memory") +
                  "); trying again");
        failure_logged = true;
      }
      WaitFor(-1, 0, pause_ms);
      pause_ms = std::min(pause_ms * 2, kLongestPauseMs);
      continue;
    }
    if (failure_logged) ServerLog("notifications: LISTEN connection to PostgreSQL made again");
    failure_logged = false;
    pause_ms = kFirstPauseMs;
    ++connects_;

    std::set<std::string> listened;
    bool broken = false;
    while (!stopping_ && !broken) {
      std::set<std::string> wanted;
      {
        std::lock_guard lock(mutex_);
        wanted = wanted_;
      }
      if (wanted.empty()) break;  // the connection closes until a channel is wanted again
      std::string failure;
      for (auto it = listened.begin(); it != listened.end() && !broken;) {
        if (wanted.count(*it) != 0) {
          ++it;
          continue;
        }
        Execute(pg.Conn, "UNLISTEN " + QuoteIdentifier(*it), failure);
        broken = PQstatus(pg.Conn) != CONNECTION_OK;
        it = listened.erase(it);
      }
      for (const std::string& channel : wanted) {
        if (broken || listened.count(channel) != 0) continue;
        if (!Execute(pg.Conn, "LISTEN " + QuoteIdentifier(channel), failure)) {
          broken = PQstatus(pg.Conn) != CONNECTION_OK;
          // A name PostgreSQL refuses is not tried again until it is wanted anew.
          if (!broken) ServerLog("notifications: LISTEN refused: " + failure);
        }
        if (!broken) listened.insert(channel);
      }
      {
        std::lock_guard lock(mutex_);
        in_step_ = !broken && wanted == wanted_;
      }
      // Notifications that came in with the replies above, then those that arrive.
      if (!broken) PublishArrived(pg.Conn, hub_);
      if (broken || !WaitFor(PQsocket(pg.Conn), POLLIN, -1)) break;
      if (PQconsumeInput(pg.Conn) == 0 || PQstatus(pg.Conn) != CONNECTION_OK) broken = true;
      if (!broken) PublishArrived(pg.Conn, hub_);
    }
    in_step_ = false;
    if (broken && !stopping_) {
      ServerLog("notifications: the LISTEN connection to PostgreSQL broke; connecting again");
      WaitFor(-1, 0, kFirstPauseMs);
    }
  }
}

TPostgresListeners::TPostgresListeners(const TDatabaseCatalog& catalog, TNotificationHub& hub)
    : hub_(hub) {
  std::set<std::string> uris;
  for (const auto& [name, locator] : catalog.All()) {
    if (locator.Backend == nullptr || locator.Backend->Name != "PostgreSQL") continue;
    if (!uris.insert(locator.Location).second) continue;
    listeners_.push_back(std::make_unique<TPostgresListener>(locator.Location, hub));
  }
  if (listeners_.empty()) return;
  hub_.SetOnChannelsChanged([this](const std::set<std::string>& channels) {
    for (const auto& listener : listeners_) listener->SetChannels(channels);
  });
}

TPostgresListeners::~TPostgresListeners() {
  if (!listeners_.empty()) hub_.SetOnChannelsChanged(nullptr);
  listeners_.clear();
}

}  // namespace larkspire::server
