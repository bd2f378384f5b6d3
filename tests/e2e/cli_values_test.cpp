// The values the command-line client prints, on both backends, against what the database's
// own tools print for the same rows: psql for PostgreSQL, Python's sqlite3 module (whose float
// text is the shortest that reads back) for SQLite.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/backend_server.h"
#include "support/postgres_cluster.h"
#include "support/run_program.h"
#include "support/server_fixture.h"

namespace larkspire::test {
namespace {

// Rows with accented and CJK text, an apostrophe, a timestamp at midnight, the last
// microsecond of a day, a time with a fraction, numeric(10,2) and doubles that 15 digits
// would round.
const char* const kRows =
    "(1, 'Zoë O''Brien', '1962-02-18 00:00:00', '13:14:15.5', '1962-02-18', 2328.60, "
    "1261.3999999999999),"
    "(2, '東京 カフェ', '2026-12-31 23:59:59.999999', '23:59:59.999999', '2026-12-31', 0.10, "
    "0.1),"
    "(3, NULL, '1999-01-01 10:00:00.000001', '00:00:00', '2000-02-29', -5, 1e-300)";
const char* const kSelect = "select id, name, born, at, day, price, ratio from vals order by id";

std::string WithoutCarriageReturns(std::string text) {
  std::erase(text, '\r');
  return text;
}

// The CSV the client prints for kSelect, without its header line.
std::string ClientRows(uint16_t port, const std::string& connection) {
  const TProgramResult r = RunCli({"--port", std::to_string(port), "--connection", connection,
                                   "query", kSelect, "--format", "csv"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  const std::string out = WithoutCarriageReturns(r.out);
  const size_t header_end = out.find('\n');
  return header_end == std::string::npos ? out : out.substr(header_end + 1);
}

TEST(LarkspireCliValues, PostgreSQLValuesPrintAsPsqlPrintsThem) {
  TBackendServer& server = ServerFor(TBackend::bkPostgreSQL, "lkvalues");
  ASSERT_TRUE(server.Server) << server.Error;
  TPostgresCluster& cluster = *TPostgresCluster::Instance();
  cluster.Psql(server.Database,
               "create table vals (id int primary key, name text, born timestamp, at time, "
               "day date, price numeric(10,2), ratio float8); insert into vals values " +
                   std::string(kRows));
  std::string psql = cluster.Psql(server.Database, kSelect);
  std::replace(psql.begin(), psql.end(), '|', ',');
  const std::string ours = ClientRows(server.Server->Port(), server.ConnectionName);
  EXPECT_EQ(ours, psql);
  EXPECT_EQ(ours,
            "1,Zoë O'Brien,1962-02-18 00:00:00,13:14:15.5,1962-02-18,2328.60,1261.3999999999999\n"
            "2,東京 カフェ,2026-12-31 23:59:59.999999,23:59:59.999999,2026-12-31,0.10,0.1\n"
            "3,,1999-01-01 10:00:00.000001,00:00:00,2000-02-29,-5.00,1e-300\n");
}

// What `query --format csv` writes loads back with COPY ... CSV HEADER into a table of the same
// columns and gives equal rows: every type above and booleans, bytea, timestamptz and timetz
// (offsets across a date line), Null against the empty text, and texts with quotes, commas and
// line breaks. The server's session and the one that loads the copy are in two time zones
// other than UTC.
TEST(LarkspireCliValues, PostgreSQLCsvLoadsBackWithCopy) {
  TBackendServer& server = ServerFor(TBackend::bkPostgreSQL, "lkcsv");
  ASSERT_TRUE(server.Server) << server.Error;
  TPostgresCluster& cluster = *TPostgresCluster::Instance();
  const std::string columns =
      "(id int primary key, name text, born timestamp, at time, day date, price numeric(10,2), "
      "ratio float8, flag bool, blob bytea, stamp timestamptz, clock timetz)";
  cluster.Psql(server.Database,
               "create table csv_source " + columns + "; create table csv_copy " + columns +
                   "; insert into csv_source values "
                   "(1, E'say \"hi\", then\\ngo', '1962-02-18 00:00:00', '13:14:15.5', "
                   "'1962-02-18', 2328.60, 1261.3999999999999, true, '\\x00ff2c220a', "
                   "'2026-06-01 12:34:56.789+02', '12:34:56.789+02'),"
                   "(2, '', '2026-12-31 23:59:59.999999', '23:59:59.999999', '2026-12-31', "
                   "0.10, 0.1, false, '', '1999-12-31 23:30:00-05:30', '23:59:59.999999-05:30'),"
                   "(3, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL),"
                   "(4, E'東京 カフェ\\r\\n''x'',,', '1999-01-01 10:00:00.000001', '00:00:00', "
                   "'2000-02-29', -5, 1e-300, true, '\\x5c2e', '2000-02-29 00:00:00+00', "
                   "'00:00:00+14')");

  // The server's session shows timestamptz values at -03:30 (or -02:30 in summer).
  cluster.Psql(server.Database,
               "alter database " + server.Database + " set timezone = 'America/St_Johns'");
  const TProgramResult r = RunCli({"--port", std::to_string(server.Server->Port()), "--connection",
                                   server.ConnectionName, "query",
                                   "select * from csv_source order by id", "--format", "csv"});
  cluster.Psql(server.Database, "alter database " + server.Database + " reset timezone");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string file = server.Server->Folder() + "/csv_source.csv";
  {
    std::ofstream out(file, std::ios::binary);
    out << r.out;
  }
  // psql's \copy runs COPY ... FROM STDIN with the file's bytes; PGTZ sets its session's zone.
  ::setenv("PGTZ", "Asia/Kathmandu", 1);
  std::string error;
  try {
    cluster.Psql(server.Database, "\\copy csv_copy from '" + file + "' with (format csv, header)");
  } catch (const std::exception& e) {
    error = e.what();
  }
  ::unsetenv("PGTZ");
  ASSERT_EQ(error, "") << r.out;
  EXPECT_EQ(cluster.Psql(server.Database, "select count(*) from csv_copy"), "4\n") << r.out;
  EXPECT_EQ(cluster.Psql(server.Database,
                         "select id from ((table csv_source except all table csv_copy) union all "
                         "(table csv_copy except all table csv_source)) d order by id"),
            "")
      << r.out;
}

TEST(LarkspireCliValues, SQLiteValuesPrintAsStored) {
  TServerProcess scratch;  // only for its temporary folder
  const std::string path = scratch.Folder() + "/values.db";
  const TProgramResult made =
      RunProgram("/usr/bin/sqlite3", {path,
                                      "create table vals (id integer primary key, name text, "
                                      "born datetime, at time, day date, price numeric(10,2), "
                                      "ratio real); insert into vals values " +
                                          std::string(kRows) + ";"});
  if (made.exit_code != 0) GTEST_SKIP() << "sqlite3 is not installed: " << made.err;
  TServerProcess server({"--database", "vals=sqlite:" + path});
  const TProgramResult python = RunProgram(
      "/usr/bin/python3",
      {"-c",
       "import sqlite3, sys\n"
       "for row in sqlite3.connect(sys.argv[1]).execute(sys.argv[2]):\n"
       "  print(','.join('' if v is None else repr(v) if isinstance(v, float) else str(v)"
       " for v in row))\n",
       path, kSelect});
  ASSERT_EQ(python.exit_code, 0) << python.err;
  // SQLite stores numeric(10,2) as a double without its scale; the client shows the declared
  // scale. Every other value is as SQLite holds it.
  std::string expected = python.out;
  for (const auto& [stored, shown] : std::vector<std::pair<std::string, std::string>>{
           {",2328.6,", ",2328.60,"}, {",0.1,0.1", ",0.10,0.1"}, {",-5,", ",-5.00,"}}) {
    const size_t at = expected.find(stored);
    ASSERT_NE(at, std::string::npos) << stored << " in " << expected;
    expected.replace(at, stored.size(), shown);
  }
  EXPECT_EQ(ClientRows(server.Port(), "vals"), expected);
}

}  // namespace
}  // namespace larkspire::test
