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
#include <string>
#include <thread>
#include <vector>

#include "components/connection.h"
#include "components/plugin_call.h"
#include "components/query.h"
#include "components/update_file.h"
#include "support/postgres_cluster.h"
#include "support/raw_client.h"
#include "support/server_fixture.h"

namespace {

using namespace larkspire;
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
};

int64_t VmRssKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atoll(line.c_str() + 6);
  return 0;
}

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t index =
      std::min(values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size())));
  return values[index];
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// One client: its own connection and components, rounds operations of the mix.
void RunClient(int client, int rounds, uint16_t port, const TLoadRun& run,
               const std::string& file_bytes, const fs::path& local_folder, TResults& results) {
  TLarkspireConnection connection;
  connection.SetRemotePort(port);
  connection.SetConnectionName(run.Connection);
  connection.SetClientName("LoadBench" + std::to_string(client));

  TLarkspireQuery rows;
  rows.SetConnection(&connection);
  rows.SQL().SetText("select ProId, ProCode, ProName from products where ProId <= " +
                     std::to_string(kDemoProducts) + " order by ProId");
  TLarkspireQuery posts;
  posts.SetConnection(&connection);
  posts.SQL().SetText("select * from products where ProId < 0");
  TLarkspireQuery pages;
  pages.SetConnection(&connection);
  pages.SQL().SetText("select * from products where ProId <= " + std::to_string(kDemoProducts) +
                      " order by ProId");
  pages.Paging().SetPageSize(10);
  TLarkspirePluginCall plugin;
  plugin.SetConnection(&connection);
  TLarkspireUpdateFile files;
  files.SetConnection(&connection);
  const std::string local = (local_folder / ("client" + std::to_string(client) + ".bin")).string();

  int posted = 0;
  std::vector<double> ms[opCount];
  std::vector<std::string> codes;
  int64_t requests = 0;
  for (int round = 0; round < rounds; ++round) {
    const TOp op = kMix[(client + round) % (sizeof kMix / sizeof kMix[0])];
    const auto start = TClock::now();
    std::string wrong;
    bool failed = false;
    std::string code;
    try {
      switch (op) {
        case opQuery:
          rows.Close();
          rows.Open();
          if (rows.RecordCount() != kDemoProducts || rows.FieldByName("ProId").AsInteger() != 1)
            wrong = "query: " + std::to_string(rows.RecordCount()) + " rows";
          break;
        case opPost:
          if (!posts.Active()) posts.Open();
          code = "L" + std::to_string(client) + "-" + std::to_string(++posted);
          posts.Append();
          posts.FieldByName("ProCode").SetAsString(code);
          posts.FieldByName("ProName").SetAsString("load test row");
          posts.Post();
          if (posts.FieldByName("ProId").IsNull()) wrong = "post: no key came back";
          break;
        case opPage:
          pages.Paging().ReloadFirstPage();
          pages.Paging().NextPage();
          if (pages.RecordCount() != 10 || pages.FieldByName("ProId").AsInteger() != 11 ||
              pages.Paging().RecordCount() != kDemoProducts)
            wrong = "page 2: wrong rows";
          break;
        case opPlugin: {
          const int a = client * 1000 + round;
          plugin.RequestData().Clear();
          plugin.RequestData().Param("ReqType").SetAsInteger(0);
          plugin.RequestData().Param("a").SetAsInteger(a);
          plugin.RequestData().Param("b").SetAsInteger(7);
          if (!plugin.Execute("PluginSample")) {
            wrong = "plug-in: failed";
          } else {
            auto* result = plugin.ResponseData().FindParam("Result");
            if (result == nullptr || result->GetAsInteger() != a + 7) wrong = "plug-in: wrong sum";
          }
          break;
        }
        case opDownload:
          fs::remove(local);
          if (!files.DownloadFile("load.bin", local) || ReadFile(local) != file_bytes)
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
          posts.Cancel();
        } catch (...) {
        }
      }
    }
    const double took = std::chrono::duration<double, std::milli>(TClock::now() - start).count();
    if (!wrong.empty()) {
      results.Fail("client " + std::to_string(client) + ": " + wrong, !failed);
      continue;
    }
    ms[op].push_back(took);
    requests += kOpRequests[op];
    if (op == opPost) codes.push_back(code);
  }
  std::lock_guard lock(results.Mutex);
  for (int op = 0; op < opCount; ++op)
    results.Ms[op].insert(results.Ms[op].end(), ms[op].begin(), ms[op].end());
  results.Posted.insert(codes.begin(), codes.end());
  results.Requests += requests;
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

  // Every successful post is in the table once, and nothing else of the load test is.
  const std::multiset<std::string> table = CodesInTable(server.Port(), run.Connection);
  int missing = 0;
  for (const std::string& code : results.Posted) missing += table.count(code) == 1 ? 0 : 1;
  const int extra = static_cast<int>(table.size()) - static_cast<int>(results.Posted.size());

  std::vector<double> all;
  for (const auto& ms : results.Ms) all.insert(all.end(), ms.begin(), ms.end());
  std::printf(
      "load %-6s %-26s %d clients x %d: %7.0f requests/s  p50 %6.2f ms  p99 %7.2f ms  "
      "plug-in p50 %6.2f ms  p99 %7.2f ms  wrong %d  failed %d  posts %zu in table (missing %d, "
      "extra %d)  server VmRSS %.1f / %.1f / %.1f MiB (before / peak / after)\n",
      run.Backend.c_str(), run.Label.c_str(), clients, rounds,
      static_cast<double>(results.Requests) / seconds, Percentile(all, 0.50), Percentile(all, 0.99),
      Percentile(results.Ms[opPlugin], 0.50), Percentile(results.Ms[opPlugin], 0.99), results.Wrong,
      results.Failures, results.Posted.size(), missing, extra, static_cast<double>(before) / 1024,
      static_cast<double>(peak) / 1024, static_cast<double>(after) / 1024);
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

}  // namespace

int main(int argc, char** argv) {
  int clients = 64;
  int rounds = 30;
  int active = 0;
  int seconds = 10;
  std::string pool_size;
  std::string warm = "16";
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--clients") == 0) clients = std::max(1, std::atoi(argv[i + 1]));
    if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::max(1, std::atoi(argv[i + 1]));
    if (std::strcmp(argv[i], "--runners") == 0) warm = argv[i + 1];
    if (std::strcmp(argv[i], "--active") == 0) active = std::max(1, std::atoi(argv[i + 1]));
    if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::max(1, std::atoi(argv[i + 1]));
    if (std::strcmp(argv[i], "--pool-size") == 0) pool_size = argv[i + 1];
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
