// The whole road from a database to the caller, against each database's own tools on the same
// rows (10 000 and 100 000 product rows):
//
//   the library (TLarkspireQuery.Open through the server)   / libpq fetching the rows (PostgreSQL)
//   the command-line client printing CSV (a process)        / psql --csv (a process)
//   the command-line client printing CSV from SQLite        / sqlite3 -csv (a process)
//   the library on SQLite                                    / the sqlite3 C API stepping the rows
//
// and, on 1 000 000 rows of four columns (a key, a text, a float and a time stamp), the
// command-line client printing CSV against psql --csv and sqlite3 -csv, with the client's peak
// memory (its maximum resident set, as /usr/bin/time reports it).
//
// Every program's output goes through a pipe into this process; the CSV outputs are checked to
// hold a header and one line per row. Each figure is the median of a few runs; the ratios come
// at the end, one a line, all from the same run. Without PostgreSQL (initdb and postgres) its
// lines are skipped with the reason and the SQLite ones still run.
#include <libpq-fe.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_tables.h"
#include "components/query.h"
#include "support/postgres_cluster.h"
#include "support/run_program.h"
#include "support/server_fixture.h"

namespace {

using namespace larkspire;
using namespace larkspire::bench;
using larkspire::test::RunCli;
using larkspire::test::RunProgram;
using larkspire::test::TPostgresCluster;
using larkspire::test::TProgramResult;
using larkspire::test::TServerProcess;
using TClock = std::chrono::steady_clock;

constexpr int kSizes[] = {10000, 100000};
constexpr int kLargeRows = 1000000;
const char kLargeTable[] = "road4_1000000";
const char kLargeSelect[] = "select * from road4_1000000 order by id";

std::string CreateLargeTable(bool postgres) {
  return std::string("CREATE TABLE ") + kLargeTable +
         " (id INTEGER PRIMARY KEY, name VARCHAR(40), price " +
         (postgres ? "DOUBLE PRECISION" : "FLOAT") + ", created TIMESTAMP)";
}

std::string FillLargeTable(bool postgres) {
  const std::string n = std::to_string(kLargeRows);
  if (postgres)
    return std::string("INSERT INTO ") + kLargeTable +
           " SELECT g, 'Product number ' || g, (g % 1000) * 0.37 + 0.5, "
           "TIMESTAMP '2023-01-01' + g * INTERVAL '1 minute' FROM generate_series(1, " +
           n + ") AS g";
  return "WITH RECURSIVE s(g) AS (SELECT 1 UNION ALL SELECT g + 1 FROM s WHERE g < " + n +
         ") INSERT INTO " + kLargeTable +
         " SELECT g, 'Product number ' || g, (g % 1000) * 0.37 + 0.5, "
         "datetime('2023-01-01', '+' || g || ' minutes') FROM s";
}

// A process over a million rows may take a while on a loaded machine.
constexpr int kLargeTimeoutMs = 600000;

std::string SelectOf(int rows) {
  return "select * from road" + std::to_string(rows) + " order by ProId";
}

void SqliteExec(sqlite3* db, const std::string& sql) {
  char* error = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
    std::string text = error ? error : "unknown error";
    sqlite3_free(error);
    throw std::runtime_error("sqlite: " + text);
  }
}

// The median time of runs calls, in milliseconds; a call returns false when its result is wrong.
double MedianMs(int runs, const std::function<bool()>& call, bool& wrong) {
  std::vector<double> ms;
  for (int i = 0; i < runs; ++i) {
    const auto start = TClock::now();
    if (!call()) wrong = true;
    ms.push_back(std::chrono::duration<double, std::milli>(TClock::now() - start).count());
  }
  std::sort(ms.begin(), ms.end());
  return ms[ms.size() / 2];
}

size_t Lines(const std::string& text) {
  return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

// A CSV output of rows rows: exit code 0, a header and one line per row (no value of these
// tables holds a line break).
bool CsvOfRows(const TProgramResult& result, int rows) {
  return result.exit_code == 0 && Lines(result.out) == static_cast<size_t>(rows) + 1;
}

struct TRoad {
  std::string Folder;
  std::string SqlitePath;
  std::string PgConnInfo;
  std::string PgError;
  std::unique_ptr<TServerProcess> Server;
  std::map<std::string, double> Ms;
  std::map<std::string, long> PeakKiB;
  std::vector<std::string> Wrong;

  TRoad() {
    char pattern[] = "/tmp/lk-road-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    Folder = pattern;
    SqlitePath = Folder + "/road.db";
    sqlite3* db = nullptr;
    if (sqlite3_open(SqlitePath.c_str(), &db) != SQLITE_OK)
      throw std::runtime_error("cannot create " + SqlitePath);
    SqliteExec(db, "BEGIN");
    for (int rows : kSizes) {
      SqliteExec(db, CreateTable("road" + std::to_string(rows), false));
      SqliteExec(db, FillSqlite("road" + std::to_string(rows), rows));
    }
    SqliteExec(db, CreateLargeTable(false));
    SqliteExec(db, FillLargeTable(false));
    SqliteExec(db, "COMMIT");
    sqlite3_close(db);

    std::vector<std::string> args = {"--database", "road=sqlite:" + SqlitePath};
    if (TPostgresCluster* cluster = TPostgresCluster::Instance()) {
      const std::string database = cluster->CreateDatabase("lkroad");
      std::string sql;
      for (int rows : kSizes)
        sql += CreateTable("road" + std::to_string(rows), true) + "; " +
               FillPostgres("road" + std::to_string(rows), rows) + "; ";
      sql += CreateLargeTable(true) + "; " + FillLargeTable(true) + "; ";
      cluster->Psql(database, sql + "ANALYZE");
      PgConnInfo = cluster->ConnInfo(database);
      args.insert(args.end(), {"--database", "pg=" + cluster->Url(database)});
    } else {
      PgError = TPostgresCluster::StartError();
    }
    Server = std::make_unique<TServerProcess>(args);
  }
  ~TRoad() {
    Server.reset();
    std::error_code ignored;
    std::filesystem::remove_all(Folder, ignored);
  }

  void Measure(const std::string& name, int runs, const std::function<bool()>& call) {
    bool wrong = false;
    Ms[name] = MedianMs(runs, call, wrong);
    std::printf("  %-34s %10.2f ms%s\n", name.c_str(), Ms[name], wrong ? "  (WRONG RESULT)" : "");
    std::fflush(stdout);
    if (wrong) Wrong.push_back(name);
  }

  std::vector<std::string> Cli(const std::string& connection, int rows) const {
    return {"-p",           std::to_string(Server->Port()),
            "--connection", connection,
            "query",        SelectOf(rows),
            "--format",     "csv"};
  }

  std::vector<std::string> LargeCli(const std::string& connection) const {
    return {"-p",           std::to_string(Server->Port()),
            "--connection", connection,
            "query",        kLargeSelect,
            "--format",     "csv"};
  }

  // The command-line client over the million rows, under /usr/bin/time for its peak memory.
  bool LargeCliRun(const std::string& name, const std::string& connection) {
    std::vector<std::string> args = {"-f", "%M", LARKSPIRE_CLI_PATH};
    for (const std::string& arg : LargeCli(connection)) args.push_back(arg);
    const TProgramResult result = RunProgram("/usr/bin/time", args, kLargeTimeoutMs);
    long kib = 0;
    const size_t line = result.err.find_last_of('\n', result.err.size() - 2);
    kib = std::atol(result.err.c_str() + (line == std::string::npos ? 0 : line + 1));
    PeakKiB[name] = std::max(PeakKiB[name], kib);
    return CsvOfRows(result, kLargeRows);
  }

  void PrintRatio(const std::string& label, const std::string& ours, const std::string& theirs) {
    if (!Ms.count(ours) || !Ms.count(theirs) || Ms[theirs] <= 0) return;
    std::printf("%-60s %9.3fx  (%.2f ms / %.2f ms)\n", label.c_str(), Ms[ours] / Ms[theirs],
                Ms[ours], Ms[theirs]);
  }
};

// psql itself rather than Debian's wrapper script (a Perl start before every run): the newest
// PostgreSQL's bin folder.
std::string PsqlPath() {
  std::string best;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/postgresql", error)) {
    const std::string candidate = (entry.path() / "bin" / "psql").string();
    if (std::filesystem::exists(candidate, error) && candidate > best) best = candidate;
  }
  return best.empty() ? "/usr/bin/psql" : best;
}

void MeasurePostgres(TRoad& road, int rows, int runs) {
  const std::string n = std::to_string(rows);
  PGconn* conn = PQconnectdb(road.PgConnInfo.c_str());
  if (PQstatus(conn) != CONNECTION_OK) {
    std::printf("  libpq: %s\n", PQerrorMessage(conn));
    PQfinish(conn);
    return;
  }
  road.Measure("libpq fetch " + n, runs, [&] {
    PGresult* result = PQexec(conn, SelectOf(rows).c_str());
    const int count = PQntuples(result), columns = PQnfields(result);
    size_t bytes = 0;
    for (int r = 0; r < count; ++r)
      for (int c = 0; c < columns; ++c)
        bytes += std::char_traits<char>::length(PQgetvalue(result, r, c));
    PQclear(result);
    return count == rows && bytes > 0;
  });
  PQfinish(conn);

  TLarkspireConnection connection;
  connection.SetRemotePort(road.Server->Port());
  connection.SetConnectionName("pg");
  TLarkspireQuery query;
  query.SetConnection(&connection);
  query.SQL().SetText(SelectOf(rows));
  query.Open();  // connects
  road.Measure("library open pg " + n, runs, [&] {
    query.Close();
    query.Open();
    return query.RecordCount() == rows;
  });
  query.Close();

  road.Measure("psql --csv " + n, runs, [&] {
    return CsvOfRows(
        RunProgram(PsqlPath(), {"-X", "--csv", "-d", road.PgConnInfo, "-c", SelectOf(rows)}), rows);
  });
  road.Measure("CLI csv pg " + n, runs,
               [&] { return CsvOfRows(RunCli(road.Cli("pg", rows)), rows); });
}

void MeasureSqlite(TRoad& road, int rows, int runs) {
  const std::string n = std::to_string(rows);
  sqlite3* db = nullptr;
  sqlite3_open_v2(road.SqlitePath.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  road.Measure("sqlite3 C API fetch " + n, runs, [&] {
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db, SelectOf(rows).c_str(), -1, &statement, nullptr);
    int count = 0;
    size_t bytes = 0;
    while (sqlite3_step(statement) == SQLITE_ROW) {
      ++count;
      for (int c = 0; c < sqlite3_column_count(statement); ++c)
        bytes += static_cast<size_t>(sqlite3_column_bytes(statement, c));
    }
    sqlite3_finalize(statement);
    return count == rows && bytes > 0;
  });
  sqlite3_close(db);

  TLarkspireConnection connection;
  connection.SetRemotePort(road.Server->Port());
  connection.SetConnectionName("road");
  TLarkspireQuery query;
  query.SetConnection(&connection);
  query.SQL().SetText(SelectOf(rows));
  query.Open();
  road.Measure("library open sqlite " + n, runs, [&] {
    query.Close();
    query.Open();
    return query.RecordCount() == rows;
  });
  query.Close();

  road.Measure("sqlite3 -csv " + n, runs, [&] {
    return CsvOfRows(
        RunProgram("/usr/bin/sqlite3", {"-csv", "-header", road.SqlitePath, SelectOf(rows)}), rows);
  });
  road.Measure("CLI csv sqlite " + n, runs,
               [&] { return CsvOfRows(RunCli(road.Cli("road", rows)), rows); });
}

void MeasureLarge(TRoad& road, int runs) {
  const std::string n = std::to_string(kLargeRows);
  if (road.PgError.empty()) {
    road.Measure("psql --csv " + n, runs, [&] {
      return CsvOfRows(
          RunProgram(PsqlPath(), {"-X", "--csv", "-d", road.PgConnInfo, "-c", kLargeSelect},
                     kLargeTimeoutMs),
          kLargeRows);
    });
    road.Measure("CLI csv pg " + n, runs,
                 [&] { return road.LargeCliRun("CLI csv pg " + n, "pg"); });
  }
  road.Measure("sqlite3 -csv " + n, runs, [&] {
    return CsvOfRows(
        RunProgram("/usr/bin/sqlite3", {"-csv", "-header", road.SqlitePath, kLargeSelect},
                   kLargeTimeoutMs),
        kLargeRows);
  });
  road.Measure("CLI csv sqlite " + n, runs,
               [&] { return road.LargeCliRun("CLI csv sqlite " + n, "road"); });
}

}  // namespace

int main() {
  TRoad road;
  for (int rows : kSizes) {
    const int runs = rows > 10000 ? 5 : 11;
    if (road.PgError.empty())
      MeasurePostgres(road, rows, runs);
    else
      std::printf("  PostgreSQL skipped: %s\n", road.PgError.c_str());
    MeasureSqlite(road, rows, runs);
  }
  MeasureLarge(road, 3);
  std::printf("\nRatios (same run):\n");
  for (int rows : kSizes) {
    const std::string n = std::to_string(rows);
    const std::string label = " (" + n + " rows)";
    road.PrintRatio("library open (pg) / libpq fetch" + label, "library open pg " + n,
                    "libpq fetch " + n);
    road.PrintRatio("CLI csv (pg) / psql --csv" + label, "CLI csv pg " + n, "psql --csv " + n);
    road.PrintRatio("CLI csv (sqlite) / sqlite3 -csv" + label, "CLI csv sqlite " + n,
                    "sqlite3 -csv " + n);
    road.PrintRatio("library open (sqlite) / sqlite3 C API fetch" + label,
                    "library open sqlite " + n, "sqlite3 C API fetch " + n);
  }
  const std::string large = std::to_string(kLargeRows);
  const std::string label = " (" + large + " rows, 4 columns)";
  road.PrintRatio("CLI csv (pg) / psql --csv" + label, "CLI csv pg " + large,
                  "psql --csv " + large);
  road.PrintRatio("CLI csv (sqlite) / sqlite3 -csv" + label, "CLI csv sqlite " + large,
                  "sqlite3 -csv " + large);
  for (const auto& [name, kib] : road.PeakKiB)
    std::printf("%-60s %9.1f MiB\n", ("peak memory of " + name).c_str(), kib / 1024.0);
  for (const std::string& name : road.Wrong) std::printf("wrong result: %s\n", name.c_str());
  return road.Wrong.empty() ? 0 : 1;
}
