// Posting and deleting against the real server, on SQLite (the demonstration database) and on
// PostgreSQL (a fresh database seeded with the same products table): edits, inserts with the
// server-assigned ProId merged back, deletes, refused posts and deletes with their undo paths,
// a conflicting update from a second connection, and the modes that keep changes local. Every
// test gets a server and a database of its own, as the tests change the rows.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "components/query.h"
#include "components/update_sql.h"
#include "support/postgres_cluster.h"
#include "support/server_fixture.h"

namespace larkspire::test {
namespace {

enum class TBackend { bkSQLite, bkPostgreSQL };

std::string BackendName(const ::testing::TestParamInfo<TBackend>& info) {
  return info.param == TBackend::bkSQLite ? "SQLite" : "PostgreSQL";
}

class ApplyUpdatesE2E : public ::testing::TestWithParam<TBackend> {
 protected:
  void SetUp() override {
    if (GetParam() == TBackend::bkSQLite) {
      server_ = std::make_unique<TServerProcess>();
    } else {
      TPostgresCluster* cluster = TPostgresCluster::Instance();
      ASSERT_NE(cluster, nullptr) << TPostgresCluster::StartError();
      const std::string database = cluster->CreateDatabase("lkapply");
      server_ = std::make_unique<TServerProcess>(std::vector<std::string>{
          "--database", "pg=" + cluster->Url(database), "--seed-demo", "pg"});
      connection_name_ = "pg";
    }
    Configure(connection_, "Conn");
    Configure(other_connection_, "Other");
    query_.SetName("Query1");
    query_.SetConnection(&connection_);
    query_.SQL().SetText("select * from products order by ProId");
  }

  void Configure(TLarkspireConnection& connection, const std::string& name) {
    connection.SetName(name);
    connection.SetRemotePort(server_->Port());
    connection.SetConnectionName(connection_name_);
  }

  // What a second client sees now.
  int CountWhere(const std::string& condition) {
    TLarkspireQuery q;
    q.SetConnection(&other_connection_);
    q.SQL().SetText("select ProId from products where " + condition);
    q.Open();
    return q.RecordCount();
  }
  std::string NameOf(int id) {
    TLarkspireQuery q;
    q.SetConnection(&other_connection_);
    q.SQL().SetText("select ProName from products where ProId = " + std::to_string(id));
    q.Open();
    return q.RecordCount() == 1 ? q.Fields(0).AsString() : "<missing>";
  }
  void GoTo(TLarkspireQuery& query, int id) {
    ASSERT_TRUE(query.Locate("ProId", TVariant(id))) << id;
  }
  std::string Name() const { return query_.FieldByName("ProName").AsString(); }
  int64_t Pending() const { return query_.Recordset()->PendingCount(); }

  std::unique_ptr<TServerProcess> server_;
  std::string connection_name_;
  TLarkspireConnection connection_;
  TLarkspireConnection other_connection_;
  TLarkspireQuery query_;
};

TEST_P(ApplyUpdatesE2E, PostedEditReachesTheDatabase) {
  query_.Open();
  GoTo(query_, 5);
  query_.Edit();
  query_.FieldByName("ProName").SetAsString("改名的商品");
  query_.FieldByName("RetaiPrice").SetAsFloat(12.5);
  query_.Post();
  EXPECT_EQ(query_.State(), dsBrowse);
  EXPECT_EQ(query_.RecNo(), 5);
  EXPECT_EQ(Pending(), 0);
  EXPECT_EQ(NameOf(5), "改名的商品");
  EXPECT_EQ(CountWhere("ProId = 5 and RetaiPrice = 12.5"), 1);
  EXPECT_EQ(CountWhere("1 = 1"), 45);
}

TEST_P(ApplyUpdatesE2E, PostedInsertMergesTheServerAssignedKeyAndStandsOnTheLastRow) {
  query_.Open();
  query_.SetRecNo(3);
  query_.Append();
  query_.FieldByName("ProCode").SetAsString("0301001");
  query_.FieldByName("ProName").SetAsString("新商品");
  query_.FieldByName("PurPrice").SetAsFloat(2.25);
  query_.Post();
  EXPECT_EQ(query_.State(), dsBrowse);
  EXPECT_EQ(query_.RecordCount(), 46);
  EXPECT_EQ(query_.RecNo(), 46);
  EXPECT_FALSE(query_.FieldByName("ProId").IsNull());
  const int id = query_.FieldByName("ProId").AsInteger();
  EXPECT_GT(id, 45);
  EXPECT_EQ(Name(), "新商品");
  EXPECT_EQ(Pending(), 0);
  EXPECT_EQ(NameOf(id), "新商品");
  // The merged row carries its key: editing and deleting it reach the same database row.
  query_.Edit();
  query_.FieldByName("ProName").SetAsString("新商品 二");
  query_.Post();
  EXPECT_EQ(NameOf(id), "新商品 二");
  query_.Delete();
  EXPECT_EQ(CountWhere("ProId = " + std::to_string(id)), 0);
  EXPECT_EQ(query_.RecordCount(), 45);
}

TEST_P(ApplyUpdatesE2E, DeleteRemovesTheRowAndFiresAfterDelete) {
  query_.Open();
  int after_delete = 0;
  query_.AfterDelete = [&](TDataSet&) { ++after_delete; };
  GoTo(query_, 7);
  query_.Delete();
  EXPECT_EQ(after_delete, 1);
  EXPECT_EQ(query_.RecordCount(), 44);
  EXPECT_EQ(query_.FieldByName("ProId").AsInteger(), 8);
  EXPECT_EQ(CountWhere("ProId = 7"), 0);
  EXPECT_EQ(CountWhere("1 = 1"), 44);
}

TEST_P(ApplyUpdatesE2E, RefusedInsertStaysInInsertStateAndCancelRemovesIt) {
  query_.Open();
  query_.Append();
  query_.FieldByName("ProName").SetAsString("没有编码");  // ProCode is NOT NULL
  EXPECT_THROW(query_.Post(), ELarkspireException);
  EXPECT_EQ(query_.State(), dsInsert);
  EXPECT_EQ(Name(), "没有编码");
  // The user supplies the code: the same insert now goes through.
  query_.FieldByName("ProCode").SetAsString("0301002");
  query_.Post();
  EXPECT_EQ(query_.RecordCount(), 46);
  EXPECT_EQ(CountWhere("ProCode = '0301002'"), 1);
  // Refused again, then given up.
  query_.Append();
  query_.FieldByName("ProName").SetAsString("放弃");
  EXPECT_THROW(query_.Post(), ELarkspireException);
  query_.Cancel();
  EXPECT_EQ(query_.State(), dsBrowse);
  EXPECT_EQ(query_.RecordCount(), 46);
  EXPECT_EQ(Pending(), 0);
  EXPECT_EQ(CountWhere("1 = 1"), 46);
}

TEST_P(ApplyUpdatesE2E, RefusedEditWithdrawsTheChangeAndKeepsTheUsersValues) {
  query_.Open();
  GoTo(query_, 4);
  const std::string before = Name();
  query_.Edit();
  query_.FieldByName("ProName").SetAsString("Mine");
  query_.FieldByName("ProCode").SetValue(TVariant::Null());  // NOT NULL
  EXPECT_THROW(query_.Post(), ELarkspireException);
  EXPECT_EQ(query_.State(), dsEdit);
  EXPECT_EQ(Name(), "Mine");
  EXPECT_EQ(Pending(), 0);
  query_.Cancel();
  EXPECT_EQ(Name(), before);
  EXPECT_EQ(NameOf(4), before);
}

TEST_P(ApplyUpdatesE2E, ConflictingUpdateFromASecondConnectionIsRefused) {
  query_.Open();
  TLarkspireQuery theirs;
  theirs.SetName("Theirs");
  theirs.SetConnection(&other_connection_);
  theirs.SQL().SetText("select * from products order by ProId");
  theirs.Open();
  GoTo(theirs, 9);
  theirs.Edit();
  theirs.FieldByName("ProName").SetAsString("Theirs");
  theirs.Post();

  GoTo(query_, 9);
  query_.Edit();
  query_.FieldByName("ProName").SetAsString("Ours");
  try {
    query_.Post();
    FAIL() << "the stale row was overwritten";
  } catch (const ELarkspireException& e) {
    EXPECT_EQ(e.ErrorCode(), 20011) << e.what();
    EXPECT_EQ(std::string(e.what()).rfind("Query1:", 0), 0u) << e.what();
  }
  EXPECT_EQ(query_.State(), dsEdit);
  query_.Cancel();
  EXPECT_EQ(NameOf(9), "Theirs");
  query_.Refresh();
  GoTo(query_, 9);
  EXPECT_EQ(Name(), "Theirs");
}

TEST_P(ApplyUpdatesE2E, RefusedDeleteBringsTheRowBackAndStandsOnIt) {
  query_.Open();
  TLarkspireQuery exec;
  exec.SetConnection(&other_connection_);
  exec.SQL().SetText("delete from products where ProId = 12");
  ASSERT_EQ(exec.ExecSQL(), 1);
  int after_delete = 0;
  query_.AfterDelete = [&](TDataSet&) { ++after_delete; };
  GoTo(query_, 12);
  EXPECT_THROW(query_.Delete(), ELarkspireException);
  EXPECT_EQ(after_delete, 0);
  EXPECT_EQ(query_.RecordCount(), 45);
  EXPECT_EQ(query_.FieldByName("ProId").AsInteger(), 12);
  EXPECT_EQ(Pending(), 0);
}

TEST_P(ApplyUpdatesE2E, BatchModeKeepsChangesLocalUntilApplyUpdates) {
  query_.SetLockType(ltBatchOptimistic);
  query_.Open();
  GoTo(query_, 2);
  query_.Edit();
  query_.FieldByName("ProName").SetAsString("批量修改");
  query_.Post();
  GoTo(query_, 3);
  query_.Delete();
  query_.Append();
  query_.FieldByName("ProCode").SetAsString("0301003");
  query_.FieldByName("ProName").SetAsString("批量新增");
  query_.Post();
  EXPECT_EQ(Pending(), 3);
  EXPECT_EQ(CountWhere("ProId = 3"), 1);
  EXPECT_EQ(CountWhere("ProCode = '0301003'"), 0);
  EXPECT_NE(NameOf(2), "批量修改");

  query_.ApplyUpdates();
  EXPECT_EQ(Pending(), 0);
  EXPECT_EQ(query_.RecordCount(), 45);
  EXPECT_EQ(Name(), "批量新增");  // on the last row, the inserted one
  EXPECT_GT(query_.FieldByName("ProId").AsInteger(), 45);
  EXPECT_EQ(CountWhere("ProId = 3"), 0);
  EXPECT_EQ(CountWhere("ProCode = '0301003'"), 1);
  EXPECT_EQ(NameOf(2), "批量修改");
}

TEST_P(ApplyUpdatesE2E, UpdateObjectKeepsChangesLocalUntilApplyUpdates) {
  TLarkspireUpdateSQL update;
  update.ModifySQL().SetText("update products set ProName = :ProName where ProId = :OLD_ProId");
  query_.SetUpdateObject(&update);
  query_.Open();
  GoTo(query_, 6);
  query_.Edit();
  query_.FieldByName("ProName").SetAsString("本地修改");
  query_.Post();
  GoTo(query_, 8);
  query_.Delete();
  EXPECT_EQ(Pending(), 2);
  EXPECT_EQ(CountWhere("ProId = 8"), 1);
  EXPECT_NE(NameOf(6), "本地修改");
  query_.ApplyUpdates();
  EXPECT_EQ(Pending(), 0);
  EXPECT_EQ(NameOf(6), "本地修改");
  EXPECT_EQ(CountWhere("ProId = 8"), 0);
  EXPECT_EQ(CountWhere("1 = 1"), 44);
}

INSTANTIATE_TEST_SUITE_P(Backends, ApplyUpdatesE2E,
                         ::testing::Values(TBackend::bkSQLite, TBackend::bkPostgreSQL),
                         BackendName);

}  // namespace
}  // namespace larkspire::test
