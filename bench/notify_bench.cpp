// A benchmark of notification delivery on loopback: 64 listening clients, each its own
// connection subscribed to one channel, and one notifier, against one larkspire-server.
//
// Each notification carries its index and the moment it was sent; every listener checks that
// it gets each one exactly once, in order, with the sequence one above the last and no Missed
// flag. Two phases per run:
//   paced: notifications at a steady rate (--rate, 200 a second) for --count (600): p50 and p99
//          of the time from the notify to the listener's OnNotification, and of the notifier's
//          own request;
//   burst: --burst (2000) notifications back to back: deliveries per second from the first
//          notify until every listener has the last one, with p50 and p99 under that load.
// Then the count lost (never delivered within 10 s of the last notify), duplicated or out of
// order, which must be 0, and the route the listeners were on.
//
// Runs: SQLite with the notifier's own notify (command 603); on PostgreSQL (a throwaway cluster,
// when one can be started) the same, and NOTIFY sent to the database by the notifier through
// libpq, which the server hears on its LISTEN connection.
//
//   notify_bench [--listeners N] [--count N] [--rate PER_SECOND] [--burst N]
//                [--only sqlite|pg|pg-sql]
#include <libpq-fe.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench_measures.h"
#include "components/connection.h"
#include "support/postgres_cluster.h"
#include "support/server_fixture.h"

namespace {

using namespace larkspire;
using larkspire::bench::CpuSeconds;
using larkspire::bench::Percentile;
using larkspire::test::TPostgresCluster;
using larkspire::test::TServerProcess;
using TClock = std::chrono::steady_clock;

constexpr const char* kChannel = "bench";

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(TClock::now().time_since_epoch())
      .count();
}

// What one listener saw. Its handler runs on its own listener's delivery thread; the counters
// are read by the main thread while deliveries go on.
struct TListener {
  std::mutex Mutex;
  std::vector<double> LatencyMs;  // of the phase being measured
  int64_t NextIndex = 0;          // the index expected next
  uint64_t LastSequence = 0;
  std::atomic<int64_t> Received{0};
  int64_t OutOfOrder = 0;  // an index other than the next one (a duplicate or a skip)
  int64_t Missed = 0;      // Missed flags and sequence skips
  std::atomic<int64_t> LastArrivalNs{0};
  // Last, so that it is destroyed first: its listener stops before the counters go.
  TLarkspireConnection Connection;

  void OnNotification(const TLarkspireNotification& n) {
    const int64_t now = NowNs();
    const char* text = n.Payload.c_str();
    char* end = nullptr;
    const int64_t index = std::strtoll(text, &end, 10);
    const int64_t sent = std::strtoll(end, nullptr, 10);
    std::lock_guard lock(Mutex);
    if (index != NextIndex) ++OutOfOrder;
    NextIndex = index + 1;
    if (n.Missed || (LastSequence != 0 && n.Sequence != LastSequence + 1)) ++Missed;
    LastSequence = n.Sequence;
    LatencyMs.push_back(static_cast<double>(now - sent) / 1e6);
    LastArrivalNs = now;
    ++Received;
  }
};

// The notifier: either the server's own notify on a connection, or NOTIFY through libpq.
class TNotifier {
 public:
  TNotifier(uint16_t port, const std::string& connection_name, const std::string& pg_conninfo) {
    if (pg_conninfo.empty()) {
      connection_.SetRemotePort(port);
      connection_.SetConnectionName(connection_name);
      connection_.SetClientName("Notifier");
      connection_.SetConnected(true);
      return;
    }
    pg_ = PQconnectdb(pg_conninfo.c_str());
    if (PQstatus(pg_) != CONNECTION_OK) {
      const std::string error = PQerrorMessage(pg_);
      PQfinish(pg_);
      throw std::runtime_error("libpq: " + error);
    }
  }
  ~TNotifier() {
    if (pg_ != nullptr) PQfinish(pg_);
  }

  void Send(int64_t index) {
    const std::string payload = std::to_string(index) + " " + std::to_string(NowNs());
    if (pg_ == nullptr) {
      connection_.Notify(kChannel, payload);
      return;
    }
    const char* values[] = {kChannel, payload.c_str()};
    PGresult* result =
        PQexecParams(pg_, "select pg_notify($1, $2)", 2, nullptr, values, nullptr, nullptr, 0);
    const bool ok = PQresultStatus(result) == PGRES_TUPLES_OK;
    PQclear(result);
    if (!ok) throw std::runtime_error(std::string("pg_notify: ") + PQerrorMessage(pg_));
  }

 private:
  TLarkspireConnection connection_;
  PGconn* pg_ = nullptr;
};

struct TRun {
  std::string Name;  // for --only
  std::string Label;
  std::vector<std::string> ServerArgs;
  std::string ConnectionName;
  std::string PgConnInfo;  // empty: the server's own notify
};

const char* RouteName(TNotificationRoute route) {
  switch (route) {
    case TNotificationRoute::Datagram:
      return "datagram";
    case TNotificationRoute::Tcp:
      return "tcp";
    default:
      return "none";
  }
}

// Waits until every listener has `expected` notifications or `patience` passed since the last
// arrival anywhere; returns the moment the last one arrived.
int64_t Drain(std::vector<std::unique_ptr<TListener>>& listeners, int64_t expected,
              std::chrono::milliseconds patience) {
  auto quiet_since = TClock::now();
  int64_t total_before = -1;
  for (;;) {
    int64_t total = 0;
    bool all = true;
    for (auto& listener : listeners) {
      total += listener->Received;
      all = all && listener->Received >= expected;
    }
    if (all) break;
    if (total != total_before) {
      total_before = total;
      quiet_since = TClock::now();
    } else if (TClock::now() - quiet_since > patience) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  int64_t last = 0;
  for (auto& listener : listeners) last = std::max<int64_t>(last, listener->LastArrivalNs);
  return last;
}

std::vector<double> TakeLatencies(std::vector<std::unique_ptr<TListener>>& listeners) {
  std::vector<double> all;
  for (auto& listener : listeners) {
    std::lock_guard lock(listener->Mutex);
    all.insert(all.end(), listener->LatencyMs.begin(), listener->LatencyMs.end());
    listener->LatencyMs.clear();
  }
  return all;
}

int Run(const TRun& run, int listener_count, int count, int rate, int burst) {
  TServerProcess server(run.ServerArgs);
  std::vector<std::unique_ptr<TListener>> listeners;
  for (int i = 0; i < listener_count; ++i) {
    auto listener = std::make_unique<TListener>();
    TListener* self = listener.get();
    listener->Connection.SetRemotePort(server.Port());
    listener->Connection.SetConnectionName(run.ConnectionName);
    listener->Connection.SetClientName("Listener" + std::to_string(i));
    listener->Connection.SetOnNotification(
        [self](const TLarkspireNotification& n) { self->OnNotification(n); });
    listener->Connection.Subscribe(kChannel);
    listeners.push_back(std::move(listener));
  }
  TNotifier notifier(server.Port(), run.ConnectionName, run.PgConnInfo);
  // Datagram links are bound a moment after the subscription; let them settle.
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  int datagram = 0;
  for (auto& listener : listeners)
    datagram += listener->Connection.NotificationRoute() == TNotificationRoute::Datagram ? 1 : 0;

  // Paced.
  const double server_cpu_before = 1000 * CpuSeconds(server.Pid());
  const double own_cpu_before = 1000 * CpuSeconds(::getpid());
  const auto interval = std::chrono::nanoseconds(1000000000LL / std::max(1, rate));
  auto next = TClock::now();
  std::vector<double> round_trips;  // of the notifier's own request
  for (int64_t i = 0; i < count; ++i) {
    std::this_thread::sleep_until(next);
    const auto start = TClock::now();
    notifier.Send(i);
    round_trips.push_back(std::chrono::duration<double, std::milli>(TClock::now() - start).count());
    next += interval;
  }
  Drain(listeners, count, std::chrono::seconds(10));
  const std::vector<double> paced = TakeLatencies(listeners);
  // What one notification to every listener costs: the server's part and the clients' (the
  // listeners and the notifier, all in this process).
  const double server_cpu = (1000 * CpuSeconds(server.Pid()) - server_cpu_before) / count;
  const double own_cpu = (1000 * CpuSeconds(::getpid()) - own_cpu_before) / count;

  // Burst.
  const int64_t first_ns = NowNs();
  for (int64_t i = count; i < count + burst; ++i) notifier.Send(i);
  const int64_t sent_ns = NowNs();
  const int64_t last_ns = Drain(listeners, count + burst, std::chrono::seconds(10));
  const std::vector<double> bursty = TakeLatencies(listeners);

  int64_t received = 0;
  int64_t out_of_order = 0;
  int64_t missed = 0;
  for (auto& listener : listeners) {
    std::lock_guard lock(listener->Mutex);
    received += listener->Received;
    out_of_order += listener->OutOfOrder;
    missed += listener->Missed;
  }
  const int64_t expected = static_cast<int64_t>(listener_count) * (count + burst);
  const int64_t burst_deliveries = static_cast<int64_t>(bursty.size());
  const double burst_seconds = static_cast<double>(std::max<int64_t>(last_ns - first_ns, 1)) / 1e9;
  std::printf(
      "notify %-18s %d listeners (%d on datagrams)\n"
      "    paced %d at %d/s: p50 %6.2f ms  p99 %6.2f ms  max %6.2f ms  (the notify's own round "
      "trip p50 %.2f ms  p99 %.2f ms)\n"
      "    CPU per notification to every listener: server %.2f ms, clients %.2f ms\n"
      "    burst %d: %8.0f deliveries/s (%.0f notifies/s sent)  p50 %6.2f ms  p99 %6.2f ms\n"
      "    delivered %lld of %lld: lost %lld  out of order %lld  missed %lld\n",
      run.Label.c_str(), listener_count, datagram, count, rate, Percentile(paced, 0.50),
      Percentile(paced, 0.99), Percentile(paced, 1.0), Percentile(round_trips, 0.50),
      Percentile(round_trips, 0.99), server_cpu, own_cpu, burst,
      static_cast<double>(burst_deliveries) / burst_seconds,
      burst / (static_cast<double>(std::max<int64_t>(sent_ns - first_ns, 1)) / 1e9),
      Percentile(bursty, 0.50), Percentile(bursty, 0.99), static_cast<long long>(received),
      static_cast<long long>(expected), static_cast<long long>(expected - received),
      static_cast<long long>(out_of_order), static_cast<long long>(missed));
  std::printf("    listener route: %s\n", RouteName(listeners[0]->Connection.NotificationRoute()));
  std::fflush(stdout);
  listeners.clear();
  return received == expected && out_of_order == 0 && missed == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  int listeners = 64;
  int count = 600;
  int rate = 200;
  int burst = 2000;
  std::string only;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--listeners") == 0) listeners = std::max(1, std::atoi(argv[i + 1]));
    if (std::strcmp(argv[i], "--count") == 0) count = std::max(1, std::atoi(argv[i + 1]));
    if (std::strcmp(argv[i], "--rate") == 0) rate = std::max(1, std::atoi(argv[i + 1]));
    if (std::strcmp(argv[i], "--burst") == 0) burst = std::max(1, std::atoi(argv[i + 1]));
    if (std::strcmp(argv[i], "--only") == 0) only = argv[i + 1];
  }
  std::vector<TRun> runs;
  const std::vector<std::string> room = {"--max-connections", std::to_string(2 * listeners + 8)};
  runs.push_back({"sqlite", "sqlite (notify)", room, "", ""});
  TPostgresCluster* cluster = only == "sqlite" ? nullptr : TPostgresCluster::Instance();
  if (cluster != nullptr) {
    const std::string database = cluster->CreateDatabase("lknotify");
    std::vector<std::string> args = {"--database", "pg=" + cluster->Url(database), "--seed-demo",
                                     "pg"};
    args.insert(args.end(), room.begin(), room.end());
    runs.push_back({"pg", "pg (notify)", args, "pg", ""});
    runs.push_back({"pg-sql", "pg (NOTIFY in SQL)", args, "pg", cluster->ConnInfo(database)});
  } else if (only != "sqlite") {
    std::printf("PostgreSQL runs skipped: %s\n", TPostgresCluster::StartError().c_str());
  }
  int status = 0;
  for (const TRun& run : runs) {
    if (!only.empty() && run.Name != only) continue;
    try {
      status |= Run(run, listeners, count, rate, burst);
    } catch (const std::exception& e) {
      std::printf("notify %s: %s\n", run.Label.c_str(), e.what());
      status = 1;
    }
  }
  return status;
}
