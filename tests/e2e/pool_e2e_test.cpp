// Sessions sharing pooled PostgreSQL connections, and users logging in with roles of their own,
// against a throwaway PostgreSQL cluster: what PostgreSQL itself sees (pg_stat_activity, grants,
// row-level security) is the measure.
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "components/connection.h"
#include "components/exception.h"
#include "gtest/gtest.h"
#include "protocol/error_codes.h"
#include "support/postgres_cluster.h"
#include "support/run_program.h"
#include "support/server_fixture.h"
#include "support/sql_shortcuts.h"

namespace larkspire {
namespace {

using test::Exec;
using test::RunCli;
using test::RunProgram;
using test::ServerBinaryPath;
using test::TPostgresCluster;
using test::TServerProcess;
using test::ValueOf;

TPostgresCluster& Cluster() {
  TPostgresCluster* cluster = TPostgresCluster::Instance();
  if (cluster == nullptr) throw std::runtime_error(TPostgresCluster::StartError());
  return *cluster;
}

TEST(PoolE2E, FiftySessionsShareFourConnectionsAndEachTransactionSeesOnlyItsOwnRows) {
  TPostgresCluster& cluster = Cluster();
  const std::string database = cluster.CreateDatabase("lkpool");
  cluster.Psql(database, "create table marks (owner int not null)");
  TServerProcess server(
      {"--database", "pg=" + cluster.Url(database), "--pool-size", "4", "--pool-timeout", "120"});
  constexpr int kSessions = 50;
  std::vector<std::unique_ptr<TLarkspireConnection>> connections;
  for (int i = 0; i < kSessions; ++i) {
    auto connection = std::make_unique<TLarkspireConnection>();
    connection->SetRemotePort(server.Port());
    connection->SetConnectionName("pg");
    ASSERT_EQ(ValueOf(*connection, "select 1"), "1");
    connections.push_back(std::move(connection));
  }

  // PostgreSQL's own count of the server's pooled connections, sampled while the sessions run
  // (the notification LISTEN connection is not the pool's).
  std::atomic<bool> running{true};
  int most = 0;
  std::thread sampler([&] {
    for (int round = 0; round < 2000 && running; ++round) {
      const std::string count =
          cluster.Psql("postgres", "select count(*) from pg_stat_activity where datname = '" +
                                       database + "' and application_name <> 'larkspire-notify'");
      most = std::max(most, std::atoi(count.c_str()));
    }
  });
  std::atomic<int> wrong{0};
  std::vector<std::string> failures(kSessions);
  std::vector<std::thread> sessions;
  for (int i = 0; i < kSessions; ++i) {
    sessions.emplace_back([&, i] {
      TLarkspireConnection& connection = *connections[i];
      try {
        connection.StartTransaction();
        Exec(connection, "insert into marks values (" + std::to_string(i) + ")");
        // Its own uncommitted row, and none of the others' (no row is ever committed).
        if (ValueOf(connection, "select string_agg(owner::text, ',') from marks") !=
            std::to_string(i)) {
          ++wrong;
        }
        connection.RollbackTransaction();
      } catch (const std::exception& e) {
        failures[i] = e.what();
      }
    });
  }
  for (std::thread& session : sessions) session.join();
  running = false;
  sampler.join();
  for (const std::string& failure : failures) EXPECT_EQ(failure, "");
  EXPECT_EQ(wrong, 0);
  EXPECT_GE(most, 1);
  EXPECT_LE(most, 4);
  EXPECT_EQ(ValueOf(*connections[0], "select count(*) from marks"), "0");
  server.Stop();
  EXPECT_NE(server.Log().find("at most"), std::string::npos) << server.Log();
}

TEST(PoolE2E, SessionStateStaysWithItsBorrowerUnlessThePoolModeIsSession) {
  TPostgresCluster& cluster = Cluster();
  const std::string database = cluster.CreateDatabase("lkpool");
  for (const std::string mode : {"transaction", "session"}) {
    TServerProcess server(
        {"--database", "pg=" + cluster.Url(database), "--pool-size", "1", "--pool-mode", mode});
    TLarkspireConnection first;
    TLarkspireConnection second;
    for (TLarkspireConnection* connection : {&first, &second}) {
      connection->SetRemotePort(server.Port());
      connection->SetConnectionName("pg");
    }
    Exec(first, "set search_path to nowhere");
    Exec(first, "create temporary table scratch (x int)");
    Exec(first, "set role pg_read_all_data");
    if (mode == "transaction") {
      // One connection in the pool: the second session borrows the very one the first used.
      EXPECT_EQ(ValueOf(second, "select current_setting('search_path')"), "\"$user\", public");
      EXPECT_EQ(ValueOf(second, "select (to_regclass('scratch') is null)::int"), "1");
      EXPECT_EQ(ValueOf(second, "select current_user"), "postgres");
    } else {
      // Its own connection for the session's life: its settings and table stay with it.
      EXPECT_EQ(ValueOf(first, "select current_setting('search_path')"), "nowhere");
      EXPECT_EQ(ValueOf(first, "select count(*) from pg_temp.scratch"), "0");
      EXPECT_EQ(ValueOf(second, "select current_setting('search_path')"), "\"$user\", public");
    }
  }
}

// A session that finds every pooled connection held by open transactions fails with the
// retryable code after its time-out, and succeeds once a connection is free again.
TEST(PoolE2E, ABorrowerThatWaitsPastItsTimeOutGetsTheRetryableError) {
  TPostgresCluster& cluster = Cluster();
  const std::string database = cluster.CreateDatabase("lkpool");
  TServerProcess server(
      {"--database", "pg=" + cluster.Url(database), "--pool-size", "1", "--pool-timeout", "0.3"});
  TLarkspireConnection holder;
  TLarkspireConnection waiter;
  for (TLarkspireConnection* connection : {&holder, &waiter}) {
    connection->SetRemotePort(server.Port());
    connection->SetConnectionName("pg");
  }
  holder.StartTransaction();
  Exec(holder, "create table kept (x int)");
  try {
    ValueOf(waiter, "select 1", 1);
    ADD_FAILURE() << "no error while the only connection was held";
  } catch (const ELarkspireException& e) {
    EXPECT_EQ(e.ErrorCode(), kErrDatabaseBusy);
    EXPECT_NE(std::string(e.what()).find("--pool-size"), std::string::npos) << e.what();
  }
  try {
    waiter.StartTransaction();
    ADD_FAILURE() << "a transaction began while the only connection was held";
  } catch (const ELarkspireException& e) {
    EXPECT_EQ(e.ErrorCode(), kErrDatabaseBusy);
  }
  EXPECT_FALSE(waiter.InTransaction());
  holder.CommitTransaction();
  EXPECT_EQ(ValueOf(waiter, "select count(*) from kept"), "0");
}

class UsersE2E : public ::testing::Test {
 protected:
  static std::string Hash(const std::string& password) {
    test::TProgramInput input;
    input.stdin_text = password + "\n";
    const auto result = RunProgram(ServerBinaryPath(), {"--hash-password"}, input);
    EXPECT_EQ(result.exit_code, 0) << result.err;
    std::string hash = result.out;
    while (!hash.empty() && (hash.back() == '\n' || hash.back() == '\r')) hash.pop_back();
    return hash;
  }

  void SetUp() override {
    TPostgresCluster& cluster = Cluster();
    database_ = cluster.CreateDatabase("lkusers");
    cluster.Psql(database_,
                 "do $$ begin"
                 "  if not exists (select from pg_roles where rolname = 'alice') then"
                 "    create role alice nologin; create role bob nologin; end if; end $$;"
                 "create table notes (owner text not null, body text not null);"
                 "insert into notes values ('alice', 'a1'), ('alice', 'a2'), ('bob', 'b1');"
                 "alter table notes enable row level security;"
                 "create policy own on notes using (owner = current_user);"
                 "grant select on notes to alice, bob;"
                 "create table payroll (amount int); insert into payroll values (1);");
    std::string pattern = (std::filesystem::temp_directory_path() / "lk-users-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
    users_ = folder_ + "/users";
    std::ofstream(users_) << "# who may log in\n"
                          << "alice:" << Hash("alice-pw") << ":alice\n"
                          << "bob:" << Hash("bob-pw") << ":bob\n";
    server_ = std::make_unique<TServerProcess>(std::vector<std::string>{
        "--database", "pg=" + Cluster().Url(database_), "--pool-size", "2", "--users", users_});
  }

  std::unique_ptr<TLarkspireConnection> Connect(const std::string& user,
                                                const std::string& password) {
    auto connection = std::make_unique<TLarkspireConnection>();
    connection->SetRemotePort(server_->Port());
    connection->SetConnectionName("pg");
    connection->SetUserName(user);
    connection->SetLoginPassword(password);
    return connection;
  }

  void TearDown() override {
    server_.reset();
    std::filesystem::remove_all(folder_);
  }

  std::string database_;
  std::string folder_;
  std::string users_;
  std::unique_ptr<TServerProcess> server_;
};

TEST_F(UsersE2E, EachUserRunsUnderTheirRoleWithItsGrantsAndRowPolicies) {
  auto alice = Connect("alice", "alice-pw");
  auto bob = Connect("bob", "bob-pw");
  EXPECT_EQ(ValueOf(*alice, "select string_agg(body, ',' order by body) from notes"), "a1,a2");
  EXPECT_EQ(ValueOf(*bob, "select string_agg(body, ',' order by body) from notes"), "b1");
  EXPECT_EQ(ValueOf(*alice, "select current_user"), "alice");
  // No grant on the table: PostgreSQL itself refuses.
  try {
    ValueOf(*bob, "select amount from payroll");
    ADD_FAILURE() << "bob read a table without a grant";
  } catch (const ELarkspireException& e) {
    EXPECT_EQ(e.ErrorCode(), kErrDatabase);
    EXPECT_NE(std::string(e.what()).find("permission denied"), std::string::npos) << e.what();
  }
  // The next borrower of the connection bob used is not bob any more.
  EXPECT_EQ(ValueOf(*alice, "select current_user"), "alice");
  EXPECT_NE(server_->Log().find("logged in as \"alice\" (role \"alice\")"), std::string::npos);

  // The command-line client logs in from its option or the environment.
  test::TProgramInput input;
  input.environment = {"LARKSPIRE_PASSWORD=bob-pw"};
  const auto result = RunCli({"-p", std::to_string(server_->Port()), "--connection", "pg", "-U",
                              "bob", "query", "select current_user as who", "--format", "csv"},
                             input);
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, "who\nbob\n");
}

TEST_F(UsersE2E, AWrongPasswordAndAnUnknownUserAreRefusedAlikeAndNoLogInIsRefused) {
  std::vector<std::pair<int32_t, std::string>> refusals;
  for (auto [user, password] :
       {std::pair<std::string, std::string>{"alice", "bob-pw"}, {"carol", "alice-pw"}}) {
    auto connection = Connect(user, password);
    try {
      ValueOf(*connection, "select 1");
      ADD_FAILURE() << user << " logged in";
    } catch (const ELarkspireException& e) {
      refusals.emplace_back(e.ErrorCode(), e.what());
    }
    EXPECT_FALSE(connection->Connected());
  }
  ASSERT_EQ(refusals.size(), 2u);
  EXPECT_EQ(refusals[0], refusals[1]);
  EXPECT_EQ(refusals[0].first, kErrWrongPassword);

  auto anonymous = Connect("", "alice-pw");
  try {
    ValueOf(*anonymous, "select 1");
    ADD_FAILURE() << "a session that did not log in ran a statement";
  } catch (const ELarkspireException& e) {
    EXPECT_EQ(e.ErrorCode(), kErrLogInRequired);
  }
}

}  // namespace
}  // namespace larkspire
