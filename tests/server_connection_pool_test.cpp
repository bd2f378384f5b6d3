// TConnectionPool with a backend double: how many connections it opens and lends, what a
// borrower that finds none free gets, and what becomes of a connection given back.
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "server/sql/backends/sqlite/sqlite_dialect.h"
#include "server/sql/connection_pool.h"

namespace larkspire::server {
namespace {

using namespace std::chrono_literals;

std::atomic<int> alive{0};
std::atomic<bool> resets_fail{false};
std::atomic<int> opened{0};  // attempts to open, failed ones too
std::atomic<bool> opens_fail{false};

// A connection that counts itself, and remembers whether it was left in a transaction.
class TFakeDatabase : public IDatabase {
 public:
  TFakeDatabase() : id(++opened) { ++alive; }
  ~TFakeDatabase() override { --alive; }
  void ExecuteScript(const std::string& sql) override {
    if (sql == "BEGIN") in_transaction_ = true;
  }
  bool InTransaction() override { return in_transaction_; }
  void Rollback() override { in_transaction_ = false; }
  TRecordsetData OpenQuery(const std::string&, const TParameters&,
                           const TStatementOptions&) override {
    return {};
  }
  int64_t ExecuteStatement(const std::string&, const TParameters&,
                           const TStatementOptions&) override {
    return 0;
  }
  TRecordsetData CallProcedure(const std::string&, TParameters&,
                               const TStatementOptions&) override {
    return {};
  }
  const ISqlDialect& Dialect() const override { return TSQLiteDialect::Instance(); }
  void ResetSession() override {
    if (resets_fail) throw EServerDatabaseError("the connection was lost");
    IDatabase::ResetSession();
    ++resets;
  }
  bool LooksAlive() override { return !broken; }
  int resets = 0;
  const int id;
  bool broken = false;  // its server closed it

 private:
  bool in_transaction_ = false;
};

std::unique_ptr<IDatabase> OpenFake(const TDatabaseLocator&) {
  if (opens_fail) {
    ++opened;
    throw EServerDatabaseLost("no host accepts");
  }
  return std::make_unique<TFakeDatabase>();
}

TFakeDatabase& Fake(const TPooledConnection& connection) {
  return static_cast<TFakeDatabase&>(*connection);
}

TDatabaseLocator FakeLocator() {
  static const TBackend backend{"Fake", {"fake:"}, "fake:", nullptr, &OpenFake, false};
  TDatabaseLocator locator;
  locator.Backend = &backend;
  locator.Text = "fake:";
  return locator;
}

class TConnectionPoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    resets_fail = false;
    opens_fail = false;
    opened = 0;
  }
  void TearDown() override { EXPECT_EQ(alive, 0); }
};

TEST_F(TConnectionPoolTest, LendsAtMostItsCapacityAndAWaiterGetsTheFirstOneGivenBack) {
  TConnectionPool pool(FakeLocator(), "\"fake\"", 2, true);
  TPooledConnection first = pool.Borrow(1s);
  TPooledConnection second = pool.Borrow(1s);
  EXPECT_EQ(alive, 2);
  try {
    pool.Borrow(30ms);
    ADD_FAILURE() << "a third connection was lent";
  } catch (const EServerDatabaseBusy& e) {
    EXPECT_NE(std::string(e.what()).find("\"fake\""), std::string::npos) << e.what();
  }
  IDatabase* given_back = &*first;
  std::thread giver([&] {
    std::this_thread::sleep_for(50ms);
    first.Release();
  });
  TPooledConnection third = pool.Borrow(10s);
  giver.join();
  EXPECT_EQ(&*third, given_back);  // the same connection, not a new one
  EXPECT_EQ(alive, 2);
  EXPECT_EQ(pool.InUse(), 2);
  EXPECT_EQ(pool.PeakInUse(), 2);
}

TEST_F(TConnectionPoolTest, AConnectionGoesBackResetAndOneWhoseResetFailsIsClosed) {
  TConnectionPool pool(FakeLocator(), "\"fake\"", 1, true);
  {
    TPooledConnection connection = pool.Borrow(1s);
    connection->Begin();  // left open by its borrower
  }
  {
    TPooledConnection connection = pool.Borrow(1s);
    EXPECT_FALSE(connection->InTransaction());
    EXPECT_EQ(static_cast<TFakeDatabase&>(*connection).resets, 1);
    resets_fail = true;
  }
  EXPECT_EQ(alive, 0);
  EXPECT_EQ(pool.Open(), 0);
  resets_fail = false;
  TPooledConnection fresh = pool.Borrow(1s);
  EXPECT_EQ(static_cast<TFakeDatabase&>(*fresh).resets, 0);
}

TEST_F(TConnectionPoolTest, SessionModeOpensOnePerBorrowerAndClosesItOnReturn) {
  TDatabaseCatalog catalog;
  catalog.Add("", FakeLocator());
  catalog.Add("demo", FakeLocator());
  TConnectionPools pools(catalog, 1, TPoolMode::pmSession);
  ASSERT_EQ(pools.Find(""), pools.Find("demo"));  // one database, one pool
  EXPECT_EQ(pools.Find("other"), nullptr);
  {
    TPooledConnection a = pools.Find("")->Borrow(1s);
    TPooledConnection b = pools.Find("demo")->Borrow(1s);
    TPooledConnection c = pools.Find("")->Borrow(1s);
    EXPECT_EQ(alive, 3);
  }
  EXPECT_EQ(alive, 0);
  ASSERT_EQ(pools.Summary().size(), 1u);
  EXPECT_NE(pools.Summary()[0].find("at most 3 connections"), std::string::npos)
      << pools.Summary()[0];
}

// The database server went away: what it closed is not lent again, and a connection that
// comes back broken takes the idle ones opened before the break with it, not those opened since.
TEST_F(TConnectionPoolTest, ABrokenConnectionIsNotLentAndClosesTheIdleOnesOpenedBeforeIt) {
  TConnectionPool pool(FakeLocator(), "\"fake\"", 4, true);
  TPooledConnection stale = pool.Borrow(1s);
  TPooledConnection first = pool.Borrow(1s);
  TPooledConnection idle = pool.Borrow(1s);
  idle.Release();
  Fake(first).broken = true;
  first.Release();
  EXPECT_EQ(alive, 1);  // the idle one went with it
  TPooledConnection fresh = pool.Borrow(1s);
  const int fresh_id = Fake(fresh).id;
  fresh.Release();
  Fake(stale).broken = true;
  stale.Release();  // opened before the first break: the fresh one stays
  EXPECT_EQ(alive, 1);
  TPooledConnection again = pool.Borrow(1s);
  EXPECT_EQ(Fake(again).id, fresh_id);
  TFakeDatabase& idle_one = Fake(again);
  again.Release();
  idle_one.broken = true;  // its server closes it while it sits idle
  TPooledConnection next = pool.Borrow(1s);
  EXPECT_NE(Fake(next).id, fresh_id);
  EXPECT_EQ(alive, 1);
}

// While no connection opens, attempts come one at a time after a growing pause; a borrower whose
// time-out ends first fails at once, and one that can wait gets the next attempt's outcome.
TEST_F(TConnectionPoolTest, SpacesItsAttemptsWhileNoConnectionOpens) {
  TConnectionPool pool(FakeLocator(), "\"fake\"", 16, true);
  opens_fail = true;
  EXPECT_THROW(pool.Borrow(1s), EServerDatabaseLost);
  EXPECT_THROW(pool.Borrow(20ms), EServerDatabaseLost);  // within the first pause (200 ms)
  EXPECT_EQ(opened, 1);
  std::atomic<bool> running{true};
  std::vector<std::thread> borrowers;
  for (int i = 0; i < 8; ++i) {
    borrowers.emplace_back([&] {
      while (running) {
        try {
          pool.Borrow(1s);
        } catch (const EServerDatabaseLost&) {
        }
        std::this_thread::sleep_for(2ms);
      }
    });
  }
  std::this_thread::sleep_for(1s);
  running = false;
  for (std::thread& borrower : borrowers) borrower.join();
  // Attempts after 200, 400 and 800 ms at most, whatever the number of borrowers.
  EXPECT_GE(opened, 2);
  EXPECT_LE(opened, 4);
  opens_fail = false;
  TPooledConnection connection = pool.Borrow(6s);  // waits out the pause, then opens
  EXPECT_TRUE(connection);
  connection.Release();
  TPooledConnection second = pool.Borrow(0ms);
  EXPECT_TRUE(second);
}

}  // namespace
}  // namespace larkspire::server
