// TLarkspireTransaction against a scripted server that keeps a transaction level: what leaving
// a scope sends with and without Commit, nesting, and transactions that end by other means.
#include "components/transaction.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <vector>

#include "support/command_peer.h"

namespace larkspire {
namespace {

using test::TCommandPeer;

class TransactionTest : public ::testing::Test {
 protected:
  TransactionTest()
      : peer_([this](const TRemoteCommand& request, TRemoteCommand& reply) {
          reply.Success = true;
          if (request.Code == cmdBeginTrans) {
            reply.Value = ++level_;
          } else if (request.Code == cmdCommitTrans || request.Code == cmdRollbackTrans) {
            if (lose_ || level_ == 0) {
              reply.Success = false;
              reply.Value = kErrTransactionLost;
              reply.Message = "transaction lost";
              level_ = 0;
            } else if (request.Code == cmdCommitTrans && refuse_commit_) {
              reply.Success = false;
              reply.Value = kErrDatabase;
              reply.Message = "deferred constraint failed";
            } else {
              --level_;
            }
          }
        }) {
    connection_.SetName("Conn");
    connection_.SetRemotePort(peer_.Port());
  }

  // The transaction commands the server saw, as "B", "C" and "R".
  std::string Sent() const {
    std::string codes;
    for (const test::TSeenCommand& seen : peer_.Seen()) {
      if (seen.Code == cmdBeginTrans) codes += 'B';
      if (seen.Code == cmdCommitTrans) codes += 'C';
      if (seen.Code == cmdRollbackTrans) codes += 'R';
    }
    return codes;
  }

  std::atomic<int32_t> level_{0};
  std::atomic<bool> lose_{false};
  std::atomic<bool> refuse_commit_{false};
  TCommandPeer peer_;
  TLarkspireConnection connection_;
};

TEST_F(TransactionTest, LeavingTheScopeRollsBackUnlessCommittedAndGuardsNest) {
  { TLarkspireTransaction transaction(connection_); }
  EXPECT_EQ(Sent(), "BR");
  {
    TLarkspireTransaction transaction(connection_);
    EXPECT_TRUE(transaction.Active());
    transaction.Commit();
    EXPECT_FALSE(transaction.Active());
  }
  EXPECT_EQ(Sent(), "BRBC");
  try {
    TLarkspireTransaction outer(connection_);
    {
      TLarkspireTransaction inner(connection_);
      EXPECT_EQ(inner.Level(), 2);
      inner.Commit();
    }
    throw std::runtime_error("the work failed");
  } catch (const std::runtime_error&) {
  }
  EXPECT_EQ(Sent(), "BRBCBBCR");
  EXPECT_EQ(connection_.TransactionLevel(), 0);
  EXPECT_EQ(level_, 0);
}

TEST_F(TransactionTest, EndedRefusedLostAndClosedTransactionsAreHandled) {
  {
    // Ending twice is an error; the guard then sends nothing more.
    TLarkspireTransaction transaction(connection_);
    transaction.Rollback();
    EXPECT_THROW(transaction.Commit(), ELarkspireException);
    EXPECT_THROW(transaction.Rollback(), ELarkspireException);
  }
  EXPECT_EQ(Sent(), "BR");
  {
    // A refused commit leaves the transaction open: the scope's end rolls it back.
    refuse_commit_ = true;
    TLarkspireTransaction transaction(connection_);
    EXPECT_THROW(transaction.Commit(), ELarkspireStatementError);
    EXPECT_TRUE(transaction.Active());
    refuse_commit_ = false;
  }
  EXPECT_EQ(Sent(), "BRBCR");
  {
    // The server lost the transaction: it is not rolled back again.
    TLarkspireTransaction transaction(connection_);
    lose_ = true;
    EXPECT_THROW(transaction.Commit(), ELarkspireTransactionLostError);
    EXPECT_FALSE(transaction.Active());
    lose_ = false;
  }
  EXPECT_EQ(Sent(), "BRBCRBC");
  {
    // A closed connection took the transaction with it: leaving the scope neither reconnects
    // nor raises.
    TLarkspireTransaction transaction(connection_);
    connection_.SetConnected(false);
  }
  EXPECT_EQ(Sent(), "BRBCRBCB");
  EXPECT_EQ(peer_.Count(), 8u);
}

TEST(TLarkspireTransaction, ABeginThatFailsMakesNoGuard) {
  TCommandPeer peer([](const TRemoteCommand&, TRemoteCommand& reply) {
    reply.Success = false;
    reply.Value = kErrTransactionTooDeep;
  });
  TLarkspireConnection connection;
  connection.SetRemotePort(peer.Port());
  EXPECT_THROW(TLarkspireTransaction transaction(connection), ELarkspireStatementError);
  EXPECT_EQ(connection.TransactionLevel(), 0);
}

}  // namespace
}  // namespace larkspire
