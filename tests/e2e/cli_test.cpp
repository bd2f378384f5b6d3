// The command-line client against a real server.
#include <gtest/gtest.h>

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
  EXPECT_NE(r.exit_code, 0);
  EXPECT_EQ(r.err, "Connection:Could not connect to LarkspireServer (127.0.0.1:" +
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
  EXPECT_NE(r.exit_code, 0);
  EXPECT_NE(r.err.find("Invalid password"), std::string::npos) << r.err;
}

TEST(LarkspireCli, BadOptionsAreRefusedWithUsage) {
  const TProgramResult r = RunCli({"--port", "notanumber", "status"});
  EXPECT_NE(r.exit_code, 0);
  EXPECT_FALSE(r.err.empty());
}

}  // namespace
}  // namespace larkspire::test
