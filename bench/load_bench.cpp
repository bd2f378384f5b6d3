// A load test of one larkspire-server on loopback: 64 clients, each with its own connection,
// run a mix of queries, posts, paged fetches, PluginSample sums and downloads at once, on SQLite
// (the demonstration database) and on PostgreSQL (a fresh database seeded with the same
// products table, when a throwaway cluster can be started).
//
// Every reply is checked (row counts and keys, the plug-in's sum, the downloaded bytes); a
// failed or wrong one is counted and its first texts printed. Every post inserts a row with a
// code of its own, and afterwards the table must hold exactly the rows whose posts succeeded.
// Each run prints one line of figures: requests per second, p50 and p99 latency of every
// operation and of the plug-in calls alone, and the server's resident memory (VmRSS) before the
// clients connect, at its peak while they run, and after they have gone.
//
// Each backend runs twice: with a fresh runner process for every plug-in call
// (--plugin-runners 0, the server as it was) and with the warm runners (the default).
//
//   load_bench [--clients N] [--rounds N] [--runners N]    (defaults 64, 30 and the server's 16)
//
// With --active, the crowd instead: N clients connect and stay connected, most of them idle (a
// handshake and nothing more, as desktop clients between statements), while ACTIVE of them
// send one-row queries back to back for --seconds (10). It prints requests per second, p50 and
// p99 of the one-row query, the server's peak resident memory (VmHWM) and the most database
// connections in use at once (the pool's own count, from the server's log), on SQLite and on
// PostgreSQL, with the server's default --pool-size unless --pool-size says otherwise:
//
//   load_bench --clients 2000 --active 200 [--seconds S] [--pool-size N]
//
// With --servers N, N servers on one PostgreSQL database (a throwaway cluster), every client
// given all of them: the clients connect one after another (each to the least loaded server, as
// its load probe finds them), then all run the mix for --seconds (10). It prints how the sessions
// spread over the servers, each server's CPU time, requests per second in total, p50 and p99,
// and the load average at the end. With --at-once the clients connect all at the same time
// instead, as after a restart of every client at once:
//
//   load_bench --servers 2 [--clients N] [--seconds S] [--at-once]
//
// A reply is wrong when it arrives with other rows or bytes than asked for; a failed reply (an
// exception with the server's or the connection's text) is counted apart, with its first texts.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_measures.h"
#include "components/connection.h"
#include "components/plugin_call.h"
#include "components/query.h"
#include "components/update_file.h"
#include "support/postgres_cluster.h"
#include "support/raw_client.h"
#include "support/server_fixture.h"

namespace {

using namespace larkspire;
using larkspire::bench::CpuSeconds;
using larkspire::bench::Percentile;
using larkspire::test::TPostgresCluster;
using larkspire::test::TServerProcess;
using TClock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr int kDemoProducts = 45;
constexpr int kFileSize = 300000;  // ten blocks, the last one short

enum TOp { opQuery, opPost, opPage, opPlugin, opDownload, opCount };
const char* const kOpNames[] = {"query", "post", "page", "plug-in", "download"};
// Requests each operation sends: a page fetch asks for two pages, a download its information
// and its blocks.
const int kOpRequests[] = {1, 1, 2, 1, 2};
// The order every client runs its operations in, starting at an offset of its own.
const TOp kMix[] = {opQuery, opPlugin,   opPage,   opPost, opPlugin,
                    opQuery, opDownload, opPlugin, opPage, opPost};

struct TLoadRun {
  std::string Backend;     // "sqlite" or "pg"
  std::string Connection;  // ConnectionName
  std::vector<std::string> ServerArgs;
  std::string Label;
};

struct TResults {
  std::mutex Mutex;
  std::vector<double> Ms[opCount];
  int Wrong = 0;
  int Failures = 0;
  std::vector<std::string> FailureTexts;
  std::set<std::string> Posted;  // codes of the posts that succeeded
  int64_t Requests = 0;

  void Fail(const std::string& text, bool wrong) {
    std::lock_guard lock(Mutex);
    ++(wrong ? Wrong : Failures);
    if (FailureTexts.size() < 5) FailureTexts.push_back(text);
  }
  // Every latency, of every operation.
  std::vector<double> AllMs() const {
    std::vector<double> all;
    for (const auto& ms : Ms) all.insert(all.end(), ms.begin(), ms.end());
    return all;
  }
};

int64_t VmRssKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atoll(line.c_str() + 6);
  return 0;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// One client: its own connection and components, running operations of the mix.
class TClient {
 public:
  // hosts: a host list for the connection, or empty for the loopback at port.
  TClient(int client, uint16_t port, const std::string& hosts, const TLoadRun& run,
          const std::string& file_bytes, const fs::path& local_folder)
      : client_(client),
        file_bytes_(file_bytes),
        local_((local_folder / ("client" + std::to_string(client) + ".bin")).string()) {
    connection_.SetRemotePort(port);
    if (!hosts.empty()) connection_.SetRemoteIP(hosts);
    connection_.SetConnectionName(run.Connection);
    connection_.SetClientName("LoadBench" + std::to_string(client));
    rows_.SetConnection(&connection_);
    rows_.SQL().SetText("select ProId, ProCode, ProName from products where ProId <= " +
                        std::to_string(kDemoProducts) + " order by ProId");
    posts_.SetConnection(&connection_);
    posts_.SQL().SetText("select * from products where ProId < 0");
    pages_.SetConnection(&connection_);
    pages_.SQL().SetText("select * from products where ProId <= " + std::to_string(kDemoProducts) +
                         " order by ProId");
    pages_.Paging().SetPageSize(10);
    plugin_.SetConnection(&connection_);
    files_.SetConnection(&connection_);
  }

  TLarkspireConnection& Connection() { return connection_; }

  // The operation of this round; a wrong or failed one goes to results at once.
  void RunRound(int round, TResults& results);
  // Hands the timings, the posted codes and the request count over.
  void Finish(TResults& results);

 private:
  int client_;
  const std::string& file_bytes_;
  std::string local_;
  TLarkspireConnection connection_;
  TLarkspireQuery rows_, posts_, pages_;
  TLarkspirePluginCall plugin_;
  TLarkspireUpdateFile files_;
  int posted_ = 0;
  std::vector<double> ms_[opCount];
  std::vector<std::string> codes_;
  int64_t requests_ = 0;
};

void TClient::RunRound(int round, TResults& results) {
  const TOp op = kMix[(client_ + round) % (sizeof kMix / sizeof kMix[0])];
  const auto start = TClock::now();
  std::string wrong;
  bool failed = false;
  std::string code;
  try {
    switch (op) {
      case opQuery:
        rows_.Close();
        rows_.Open();
        if (rows_.RecordCount() != kDemoProducts || rows_.FieldByName("ProId").AsInteger() != 1)
          wrong = "query: " + std::to_string(rows_.RecordCount()) + " rows";
        break;
      case opPost:
        if (!posts_.Active()) posts_.Open();
        code = "L" + std::to_string(client_) + "-" + std::to_string(++posted_);
        posts_.Append();
        posts_.FieldByName("ProCode").SetAsString(code);
        posts_.FieldByName("ProName").SetAsString("load test row");
        posts_.Post();
        if (posts_.FieldByName("ProId").IsNull()) wrong = "post: no key came back";
        break;
      case opPage:
        pages_.Paging().ReloadFirstPage();
        pages_.Paging().NextPage();
        if (pages_.RecordCount() != 10 || pages_.FieldByName("ProId").AsInteger() != 11 ||
            pages_.Paging().RecordCount() != kDemoProducts)
          wrong = "page 2: wrong rows";
        break;
      case opPlugin: {
        const int a = client_ * 1000 + round;
        plugin_.RequestData().Clear();
        plugin_.RequestData().Param("ReqType").SetAsInteger(0);
        plugin_.RequestData().Param("a").SetAsInteger(a);
        plugin_.RequestData().Param("b").SetAsInteger(7);
        if (!plugin_.Execute("PluginSample")) {
          wrong = "plug-in: failed";
        } else {
          auto* result = plugin_.ResponseData().FindParam("Result");
          if (result == nullptr || result->GetAsInteger() != a + 7) wrong = "plug-in: wrong sum";
        }
        break;
      }
      case opDownload:
        fs::remove(local_);
        if (!files_.DownloadFile("load.bin", local_) || ReadFile(local_) != file_bytes_)
          wrong = "download: wrong bytes";
        break;
      case opCount:
        break;
    }
  } catch (const std::exception& e) {
    wrong = std::string(kOpNames[op]) + ": " + e.what();
    failed = true;
    if (op == opPost) {
      try {
        posts_.Cancel();
      } catch (...) {
      }
    }
  }
  const double took = std::chrono::duration<double, std::milli>(TClock::now() - start).count();
  if (!wrong.empty()) {
    results.Fail("client " + std::to_string(client_) + ": " + wrong, !failed);
    return;
  }
  ms_[op].push_back(took);
  requests_ += kOpRequests[op];
  if (op == opPost) codes_.push_back(code);
}

void TClient::Finish(TResults& results) {
  std::lock_guard lock(results.Mutex);
  for (int op = 0; op < opCount; ++op)
    results.Ms[op].insert(results.Ms[op].end(), ms_[op].begin(), ms_[op].end());
  results.Posted.insert(codes_.begin(), codes_.end());
  results.Requests += requests_;
}

// One client running rounds operations of the mix.
void RunClient(int client, int rounds, uint16_t port, const TLoadRun& run,
               const std::string& file_bytes, const fs::path& local_folder, TResults& results) {
  TClient one(client, port, "", run, file_bytes, local_folder);
  for (int round = 0; round < rounds; ++round) one.RunRound(round, results);
  one.Finish(results);
}

// The codes of the load test's rows in the table, through a connection of its own.
std::multiset<std::string> CodesInTable(uint16_t port, const std::string& connection_name) {
  TLarkspireConnection connection;
  connection.SetRemotePort(port);
  connection.SetConnectionName(connection_name);
  TLarkspireQuery query;
  query.SetConnection(&connection);
  query.SQL().SetText("select ProCode from products where ProCode like 'L%'");
  query.Open();
  std::multiset<std::string> codes;
  for (query.First(); !query.Eof(); query.Next())
    codes.insert(query.FieldByName("ProCode").AsString());
  return codes;
}

// Every successful post is in the table once, and nothing else of the load test is.
struct TPostCheck {
  int Missing = 0;  // posts that succeeded but are not in the table once
  int Extra = 0;    // rows beyond the posts that succeeded
};

TPostCheck CheckPosts(const std::multiset<std::string>& table, const TResults& results) {
  TPostCheck check;
  for (const std::string& code : results.Posted) check.Missing += table.count(code) == 1 ? 0 : 1;
  check.Extra = static_cast<int>(table.size()) - static_cast<int>(results.Posted.size());
  return check;
}

void RunLoad(const TLoadRun& run, int clients, int rounds, const fs::path& folder,
             const std::string& file_bytes) {
  std::vector<std::string> args = run.ServerArgs;
  args.insert(args.end(), {"--files", (folder / "served").string(), "--max-connections",
                           std::to_string(clients + 8)});
  TServerProcess server(args);
  const fs::path local = folder / ("local-" + run.Backend);
  fs::create_directories(local);

  const int64_t before = VmRssKiB(server.Pid());
  std::atomic<bool> running{true};
  std::atomic<int64_t> peak{before};
  std::thread sampler([&] {
    while (running) {
      peak = std::max<int64_t>(peak, VmRssKiB(server.Pid()));
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });

  TResults results;
  const auto start = TClock::now();
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c)
    threads.emplace_back(RunClient, c, rounds, server.Port(), std::cref(run), std::cref(file_bytes),
                         local, std::ref(results));
  for (std::thread& thread : threads) thread.join();
  const double seconds = std::chrono::duration<double>(TClock::now() - start).count();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the sessions wind down
  running = false;
  sampler.join();
  const int64_t after = VmRssKiB(server.Pid());

  const TPostCheck posts = CheckPosts(CodesInTable(server.Port(), run.Connection), results);
  const std::vector<double> all = results.AllMs();
  std::printf(
      "load %-6s %-26s %d clients x %d: %7.0f requests/s  p50 %6.2f ms  p99 %7.2f ms  "
      "plug-in p50 %6.2f ms  p99 %7.2f ms  wrong %d  failed %d  posts %zu in table (missing %d, "
      "extra %d)  server VmRSS %.1f / %.1f / %.1f MiB (before / peak / after)\n",
      run.Backend.c_str(), run.Label.c_str(), clients, rounds,
      static_cast<double>(results.Requests) / seconds, Percentile(all, 0.50), Percentile(all, 0.99),
      Percentile(results.Ms[opPlugin], 0.50), Percentile(results.Ms[opPlugin], 0.99), results.Wrong,
      results.Failures, results.Posted.size(), posts.Missing, posts.Extra,
      static_cast<double>(before) / 1024, static_cast<double>(peak) / 1024,
      static_cast<double>(after) / 1024);
  for (int op = 0; op < opCount; ++op)
    std::printf("    %-9s n %4zu  p50 %6.2f ms  p99 %7.2f ms\n", kOpNames[op],
                results.Ms[op].size(), Percentile(results.Ms[op], 0.50),
                Percentile(results.Ms[op], 0.99));
  for (const std::string& text : results.FailureTexts)
    std::printf("    failed: %s\n", text.c_str());
  std::fflush(stdout);
}

int64_t VmHwmKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::atoll(line.c_str() + 6);
  return 0;
}

// The most database connections in use at once that the server's pools logged at its stop, or
// -1 when it logged none.
int MostConnectionsInUse(const std::string& log) {
  const std::string marker = " connections in use at once";
  int most = -1;
  for (size_t at = log.find(marker); at != std::string::npos; at = log.find(marker, at + 1)) {
    size_t begin = at;
    while (begin > 0 && std::isdigit(static_cast<unsigned char>(log[begin - 1])) != 0) --begin;
    if (begin < at) most = std::max(most, std::atoi(log.c_str() + begin));
  }
  return most;
}

// The crowd: clients connected, active of them querying one row back to back for seconds.
void RunCrowd(const std::string& backend, std::vector<std::string> args, int clients, int active,
              int seconds, const std::string& connection_name) {
  args.insert(args.end(), {"--max-connections", std::to_string(clients + 8)});
  TServerProcess server(args);
  const int idle = clients - active;
  std::vector<std::unique_ptr<test::TRawClient>> idlers;
  int idle_refused = 0;
  for (int i = 0; i < idle; ++i) {
    auto client = std::make_unique<test::TRawClient>();
    if (!client->Connect(server.Port()) ||
        client->Handshake("00-00-00-00-00-01", "Idle" + std::to_string(i)).Status != 1) {
      ++idle_refused;
      continue;
    }
    idlers.push_back(std::move(client));
  }
  std::atomic<bool> go{false};
  std::atomic<bool> stop{false};
  std::atomic<int> ready{0};
  std::mutex mutex;
  std::vector<double> all;
  int64_t failures = 0;
  std::string first_failure;
  std::vector<std::thread> threads;
  for (int c = 0; c < active; ++c) {
    threads.emplace_back([&, c] {
      TLarkspireConnection connection;
      connection.SetRemotePort(server.Port());
      connection.SetConnectionName(connection_name);
      connection.SetClientName("Active" + std::to_string(c));
      TLarkspireQuery query;
      query.SetConnection(&connection);
      query.SQL().SetText("select ProId, ProName from products where ProId = " +
                          std::to_string(c % kDemoProducts + 1));
      std::vector<double> ms;
      int64_t failed = 0;
      std::string failure;
      try {
        connection.SetConnected(true);
      } catch (...) {
      }
      ++ready;
      while (!go) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      while (!stop) {
        const auto start = TClock::now();
        try {
          query.Close();
          query.Open();
          if (query.RecordCount() != 1) throw std::runtime_error("not one row");
          ms.push_back(std::chrono::duration<double, std::milli>(TClock::now() - start).count());
        } catch (const std::exception& e) {
          if (failure.empty()) failure = e.what();
          ++failed;
        }
      }
      std::lock_guard lock(mutex);
      all.insert(all.end(), ms.begin(), ms.end());
      failures += failed;
      if (first_failure.empty()) first_failure = failure;
    });
  }
  while (ready < active) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const int64_t before = VmRssKiB(server.Pid());
  go = true;
  const auto start = TClock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  stop = true;
  for (std::thread& thread : threads) thread.join();
  const double took = std::chrono::duration<double>(TClock::now() - start).count();
  int idle_alive = 0;
  for (auto& client : idlers) idle_alive += client->IsOpen() ? 1 : 0;
  const int64_t peak = VmHwmKiB(server.Pid());
  idlers.clear();
  server.Stop();
  std::printf(
      "crowd %-6s %d clients, %d active for %d s: %7.0f requests/s  one-row query p50 %6.2f ms  "
      "p99 %7.2f ms  failed %lld  idle connected %d (refused %d)  server VmRSS with every client "
      "%.1f MiB, peak VmHWM %.1f MiB  database connections in use at most %d\n",
      backend.c_str(), clients, active, seconds, static_cast<double>(all.size()) / took,
      Percentile(all, 0.50), Percentile(all, 0.99), static_cast<long long>(failures), idle_alive,
      idle_refused, static_cast<double>(before) / 1024, static_cast<double>(peak) / 1024,
      MostConnectionsInUse(server.Log()));
  if (!first_failure.empty()) std::printf("    failed: %s\n", first_failure.c_str());
  std::fflush(stdout);
}

// CPU seconds (user and system) a process has used so far.
std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

// Several servers on one PostgreSQL database. The clients connect one after another, each given
// every server, so each one's load probe sees the sessions of those before it; then all of them
// run the mix for seconds. Prints where the sessions went, the requests per second in total and
// each server's CPU time.
void RunServers(int servers, int clients, int seconds, bool at_once, const fs::path& folder,
                const std::string& file_bytes, TPostgresCluster& cluster) {
  const std::string database = cluster.CreateDatabase("lkservers");
  std::vector<std::unique_ptr<TServerProcess>> processes;
  std::string hosts;
  for (int i = 0; i < servers; ++i) {
    processes.push_back(std::make_unique<TServerProcess>(std::vector<std::string>{
        "--database", "pg=" + cluster.Url(database), "--seed-demo", "pg", "--files",
        (folder / "served").string(), "--max-connections", std::to_string(clients + 8)}));
    hosts +=
        (i == 0 ? "" : ",") + std::string("127.0.0.1:") + std::to_string(processes.back()->Port());
  }
  const TLoadRun run{"pg", "pg", {}, ""};
  const fs::path local = folder / "local-servers";
  fs::create_directories(local);
  std::vector<std::unique_ptr<TClient>> crowd;
  std::map<std::string, int> spread;
  auto note = [&spread](TLarkspireConnection& connection) {
    ++spread[connection.Connected() ? connection.ConnectedServer() : "(not connected)"];
  };
  for (int c = 0; c < clients; ++c) {
    crowd.push_back(
        std::make_unique<TClient>(c, processes[0]->Port(), hosts, run, file_bytes, local));
    if (at_once) continue;
    crowd.back()->Connection().SetConnected(true);
    note(crowd.back()->Connection());
  }
  if (at_once) {
    // Every probe goes out before any session opens: they all see the same loads.
    std::vector<std::thread> connecting;
    for (auto& client : crowd)
      connecting.emplace_back([one = client.get()] { one->Connection().SetConnected(true); });
    for (std::thread& thread : connecting) thread.join();
    for (auto& client : crowd) note(client->Connection());
  }
  std::vector<double> cpu_before;
  for (const auto& process : processes) cpu_before.push_back(CpuSeconds(process->Pid()));

  TResults results;
  std::atomic<bool> stop{false};
  const auto start = TClock::now();
  std::vector<std::thread> threads;
  for (auto& client : crowd) {
    threads.emplace_back([&results, &stop, one = client.get()] {
      for (int round = 0; !stop; ++round) one->RunRound(round, results);
      one->Finish(results);
    });
  }
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  stop = true;
  for (std::thread& thread : threads) thread.join();
  const double took = std::chrono::duration<double>(TClock::now() - start).count();
  const std::string load_average = LoadAverage();
  int moved = 0;
  std::map<std::string, int> after;
  for (auto& client : crowd) ++after[client->Connection().ConnectedServer()];
  for (const auto& [server, count] : after) moved += std::abs(count - spread[server]);

  const TPostCheck posts = CheckPosts(CodesInTable(processes[0]->Port(), "pg"), results);
  const std::vector<double> all = results.AllMs();
  std::printf(
      "servers %d, %d clients%s for %d s: %7.0f requests/s  p50 %6.2f ms  p99 %7.2f ms  wrong %d  "
      "failed %d  posts %zu in table (missing %d, extra %d)  load average %s\n",
      servers, clients, at_once ? " (connected at once)" : "", seconds,
      static_cast<double>(results.Requests) / took, Percentile(all, 0.50), Percentile(all, 0.99),
      results.Wrong, results.Failures, results.Posted.size(), posts.Missing, posts.Extra,
      load_average.c_str());
  for (size_t i = 0; i < processes.size(); ++i) {
    const std::string entry = "127.0.0.1:" + std::to_string(processes[i]->Port());
    std::printf("    %-16s %3d sessions  server CPU %5.1f s\n", entry.c_str(), spread[entry],
                CpuSeconds(processes[i]->Pid()) - cpu_before[i]);
  }
  if (spread.count("(not connected)") != 0)
    std::printf("    %d clients did not connect\n", spread["(not connected)"]);
  if (moved > 0) std::printf("    %d sessions changed server during the run\n", moved / 2);
  for (const std::string& text : results.FailureTexts)
    std::printf("    failed: %s\n", text.c_str());
  std::fflush(stdout);
  crowd.clear();
}

}  // namespace

int main(int argc, char** argv) {
  int clients = 64;
  int rounds = 30;
  int active = 0;
  int seconds = 10;
  int servers = 0;
  bool at_once = false;
  std::string pool_size;
  std::string warm = "16";
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (name == "--at-once") {
      at_once = true;
      continue;
    }
    if (i + 1 >= argc) break;
    const char* value = argv[++i];
    if (name == "--clients") clients = std::max(1, std::atoi(value));
    if (name == "--rounds") rounds = std::max(1, std::atoi(value));
    if (name == "--runners") warm = value;
    if (name == "--active") active = std::max(1, std::atoi(value));
    if (name == "--seconds") seconds = std::max(1, std::atoi(value));
    if (name == "--pool-size") pool_size = value;
    if (name == "--servers") servers = std::max(1, std::atoi(value));
  }
  if (active > 0) {
    active = std::min(active, clients);
    std::vector<std::string> pool;
    if (!pool_size.empty()) pool = {"--pool-size", pool_size};
    int status = 0;
    try {
      RunCrowd("sqlite", pool, clients, active, seconds, "");
      TPostgresCluster* cluster = TPostgresCluster::Instance();
      if (cluster != nullptr) {
        const std::string database = cluster->CreateDatabase("lkcrowd");
        std::vector<std::string> args = {"--database", "pg=" + cluster->Url(database),
                                         "--seed-demo", "pg"};
        args.insert(args.end(), pool.begin(), pool.end());
        RunCrowd("pg", args, clients, active, seconds, "pg");
      } else {
        std::printf("PostgreSQL run skipped: %s\n", TPostgresCluster::StartError().c_str());
      }
    } catch (const std::exception& e) {
      std::printf("crowd: %s\n", e.what());
      status = 1;
    }
    return status;
  }
  char pattern[] = "/tmp/lk-load-bench-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) return 1;
  const fs::path folder = pattern;
  fs::create_directories(folder / "served");
  std::string file_bytes(kFileSize, '\0');
  uint32_t state = 2463534242u;
  for (char& c : file_bytes) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    c = static_cast<char>(state);
  }
  std::ofstream(folder / "served" / "load.bin", std::ios::binary) << file_bytes;

  if (servers > 0) {
    int status = 0;
    TPostgresCluster* cluster = TPostgresCluster::Instance();
    if (cluster == nullptr) {
      std::printf("no PostgreSQL cluster: %s\n", TPostgresCluster::StartError().c_str());
      status = 1;
    } else {
      try {
        RunServers(servers, clients, seconds, at_once, folder, file_bytes, *cluster);
      } catch (const std::exception& e) {
        std::printf("servers %d: %s\n", servers, e.what());
        status = 1;
      }
    }
    std::error_code ignored;
    fs::remove_all(folder, ignored);
    return status;
  }

  std::vector<TLoadRun> runs;
  for (const std::string& runners : {std::string("0"), warm}) {
    const std::string label = runners == "0" ? "(a runner for every call)" : "(warm runners)";
    runs.push_back({"sqlite", "", {"--plugin-runners", runners}, label});
  }
  TPostgresCluster* cluster = TPostgresCluster::Instance();
  if (cluster != nullptr) {
    for (const std::string& runners : {std::string("0"), warm}) {
      const std::string label = runners == "0" ? "(a runner for every call)" : "(warm runners)";
      const std::string database = cluster->CreateDatabase("lkload");
      runs.push_back({"pg",
                      "pg",
                      {"--database", "pg=" + cluster->Url(database), "--seed-demo", "pg",
                       "--plugin-runners", runners},
                      label});
    }
  } else {
    std::printf("PostgreSQL runs skipped: %s\n", TPostgresCluster::StartError().c_str());
  }
  int status = 0;
  for (const TLoadRun& run : runs) {
    try {
      RunLoad(run, clients, rounds, folder, file_bytes);
    } catch (const std::exception& e) {
      std::printf("load %s %s: %s\n", run.Backend.c_str(), run.Label.c_str(), e.what());
      status = 1;
    }
    std::fflush(stdout);
  }
  std::error_code ignored;
  fs::remove_all(folder, ignored);
  return status;
}
