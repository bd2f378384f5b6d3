// A PostgreSQL primary with a streaming standby behind two servers (one per pool mode, one given
// the hosts in libpq's key=value form, the other as a URI): the primary is killed while a
// statement runs on it and a transaction is open, the standby is promoted, and the clients see
// the retryable loss, the lost transaction, and then the promoted standby with the data written
// before the switch.
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "components/connection.h"
#include "components/exception.h"
#include "gtest/gtest.h"
#include "protocol/error_codes.h"
#include "support/postgres_cluster.h"
#include "support/server_fixture.h"
#include "support/sql_shortcuts.h"

namespace larkspire {
namespace {

using namespace std::chrono_literals;
using test::Exec;
using test::TPostgresCluster;
using test::TServerProcess;
using test::ValueOf;

constexpr const char* kSecret = "pw-never-logged-7391";

std::unique_ptr<TLarkspireConnection> Client(const TServerProcess& server) {
  auto connection = std::make_unique<TLarkspireConnection>();
  connection->SetRemotePort(server.Port());
  connection->SetConnectionName("pg");
  return connection;
}

// The error code run fails with, or 0 when it succeeds.
template <typename F>
int32_t CodeOf(F run) {
  try {
    run();
    return 0;
  } catch (const ELarkspireException& e) {
    return e.ErrorCode();
  }
}

// Polls sql on a cluster until it answers want, for up to 10 s.
bool Eventually(const TPostgresCluster& cluster, const std::string& sql, const std::string& want) {
  for (int i = 0; i < 200; ++i) {
    if (cluster.Psql("postgres", sql) == want) return true;
    std::this_thread::sleep_for(50ms);
  }
  return false;
}

TEST(PgFailoverE2E, AStatementCutByTheSwitchFailsRetryablyAndTheNextRunsOnThePromotedStandby) {
  std::string error;
  std::unique_ptr<TPostgresCluster> primary = TPostgresCluster::Create(error);
  if (primary == nullptr && error.find("not installed") != std::string::npos) GTEST_SKIP() << error;
  ASSERT_NE(primary, nullptr) << error;
  primary->Psql("postgres", "create table notes (id int primary key, body text)");
  primary->Psql("postgres", "insert into notes values (1, 'before')");
  std::unique_ptr<TPostgresCluster> standby = primary->CreateStandby(error);
  ASSERT_NE(standby, nullptr) << error;

  const std::string p1 = std::to_string(primary->Port());
  const std::string p2 = std::to_string(standby->Port());
  TServerProcess pooled({"--database",
                         "pg=host=127.0.0.1,127.0.0.1 port=" + p1 + "," + p2 +
                             " user=postgres password=" + kSecret +
                             " dbname=postgres target_session_attrs=read-write connect_timeout=3",
                         "--pool-size", "4"});
  TServerProcess per_session({"--database",
                              "pg=postgresql://postgres:" + std::string(kSecret) +
                                  "@127.0.0.1:" + p1 + ",127.0.0.1:" + p2 +
                                  "/postgres?target_session_attrs=read-write",
                              "--pool-mode", "session"});

  auto writer = Client(pooled);
  Exec(*writer, "insert into notes values (2, 'through us')");
  ASSERT_TRUE(Eventually(*standby, "select count(*) from notes", "2\n"));
  auto in_transaction = Client(pooled);
  in_transaction->StartTransaction();
  Exec(*in_transaction, "insert into notes values (3, 'never committed')");
  auto own_connection = Client(per_session);
  EXPECT_EQ(ValueOf(*own_connection, "select count(*) from notes"), "2");

  // A statement that runs while the primary dies.
  auto cut = Client(pooled);
  int32_t cut_code = -1;
  std::thread running([&] { cut_code = CodeOf([&] { ValueOf(*cut, "select pg_sleep(20)"); }); });
  EXPECT_TRUE(Eventually(*primary,
                         "select count(*) from pg_stat_activity where query like "
                         "'select pg_sleep%' and state = 'active'",
                         "1\n"));
  const auto switch_began = std::chrono::steady_clock::now();
  primary->Kill();
  running.join();
  EXPECT_EQ(cut_code, kErrDatabaseLost);
  // Before the promotion no host takes writes: the retryable loss again, at once.
  try {
    ValueOf(*writer, "select 1");
    ADD_FAILURE() << "a statement ran while no primary was up";
  } catch (const ELarkspireConnectionError& e) {
    EXPECT_EQ(e.ErrorCode(), kErrDatabaseLost) << e.what();
  }

  standby->Promote();
  // The next statement runs on the promoted standby and sees what was committed before.
  EXPECT_EQ(ValueOf(*writer, "select string_agg(body, ',' order by id) from notes"),
            "before,through us");
  Exec(*writer, "insert into notes values (4, 'after')");
  EXPECT_EQ(ValueOf(*own_connection, "select count(*) from notes"), "3");
  // The open transaction went with the old primary: reported lost once, then the next
  // statement works outside it.
  EXPECT_EQ(CodeOf([&] { Exec(*in_transaction, "insert into notes values (5, 'late')"); }),
            kErrTransactionLost);
  EXPECT_FALSE(in_transaction->InTransaction());
  EXPECT_EQ(ValueOf(*in_transaction, "select count(*) from notes where id in (3, 5)"), "0");
  EXPECT_LT(std::chrono::steady_clock::now() - switch_began, 15s);
  EXPECT_EQ(standby->Psql("postgres", "select body from notes where id = 4"), "after\n");

  for (TServerProcess* server : {&pooled, &per_session}) {
    server->Stop();
    EXPECT_EQ(server->Log().find(kSecret), std::string::npos) << server->Log();
  }
  EXPECT_NE(pooled.Log().find("connected again, to 127.0.0.1:" + p2), std::string::npos)
      << pooled.Log();
}

}  // namespace
}  // namespace larkspire
