// TLarkspireQuery against the real server, on SQLite (the demonstration database) and on
// PostgreSQL (a fresh database seeded with the same products table): opening with a parameter,
// a detail that follows its master, statements inside a transaction (and after it was lost with
// its connection), and the server's refusal.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "components/query.h"
#include "support/backend_server.h"
#include "support/postgres_cluster.h"
#include "support/server_fixture.h"

namespace larkspire::test {
namespace {

TBackendServer& ServerFor(TBackend backend) {
  return test::ServerFor(backend, "lkquery");
}

class QueryE2E : public ::testing::TestWithParam<TBackend> {
 protected:
  void SetUp() override {
    TBackendServer& server = ServerFor(GetParam());
    ASSERT_TRUE(server.Server) << server.Error;
    connection_.SetName("Conn");
    connection_.SetRemotePort(server.Server->Port());
    connection_.SetConnectionName(server.ConnectionName);
    connection_.SetClientName("QueryE2E");
    query_.SetName("Query1");
    query_.SetConnection(&connection_);
  }

  // The product name of a ProId, read with a fresh query.
  std::string ProductName(int id) {
    TLarkspireQuery q;
    q.SetConnection(&connection_);
    q.SQL().SetText("select ProName from products where ProId = :id");
    q.Parameters()[0].Value = int32_t{id};
    q.Open();
    return q.RecordCount() == 1 ? q.Fields(0).AsString() : "<missing>";
  }

  TLarkspireConnection connection_;
  TLarkspireQuery query_;
};

TEST_P(QueryE2E, OpensAllProductsWithTheirColumns) {
  query_.SQL().SetText("select * from products order by ProId desc");
  query_.Open();
  ASSERT_TRUE(query_.Active());
  EXPECT_EQ(query_.RecordCount(), 45);
  for (const char* name : {"ProId", "ProCode", "ProName", "ProKind", "ProUnit", "ProSpec",
                           "BarCode", "PurPrice", "RetaiPrice", "TradePrice"})
    EXPECT_NE(query_.FindField(name), nullptr) << name;
  EXPECT_EQ(query_.FieldByName("ProId").AsInteger(), 45);
  query_.Last();
  EXPECT_EQ(query_.FieldByName("ProId").AsInteger(), 1);
}

TEST_P(QueryE2E, OpensProductsWithALikeParameter) {
  query_.SQL().SetText(
      "select ProId, ProName from products where ProName like :ProName order by ProId");
  query_.Parameters().ParamByName("ProName").Value = "%油%";
  query_.Open();
  ASSERT_TRUE(query_.Active());
  EXPECT_EQ(query_.RecordCount(), 4);
  for (query_.First(); !query_.Eof(); query_.Next())
    EXPECT_NE(query_.FieldByName("ProName").AsString().find("油"), std::string::npos);
  // The same text with another value: the parameter is kept, the rows follow the value.
  query_.SQL().SetText(
      "select ProId, ProName from products where ProName like :ProName order by ProId");
  EXPECT_EQ(query_.Parameters()[0].Value, TVariant("%油%"));
  query_.Parameters()[0].Value = "%no such product%";
  query_.Open();
  EXPECT_TRUE(query_.Active());
  EXPECT_EQ(query_.RecordCount(), 0);
  EXPECT_TRUE(query_.Eof() && query_.Bof());
}

TEST_P(QueryE2E, DetailFollowsItsMasterRowByRow) {
  TLarkspireQuery master;
  master.SetName("Master");
  master.SetConnection(&connection_);
  master.SQL().SetText("select ProId, ProCode from products where ProId <= 3 order by ProId");
  master.Open();
  TDataSource source;
  source.SetDataSet(&master);
  query_.SQL().SetText("select ProId, ProName from products where ProId = :ProId");
  query_.SetDataSource(&source);
  query_.Open();
  EXPECT_EQ(query_.MasterFields(), "ProId");
  for (int id = 1; id <= 3; ++id) {
    ASSERT_EQ(master.FieldByName("ProId").AsInteger(), id);
    ASSERT_TRUE(query_.Active());
    ASSERT_EQ(query_.RecordCount(), 1) << "master row " << id;
    EXPECT_EQ(query_.FieldByName("ProId").AsInteger(), id);
    master.Next();
  }
}

TEST_P(QueryE2E, ExecSqlInsideATransactionIsRolledBack) {
  const std::string before = ProductName(7);
  ASSERT_NE(before, "<missing>");
  connection_.StartTransaction();
  query_.SQL().SetText("update products set ProName = :name where ProId = :id");
  query_.Parameters().ParamByName("name").Value = "临时名称";
  query_.Parameters().ParamByName("id").Value = int32_t{7};
  EXPECT_EQ(query_.ExecSQL(), 1);
  EXPECT_EQ(query_.RowsAffected(), 1);
  EXPECT_EQ(ProductName(7), "临时名称");  // the same session sees its own change
  connection_.RollbackTransaction();
  EXPECT_FALSE(connection_.InTransaction());
  EXPECT_EQ(ProductName(7), before);
}

TEST_P(QueryE2E, StatementAfterTheTransactionsConnectionDroppedIsRefusedAsLost) {
  const std::string before = ProductName(8);
  ASSERT_NE(before, "<missing>");
  ASSERT_EQ(connection_.StartTransaction(), 1);
  connection_.SetConnected(false);  // the server rolls the session's transaction back
  query_.SQL().SetText("update products set ProName = :name where ProId = :id");
  query_.Parameters().ParamByName("name").Value = "不该写入";
  query_.Parameters().ParamByName("id").Value = int32_t{8};
  try {
    query_.ExecSQL();
    FAIL() << "no exception";
  } catch (const ELarkspireException& e) {
    EXPECT_EQ(e.ErrorCode(), kErrTransactionLost) << e.what();
    EXPECT_EQ(e.ErrorMessage(),
              "The transaction was lost: the connection to the server was closed.");
  }
  EXPECT_EQ(connection_.TransactionLevel(), 0);
  // Not run in autocommit either; the next statement runs as usual.
  EXPECT_EQ(ProductName(8), before);
}

TEST_P(QueryE2E, ServerRefusalRaisesAndLeavesTheQueryClosed) {
  query_.SQL().SetText("select * from no_such_table");
  try {
    query_.Open();
    FAIL() << "no exception";
  } catch (const ELarkspireException& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Query1:", 0), 0u) << e.what();
    EXPECT_NE(e.ErrorCode(), -1);
    EXPECT_EQ(e.ErrorCode(), connection_.ErrorCode());
  }
  EXPECT_FALSE(query_.Active());
  // The connection goes on serving.
  query_.SQL().SetText("select count(*) as n from products");
  query_.Open();
  EXPECT_EQ(query_.Fields(0).AsInteger(), 45);
}

TEST_P(QueryE2E, TextParameterIsBoundByTheDatabase) {
  // What the command-line client sends: every value as text.
  query_.SQL().SetText("select ProName from products where ProId = :id");
  query_.Parameters()[0].DataType = ftWideString;
  query_.Parameters()[0].Value = "3";
  query_.Open();
  ASSERT_EQ(query_.RecordCount(), 1);
  EXPECT_EQ(query_.Fields(0).AsString(), ProductName(3));
}

TEST_P(QueryE2E, StatusFieldAndRefresh) {
  query_.SetEnableStatusField(true);
  query_.SQL().SetText("select ProId from products where ProId <= 5 order by ProId");
  query_.Open();
  ASSERT_EQ(query_.RecordCount(), 5);
  EXPECT_EQ(query_.Fields(query_.FieldCount() - 1).FieldName(), kRowStatusFieldName);
  query_.Last();
  query_.FieldByName(kRowStatusFieldName).SetAsInteger(3);
  EXPECT_EQ(query_.RowStatus()[4], 3);
  query_.Refresh();
  EXPECT_EQ(query_.RowStatus(), std::vector<int32_t>(5, 0));
}

TEST_P(QueryE2E, ColumnsThatShareANameShowTheirOwnValues) {
  query_.SQL().SetText("select 1 as a, 2 as a, 3 as A");
  query_.Open();
  ASSERT_TRUE(query_.Active());
  ASSERT_EQ(query_.FieldCount(), 3);
  EXPECT_EQ(query_.Fields(0).AsInteger(), 1);
  EXPECT_EQ(query_.Fields(1).AsInteger(), 2);
  EXPECT_EQ(query_.Fields(2).AsInteger(), 3);
  EXPECT_EQ(query_.FieldByName("A").AsInteger(), 1);  // by name: the first of that name
  query_.Close();
  // A join of a table with itself: both name columns, each with its own row's name.
  query_.SQL().SetText(
      "select p.ProName, q.ProName from products p join products q on q.ProId = p.ProId + 1 "
      "where p.ProId = 1");
  query_.Open();
  ASSERT_EQ(query_.RecordCount(), 1);
  EXPECT_EQ(query_.Fields(0).AsString(), ProductName(1));
  EXPECT_EQ(query_.Fields(1).AsString(), ProductName(2));
  EXPECT_NE(ProductName(1), ProductName(2));
}

INSTANTIATE_TEST_SUITE_P(Backends, QueryE2E,
                         ::testing::Values(TBackend::bkSQLite, TBackend::bkPostgreSQL),
                         BackendName);

}  // namespace
}  // namespace larkspire::test
