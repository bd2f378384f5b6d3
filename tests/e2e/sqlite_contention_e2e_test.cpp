// Many clients running read-then-write transactions on the same SQLite database at once: each
// transaction waits for the write lock instead of failing when another client holds it, and the
// stock of every product adds up afterwards.
//
// LARKSPIRE_CONTENTION_CLIENTS and LARKSPIRE_CONTENTION_ROUNDS raise the load (16 and 30 for
// the full measurement); the suite runs a bounded mix.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "components/query.h"
#include "support/server_fixture.h"

namespace larkspire::test {
namespace {

int FromEnvironment(const char* name, int fallback) {
  const char* text = std::getenv(name);
  const int value = text ? std::atoi(text) : 0;
  return value > 0 ? value : fallback;
}

struct TOutcome {
  std::atomic<int> committed{0};
  std::atomic<int> failed{0};
  std::atomic<int> busy{0};
  std::string first_failure;
  std::atomic<bool> noted{false};
};

// One client: each round reads a product's PurPrice inside a transaction and writes it back one
// higher, so a lost update or a failed round shows in the sum.
void RunClient(uint16_t port, int client, int rounds, TOutcome& outcome) {
  TLarkspireConnection connection;
  connection.SetName("Conn");
  connection.SetRemotePort(port);
  connection.SetClientName("Contention" + std::to_string(client));
  TLarkspireQuery read, write;
  read.SetConnection(&connection);
  write.SetConnection(&connection);
  read.SQL().SetText("select PurPrice from products where ProId = :id");
  write.SQL().SetText("update products set PurPrice = :price where ProId = :id");
  for (int round = 0; round < rounds; ++round) {
    const int id = 1 + (client + round) % 5;
    try {
      connection.StartTransaction();
      read.Close();
      read.Parameters().ParamByName("id").Value = int32_t{id};
      read.Open();
      const double price = read.Fields(0).AsFloat();
      write.Parameters().ParamByName("price").Value = price + 1;
      write.Parameters().ParamByName("id").Value = int32_t{id};
      write.ExecSQL();
      connection.CommitTransaction();
      ++outcome.committed;
    } catch (const ELarkspireException& e) {
      ++outcome.failed;
      if (e.ErrorCode() == kErrDatabaseBusy) ++outcome.busy;
      if (!outcome.noted.exchange(true)) outcome.first_failure = e.what();
      try {
        if (connection.InTransaction()) connection.RollbackTransaction();
      } catch (const ELarkspireException&) {
      }
    }
  }
}

double PriceSum(uint16_t port) {
  TLarkspireConnection connection;
  connection.SetRemotePort(port);
  TLarkspireQuery query;
  query.SetConnection(&connection);
  query.SQL().SetText("select sum(PurPrice) from products where ProId between 1 and 5");
  query.Open();
  return query.Fields(0).AsFloat();
}

TEST(SQLiteContention, ReadThenWriteTransactionsWaitTheirTurnInsteadOfFailing) {
  const int clients = FromEnvironment("LARKSPIRE_CONTENTION_CLIENTS", 8);
  const int rounds = FromEnvironment("LARKSPIRE_CONTENTION_ROUNDS", 10);
  TServerProcess server;
  const double before = PriceSum(server.Port());
  TOutcome outcome;
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c)
    threads.emplace_back(RunClient, server.Port(), c, rounds, std::ref(outcome));
  for (std::thread& t : threads) t.join();
  const int total = clients * rounds;
  std::printf("contention: %d clients x %d transactions: %d committed, %d failed (%d busy)\n",
              clients, rounds, outcome.committed.load(), outcome.failed.load(),
              outcome.busy.load());
  EXPECT_EQ(outcome.failed.load(), 0) << outcome.first_failure;
  // Every committed round added exactly one: no update was lost between the read and the write.
  EXPECT_DOUBLE_EQ(PriceSum(server.Port()) - before, outcome.committed.load());
  EXPECT_EQ(outcome.committed.load() + outcome.failed.load(), total);
}

}  // namespace
}  // namespace larkspire::test
