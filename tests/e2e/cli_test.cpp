// The command-line client against a real server.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "components/update_file.h"
#include "support/file_peer.h"
#include "support/postgres_cluster.h"
#include "support/run_program.h"
#include "support/scripted_peer.h"
#include "support/server_fixture.h"

namespace larkspire::test {
namespace {

std::vector<std::string> At(const TServerProcess& server, std::vector<std::string> args) {
  std::vector<std::string> all = {"--port", std::to_string(server.Port())};
  all.insert(all.end(), args.begin(), args.end());
  return all;
}

TEST(LarkspireCli, StatusConnectsNamesItselfAndRunsATransaction) {
  TServerProcess server;
  const TProgramResult r = RunCli(At(server, {"--client-name", "cli/one", "status"}));
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("client name set to \"clione\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("transaction started, level 1"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("transaction committed, level 0"), std::string::npos) << r.out;
}

TEST(LarkspireCli, StatusReportsTheConnectionErrorAndFails) {
  const uint16_t port = FreeLoopbackPort();
  const TProgramResult r = RunCli({"--port", std::to_string(port), "status"});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.err, "error 10002: Could not connect to LarkspireServer (127.0.0.1:" +
                       std::to_string(port) + ").\n");
}

TEST(LarkspireCli, StatusReportsARefusalByTheServer) {
  TServerProcess server({"--deny", "banned"});
  const TProgramResult r = RunCli(At(server, {"--client-name", "banned", "status"}));
  EXPECT_NE(r.exit_code, 0);
  EXPECT_NE(r.err.find("Connection be refused from LarkspireServer"), std::string::npos) << r.err;
}

TEST(LarkspireCli, WrongPasswordFailsTheTransactionWithTheServerText) {
  TServerProcess server({"--password", "secret"});
  const TProgramResult r = RunCli(At(server, {"--password", "nope", "status"}));
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find("Invalid password"), std::string::npos) << r.err;
}

TEST(LarkspireCli, SettingsComeFromTheEnvironmentAndTheCommandLineWins) {
  TServerProcess server({"--password", "secret"});
  const std::string port = std::to_string(server.Port());
  const TProgramResult from_env = RunCli(
      {"status"},
      {"", {"LARKSPIRE_HOST=127.0.0.1", "LARKSPIRE_PORT=" + port, "LARKSPIRE_PASSWORD=secret"}});
  EXPECT_EQ(from_env.exit_code, 0) << from_env.err;

  // Short options and long ones override the environment.
  const TProgramResult overridden =
      RunCli({"-H", "127.0.0.1", "-p", port, "--password", "secret", "status"},
             {"", {"LARKSPIRE_HOST=127.0.0.2", "LARKSPIRE_PORT=1", "LARKSPIRE_PASSWORD=wrong"}});
  EXPECT_EQ(overridden.exit_code, 0) << overridden.err;

  const TProgramResult database =
      RunCli({"-p", port, "query", "select 1"},
             {"", {"LARKSPIRE_PASSWORD=secret", "LARKSPIRE_CONNECTION=nowhere"}});
  EXPECT_EQ(database.exit_code, 1);
  EXPECT_NE(database.err.find("No database named \"nowhere\""), std::string::npos) << database.err;
}

TEST(LarkspireCli, VersionHelpAndUsageErrorsExitAsDatabaseShellsDo) {
  const TProgramResult version = RunCli({"--version"});
  EXPECT_EQ(version.exit_code, 0);
  EXPECT_EQ(version.out, "larkspire 4.1.0 (protocol 4.1.0.0)\n");

  const TProgramResult bare = RunCli({});
  EXPECT_EQ(bare.exit_code, 0);
  EXPECT_NE(bare.out.find("Usage: larkspire"), std::string::npos) << bare.out;
  EXPECT_NE(bare.out.find("shell"), std::string::npos) << bare.out;
  EXPECT_EQ(RunCli({"-h"}).out, bare.out);

  // Never the parser's own numbers.
  EXPECT_EQ(RunCli({"--no-such-option", "status"}).exit_code, 2);
  EXPECT_EQ(RunCli({"-p", "70000", "status"}).exit_code, 2);
  EXPECT_EQ(RunCli({"query"}, {"", {}}).exit_code, 2);
  const TProgramResult missing = RunCli({"query", "-f", "/nonexistent/x.sql"});
  EXPECT_EQ(missing.exit_code, 2);
  EXPECT_EQ(missing.err, "error: /nonexistent/x.sql: No such file or directory\n");
}

TEST(LarkspireCli, BadOptionsAreRefusedWithUsage) {
  const TProgramResult r = RunCli({"--port", "notanumber", "status"});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_FALSE(r.err.empty());
}

// Columns a line takes on a terminal, counting the three-byte CJK characters of the demo data
// as two.
size_t Columns(const std::string& line) {
  size_t width = 0;
  for (size_t i = 0; i < line.size();) {
    const unsigned char b = static_cast<unsigned char>(line[i]);
    if (b >= 0xE0 && b < 0xF0) {
      width += 2;
      i += 3;
    } else {
      width += 1;
      i += b < 0x80 ? 1 : b < 0xE0 ? 2 : 4;
    }
  }
  return width;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

TEST(LarkspireCli, QueryPrintsAnAlignedTableWithWideCharactersCountedTwice) {
  TServerProcess server;
  const TProgramResult r =
      RunCli(At(server, {"query",
                         "select ProId, ProName, PurPrice from products where ProName like :n "
                         "order by ProId",
                         "--param", "n=%油%"}));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 7u) << r.out;
  EXPECT_EQ(lines[0].rfind("ProId  ProName", 0), 0u) << lines[0];
  EXPECT_EQ(lines[1].find_first_not_of("- "), std::string::npos);
  // The last column holds numbers, right-aligned under a wider header: every line of the table
  // ends at the same column, and the names start at the same column.
  for (size_t i = 1; i < 6; ++i) {
    EXPECT_EQ(Columns(lines[i]), Columns(lines[0])) << lines[i];
    if (i > 1) {
      EXPECT_NE(lines[i].find("油"), std::string::npos) << lines[i];
    }
    EXPECT_EQ(lines[i].substr(5, 2), "  ") << lines[i];
  }
  EXPECT_EQ(lines[6], "(4 rows)");
}

TEST(LarkspireCli, QueryWritesCsvTellingNullFromAnEmptyText) {
  TServerProcess server;
  const std::string sql =
      "select ProId, 'a,\"b\"' as T, nullif(ProName, ProName) as Gone, '' as Empty "
      "from products where ProId = :id";
  const TProgramResult r = RunCli(At(server, {"query", sql, "--param", "id=1", "--format", "csv"}));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  // The text "1" compares equal to the integer key: SQLite converts it by affinity.
  EXPECT_EQ(r.out, "ProId,T,Gone,Empty\n1,\"a,\"\"b\"\"\",,\"\"\n");

  const TProgramResult strict =
      RunCli(At(server, {"query", sql, "--param", "id=1", "--format", "csv", "--crlf",
                         "--no-header", "--nullvalue", "NULL"}));
  ASSERT_EQ(strict.exit_code, 0) << strict.err;
  EXPECT_EQ(strict.out, "1,\"a,\"\"b\"\"\",NULL,\"\"\r\n");
}

TEST(LarkspireCli, QueryWritesJsonWithNumbersAndNulls) {
  TServerProcess server;
  const TProgramResult r =
      RunCli(At(server, {"query",
                         "select ProId, ProName, PurPrice, nullif(ProName, ProName) as Gone "
                         "from products where ProId <= 2 order by ProId",
                         "--format", "json"}));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(
      r.out,
      "[\n"
      "  {\"ProId\": 1, \"ProName\": \"纯净水 550ml\", \"PurPrice\": 0.8, \"Gone\": null},\n"
      "  {\"ProId\": 2, \"ProName\": \"天然矿泉水 1.5L\", \"PurPrice\": 1.9, \"Gone\": null}\n"
      "]\n");
  const TProgramResult none =
      RunCli(At(server, {"query", "select ProId from products where 1 = 0", "--format", "json"}));
  EXPECT_EQ(none.out, "[]\n");
}

TEST(LarkspireCli, ExecPrintsTheRowsAffected) {
  TServerProcess server;
  const TProgramResult r =
      RunCli(At(server, {"exec", "update products set ProUnit = :u where ProId <= :last", "--param",
                         "u=件", "--param", ":last=3"}));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "3 rows affected\n");
  const TProgramResult check =
      RunCli(At(server, {"query", "select count(*) as n from products where ProUnit = :u",
                         "--param", "u=件", "--format", "csv"}));
  EXPECT_EQ(check.out, "n\n3\n") << check.err;
}

TEST(LarkspireCli, EveryParameterNeedsAValueOrADeliberateNull) {
  TServerProcess server;
  const TProgramResult missing =
      RunCli(At(server, {"exec", "update products set ProUnit = :u where RetaiPrice > :price",
                         "--param", "u=box"}));
  EXPECT_EQ(missing.exit_code, 2);
  EXPECT_EQ(missing.err, "error: no value for parameter :price\n");
  EXPECT_EQ(missing.out, "");

  const TProgramResult nulled =
      RunCli(At(server, {"exec", "update products set ProUnit = :u where ProId = :id", "--null",
                         "u", "--param", "id=2"}));
  ASSERT_EQ(nulled.exit_code, 0) << nulled.err;
  EXPECT_EQ(nulled.out, "1 rows affected\n");
  const TProgramResult check = RunCli(
      At(server, {"query", "select ProId from products where ProUnit is null", "--format", "csv"}));
  EXPECT_EQ(check.out, "ProId\n2\n") << check.err;

  const TProgramResult twice = RunCli(
      At(server, {"query", "select :a as a", "--param", "a=1", "--null", "a", "--format", "csv"}));
  EXPECT_EQ(twice.exit_code, 2);
  EXPECT_NE(twice.err.find("\":a\" is given more than once"), std::string::npos) << twice.err;
}

TEST(LarkspireCli, QueryFailuresPrintTheMessageAndFail) {
  TServerProcess server;
  const TProgramResult refused = RunCli(At(server, {"query", "select * from no_such_table"}));
  EXPECT_EQ(refused.exit_code, 1);
  EXPECT_EQ(refused.err, "error 20004: no such table: no_such_table\n");
  EXPECT_EQ(refused.out, "");

  const TProgramResult unknown = RunCli(At(server, {"query", "select 1", "--param", "x=1"}));
  EXPECT_EQ(unknown.exit_code, 2);
  EXPECT_NE(unknown.err.find("no parameter \":x\""), std::string::npos) << unknown.err;

  const TProgramResult format = RunCli(At(server, {"query", "select 1", "--format", "xml"}));
  EXPECT_EQ(format.exit_code, 2);

  const uint16_t port = FreeLoopbackPort();
  const TProgramResult down = RunCli({"--port", std::to_string(port), "exec", "delete from t"});
  EXPECT_EQ(down.exit_code, 2);
  EXPECT_EQ(down.err, "error 10002: Could not connect to LarkspireServer (127.0.0.1:" +
                          std::to_string(port) + ").\n");
}

TEST(LarkspireCli, ServerTextsPrintWithControlCharactersEscaped) {
  TServerProcess server;
  // A column name that retitles the terminal, values that clear it (C0 and C1 introducers).
  const std::string sql =
      "select char(27) || '[2J' as \"t\x1b]0;owned\x07\", char(155) || '2J' as c1";
  const TProgramResult table = RunCli(At(server, {"query", sql}));
  ASSERT_EQ(table.exit_code, 0) << table.err;
  const std::vector<std::string> lines = Lines(table.out);
  ASSERT_EQ(lines.size(), 4u) << table.out;
  EXPECT_EQ(lines[0], "t\\x1b]0;owned\\x07  c1");
  EXPECT_EQ(lines[2], "\\x1b[2J            \\u009b2J");

  const TProgramResult json = RunCli(At(server, {"query", sql, "--format", "json"}));
  ASSERT_EQ(json.exit_code, 0) << json.err;
  EXPECT_EQ(json.out,
            "[\n  {\"t\\u001b]0;owned\\u0007\": \"\\u001b[2J\", \"c1\": \"\\u009b2J\"}\n]\n");

  const TProgramResult error = RunCli(At(server, {"query", "select * from \"t\x1b[31m\""}));
  EXPECT_EQ(error.exit_code, 1);
  EXPECT_EQ(error.err, "error 20004: no such table: t\\x1b[31m\n");
}

std::string CountOf(const TServerProcess& server, const std::string& where) {
  return RunCli(At(server, {"query", "select count(*) from products where " + where, "--format",
                            "csv", "--no-header"}))
      .out;
}

TEST(LarkspireCli, ShellThroughAPipeHoldsATransactionAcrossStatementsAndRollsItBack) {
  TServerProcess server;
  const std::string script =
      "begin;\n"
      "insert into products (ProCode, ProName)\n"
      "  values (:code, 'semi;colon');\n"
      "select count(*) as n from products;\n"
      "select * from no_such_table;\n"
      "select ProName from products where ProCode = :code;\n"
      "rollback;\n"
      "commit;\n"
      "select count(*) as n from products\n";
  const TProgramResult r =
      RunCli(At(server, {"shell", "--format", "csv", "--param", "code=P1"}), {script, {}});
  // The failed statement is reported, the session goes on, and the exit code tells of it.
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "BEGIN\n1 rows affected\nn\n46\nProName\nsemi;colon\nROLLBACK\nn\n45\n");
  EXPECT_EQ(r.err,
            "error 20004: no such table: no_such_table\n"
            "warning: there is no transaction in progress\n");
  EXPECT_EQ(CountOf(server, "ProCode = 'P1'"), "0\n");

  // A transaction left open is rolled back at the end; \q ends the session.
  const TProgramResult open = RunCli(
      At(server, {"shell"}), {"begin;\ndelete from products;\n\\q\nselect 1 as after_quit;\n", {}});
  EXPECT_EQ(open.exit_code, 0) << open.err;
  EXPECT_EQ(open.out.find("after_quit"), std::string::npos) << open.out;
  EXPECT_EQ(open.err, "rolling back the open transaction\n");
  EXPECT_EQ(CountOf(server, "1 = 1"), "45\n");
}

TEST(LarkspireCli, ShellOnPostgreSqlKeepsDollarQuotedBodiesWholeAndPrintsReturnedRows) {
  TPostgresCluster* cluster = TPostgresCluster::Instance();
  ASSERT_NE(cluster, nullptr) << TPostgresCluster::StartError();
  const std::string database = cluster->CreateDatabase("lkcli");
  TServerProcess server({"--database", "pg=" + cluster->Url(database), "--seed-demo", "pg"});
  const std::string script =
      "create function twice(x int) returns int language plpgsql as $body$\n"
      "  begin return x * 2; end;\n"
      "$body$;\n"
      "start transaction;\n"
      "insert into products (ProCode) values ('PG1') returning ProCode;\n"
      "select twice(21) as t, $$;$$ as s;\n"
      "abort;\n";
  const TProgramResult r =
      RunCli(At(server, {"--connection", "pg", "shell", "--format", "csv"}), {script, {}});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "0 rows affected\nBEGIN\nprocode\nPG1\nt,s\n42,;\nROLLBACK\n");
  EXPECT_EQ(cluster->Psql(database, "select count(*) from products where ProCode = 'PG1'"), "0\n");
}

TEST(LarkspireCli, ShellAndScriptsNeedEveryParameterAndPrintValuesExactly) {
  TServerProcess server;
  const std::string script =
      "update products set ProUnit = :u where ProId = :id;\n"
      "select ProId from products where ProUnit is null;\n"
      "select ProName from products where RetaiPrice > :price;\n"
      "create table v (born datetime, ratio real, price numeric(10,2));\n"
      "insert into v values ('1962-02-18 00:00:00', 1261.3999999999999, 2328.6);\n"
      "select * from v;\n";
  const TProgramResult shell = RunCli(
      At(server, {"shell", "--format", "csv", "--null", "u", "--param", "id=2"}), {script, {}});
  EXPECT_EQ(shell.exit_code, 2);
  EXPECT_EQ(shell.out,
            "1 rows affected\nProId\n2\n0 rows affected\n1 rows affected\n"
            "born,ratio,price\n1962-02-18 00:00:00,1261.3999999999999,2328.60\n");
  EXPECT_EQ(shell.err, "error: no value for parameter :price\n");

  // A script stops at the statement left without a value, after those before it ran.
  const TProgramResult piped = RunCli(At(server, {"exec", "-", "--null", "u"}),
                                      {"update products set ProUnit = :u where ProId = 3;\n"
                                       "delete from products where ProId = :id;\n",
                                       {}});
  EXPECT_EQ(piped.exit_code, 2);
  EXPECT_EQ(piped.out, "1 rows affected\n");
  EXPECT_EQ(piped.err, "error: no value for parameter :id\n");
  EXPECT_EQ(CountOf(server, "ProUnit is null"), "2\n");
}

TEST(LarkspireCli, QueryRunsTheStatementsOfAFileOrOfStandardInput) {
  TServerProcess server;
  const std::string file = server.Folder() + "/script.sql";
  std::ofstream(file) << "\xEF\xBB\xBF-- a table; and a trigger\n"
                         "create table log (what text);\n"
                         "create trigger keep after insert on products begin\n"
                         "  insert into log values ('added;' || new.ProCode);\n"
                         "end;\n"
                         "/* ; */ insert into products (ProCode) values ('T1');\n"
                         "select what from log;";
  const TProgramResult r = RunCli(At(server, {"query", "-f", file, "--format", "csv"}));
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "0 rows affected\n0 rows affected\n1 rows affected\nwhat\nadded;T1\n");

  const TProgramResult dash =
      RunCli(At(server, {"query", "-", "--format", "csv"}), {"select 1 as a;\n", {}});
  EXPECT_EQ(dash.out, "a\n1\n") << dash.err;
  // From a pipe, the first failure stops the run.
  const TProgramResult pipe =
      RunCli(At(server, {"query", "--format", "csv"}),
             {"select 2 as b; select * from no_such_table; select 3 as c;", {}});
  EXPECT_EQ(pipe.exit_code, 1);
  EXPECT_EQ(pipe.out, "b\n2\n");
}

TEST(LarkspireCli, LsListsOneLevelOrEverythingBelow) {
  TServerProcess server;
  const TProgramResult top = RunCli(At(server, {"ls"}));
  EXPECT_EQ(top.exit_code, 0) << top.err;
  EXPECT_NE(top.out.find("<DIR>  文档\n"), std::string::npos) << top.out;
  EXPECT_NE(top.out.find("<DIR>  空文件夹\n"), std::string::npos) << top.out;
  EXPECT_EQ(top.out.find("data\\blocks.bin"), std::string::npos) << top.out;

  const TProgramResult all = RunCli(At(server, {"ls", "--recursive"}));
  EXPECT_EQ(all.exit_code, 0) << all.err;
  EXPECT_NE(all.out.find("        100000  data\\blocks.bin\n"), std::string::npos) << all.out;
  EXPECT_NE(all.out.find("文档\\报表\\季度报表.csv"), std::string::npos) << all.out;

  const TProgramResult empty = RunCli(At(server, {"ls", "空文件夹"}));
  EXPECT_EQ(empty.exit_code, 0) << empty.err;
  EXPECT_EQ(empty.out, "");

  const TProgramResult refused = RunCli(At(server, {"ls", "..\\"}));
  EXPECT_EQ(refused.exit_code, 1);
  EXPECT_NE(refused.err.find(": Path \"..\\\" refused"), std::string::npos) << refused.err;
}

TEST(LarkspireCli, GetDownloadsIntoAMissingFolderWithPercentageLines) {
  TServerProcess server;
  const std::string local = server.Folder() + "/down/load/blocks.bin";
  const TProgramResult r = RunCli(At(server, {"get", "data\\blocks.bin", local}));
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "32%\n65%\n98%\n100%\n");
  EXPECT_NE(r.out.find("downloaded data\\blocks.bin (100000 bytes)"), std::string::npos) << r.out;
  EXPECT_EQ(FileChecksum(local), FileChecksum(server.DataDir() + "/files/data/blocks.bin"));
}

TEST(LarkspireCli, GetResumesAnInterruptedDownload) {
  TServerProcess server;
  const std::string served = ReadWholeFile(server.DataDir() + "/files/data/blocks.bin");
  TLarkspireConnection connection;
  connection.SetRemotePort(server.Port());
  TLarkspireUpdateFile files;
  files.SetConnection(&connection);
  ASSERT_TRUE(files.GetFileInfo("data\\blocks.bin"));
  // What a download broken in block 3 leaves: two blocks, a hole, the record.
  TResumeRecord record;
  record.Info = files.FileInfo();
  record.NextBlock = 3;
  const std::string local = server.Folder() + "/blocks.bin";
  std::ofstream(local, std::ios::binary)
      << served.substr(0, 65536) << std::string(served.size() - 65536, '\0')
      << EncodeResumeRecord(record);

  const TProgramResult r = RunCli(At(server, {"get", "data\\blocks.bin", server.Folder() + "/"}));
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("resuming data\\blocks.bin (100000 bytes)"), std::string::npos) << r.out;
  EXPECT_EQ(r.err, "98%\n100%\n");
  EXPECT_EQ(FileChecksum(local), Checksum(served));
}

TEST(LarkspireCli, GetOfAMissingFileFailsWithTheServerText) {
  TServerProcess server;
  const TProgramResult r = RunCli(At(server, {"get", "nothing.bin", server.Folder() + "/x.bin"}));
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find(": No file \"nothing.bin\" on this server"), std::string::npos) << r.err;
  EXPECT_FALSE(std::filesystem::exists(server.Folder() + "/x.bin"));
}

TEST(LarkspireCli, CallPrintsTheAnswerOfPluginSample) {
  TServerProcess server;
  const TProgramResult r =
      RunCli(At(server, {"call", "PluginSample", "ReqType:int=0", "a:int=123", "b:int=124"}));
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "Result:int=247\n");
}

TEST(LarkspireCli, CallSendsEveryTypeAndWritesStreamsToOut) {
  TServerProcess server({"--plugins", LARKSPIRE_TEST_PLUGIN_DIR});
  const std::string input = server.Folder() + "/in.bin";
  const std::string output = server.Folder() + "/out.bin";
  std::ofstream(input, std::ios::binary) << std::string("ab\0cd\n", 6);
  // PluginFaulty's ReqType 3 answers the request back.
  const TProgramResult r =
      RunCli(At(server, {"call", "PluginFaulty", "ReqType:int=3", "i:int64=-5",
                         "s:string=h\xC3\xA9llo", "b:bool=false", "d:double=0.1", "e:extended=1.5",
                         "f:file=" + input, "--out", output}));
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out,
            "ReqType:int=3\ni:int64=-5\ns:string=h\xC3\xA9llo\nb:bool=false\nd:double=0.1\n"
            "e:extended=1.5\nf:stream=<6 bytes written to " +
                output + ">\n");
  std::ifstream written(output, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(written), {}), std::string("ab\0cd\n", 6));
}

TEST(LarkspireCli, CallRefusesABadParameterBeforeConnecting) {
  const uint16_t port = FreeLoopbackPort();
  const TProgramResult r =
      RunCli({"--port", std::to_string(port), "call", "PluginSample", "a:int=2147483648"});
  EXPECT_NE(r.exit_code, 0);
  EXPECT_EQ(r.err, "error: parameter \"a:int=2147483648\": not a 32-bit integer\n");
}

TEST(LarkspireCli, CallReportsTheServersErrorText) {
  TServerProcess server;
  const TProgramResult unknown = RunCli(At(server, {"call", "NoSuch"}));
  EXPECT_EQ(unknown.exit_code, 1);
  EXPECT_EQ(unknown.err.find("PluginCall"), std::string::npos) << unknown.err;
  EXPECT_NE(unknown.err.find(": Unknown plug-in \"NoSuch\" (this server has PluginSample)\n"),
            std::string::npos)
      << unknown.err;
  const TProgramResult failed = RunCli(At(server, {"call", "PluginSample", "ReqType:int=7"}));
  EXPECT_EQ(failed.exit_code, 1);
  EXPECT_NE(failed.err.find(": PluginSample: unknown ReqType 7"), std::string::npos) << failed.err;
}

TEST(LarkspireCli, QueryPageOptionsPrintOnePageAndThePageLine) {
  TServerProcess server;
  const std::string sql = "select ProId, ProName from products order by ProId desc";
  const TProgramResult last =
      RunCli(At(server, {"query", sql, "--page", "3", "--page-size", "20"}));
  ASSERT_EQ(last.exit_code, 0) << last.err;
  const std::vector<std::string> lines = Lines(last.out);
  ASSERT_EQ(lines.size(), 9u) << last.out;
  EXPECT_EQ(lines[2].find_first_not_of(' '), lines[2].find('5')) << lines[2];
  EXPECT_EQ(lines[6].substr(0, 5), "    1") << lines[6];
  EXPECT_EQ(lines[7], "(5 rows)");
  EXPECT_EQ(lines[8], "page 3 of 3, 45 rows in all");

  // --page alone pages by 20; --page-size alone starts at page 1.
  const TProgramResult second = RunCli(At(server, {"query", sql, "--page", "2"}));
  EXPECT_NE(second.out.find("(20 rows)\npage 2 of 3, 45 rows in all\n"), std::string::npos)
      << second.out;
  const TProgramResult first =
      RunCli(At(server, {"query", sql, "--page-size", "44", "--format", "csv"}));
  ASSERT_EQ(first.exit_code, 0) << first.err;
  EXPECT_EQ(Lines(first.out).size(), 45u);
  // With CSV and JSON the page line goes to standard error, so the data stays clean.
  EXPECT_EQ(first.err, "page 1 of 2, 45 rows in all\n");

  const TProgramResult beyond = RunCli(At(server, {"query", sql, "--page", "9"}));
  EXPECT_EQ(beyond.exit_code, 0) << beyond.err;
  EXPECT_NE(beyond.out.find("(0 rows)\npage 9 of 3, 45 rows in all\n"), std::string::npos)
      << beyond.out;

  const TProgramResult empty =
      RunCli(At(server, {"query", "select ProId from products where ProId < 0", "--page", "1"}));
  EXPECT_EQ(empty.exit_code, 0) << empty.err;
  EXPECT_NE(empty.out.find("(0 rows)\nno pages, 0 rows in all\n"), std::string::npos) << empty.out;
}

TEST(LarkspireCli, QueryRefusesPageNumbersAndSizesBelowOne) {
  TServerProcess server;
  for (const char* option : {"--page", "--page-size"}) {
    for (const char* value : {"0", "-3", "x"}) {
      const TProgramResult r = RunCli(At(server, {"query", "select 1", option, value}));
      EXPECT_NE(r.exit_code, 0) << option << " " << value;
      EXPECT_NE(r.err.find(option), std::string::npos) << r.err;
      EXPECT_EQ(r.out, "");
    }
  }
}

}  // namespace
}  // namespace larkspire::test
