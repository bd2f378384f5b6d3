// The values the command-line client prints, on both backends, against what the database's
// own tools print for the same rows: psql for PostgreSQL, Python's sqlite3 module (whose float
// text is the shortest that reads back) for SQLite.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
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
