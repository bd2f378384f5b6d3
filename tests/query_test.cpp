// TLarkspireQuery: its defaults, the SQL list, the re-entrant open with its events, refresh,
// ExecSQL, stored procedures and the paging flag, against scripted peers.
#include "components/query.h"

#include "components/plugin_call.h"

#include <gtest/gtest.h>

#include "platform/wait_window.h"
#include "protocol/param_encoding.h"
#include "support/command_peer.h"

namespace larkspire {
namespace {

using test::AnswerRows;
using test::ProductsXml;
using test::ReadDescription;
using test::TCommandPeer;

class QueryTest : public ::testing::Test {
 protected:
  QueryTest() {
    query_.SetName("Query1");
    query_.SetConnection(&connection_);
  }
  TLarkspireConnection connection_;
  TLarkspireQuery query_;
};

TEST(TLarkspireQuery, NewQueryHasThePublishedDefaults) {
  TLarkspireQuery q;
  EXPECT_EQ(q.CommandTimeout(), 30);
  EXPECT_TRUE(q.EnableBCD());
  EXPECT_TRUE(q.ParamCheck());
  EXPECT_FALSE(q.Prepared());
  EXPECT_EQ(q.SQL().Count(), 0);
  EXPECT_EQ(q.CursorType(), ctKeyset);
  EXPECT_EQ(q.CursorLocation(), clUseClient);
  EXPECT_EQ(q.CacheSize(), 1);
  EXPECT_EQ(q.MaxRecords(), 0);
  EXPECT_EQ(q.ExecuteOptions(), 0u);
  EXPECT_FALSE(q.EnableStatusField());
  EXPECT_EQ(q.LockType(), ltOptimistic);
  EXPECT_EQ(q.FrameworkLockType(), ltBatchOptimistic);
  EXPECT_EQ(q.WaitMsg(), "");
  EXPECT_EQ(q.Connection(), nullptr);
  EXPECT_EQ(q.UpdateObject(), nullptr);
  EXPECT_EQ(q.DataSource(), nullptr);
  EXPECT_EQ(q.RowsAffected(), 0);
  EXPECT_EQ(q.CommandType(), cmdText);
  EXPECT_EQ(q.CommandTextName(), "SQL");
  EXPECT_FALSE(q.PagingFetch());
  ASSERT_NE(q.DeltaDataSet(), nullptr);
  EXPECT_EQ(q.DeltaDataSet()->Owner(), nullptr);
  TCustomLarkspireDataSetEx plain;
  EXPECT_EQ(plain.CommandTextName(), "CommandText");
}

TEST_F(QueryTest, SqlLinesBecomeTheCommandText) {
  query_.SQL().Add("select *");
  query_.SQL().Add("from products");
  EXPECT_EQ(query_.CommandText(), "select *\nfrom products");
  TStringList lines{"select 1", "where x = :x"};
  query_.SetSQL(lines);
  EXPECT_EQ(query_.SQL().Count(), 2);
  EXPECT_EQ(query_.CommandText(), "select 1\nwhere x = :x");
  EXPECT_EQ(query_.Parameters().Count(), 1);
  lines.Add("more");  // the query keeps its own copy
  EXPECT_EQ(query_.SQL().Count(), 2);
}

TEST_F(QueryTest, ChangingSqlClosesAnOpenQuery) {
  TCommandPeer peer(
      [](const TRemoteCommand&, TRemoteCommand& r) { AnswerRows(r, ProductsXml(2)); });
  connection_.SetRemotePort(peer.Port());
  query_.SQL().SetText("select * from products");
  query_.Open();
  ASSERT_TRUE(query_.Active());
  query_.SQL().SetText("select * from products where 1 = 0");
  EXPECT_FALSE(query_.Active());
  EXPECT_EQ(query_.CommandText(), "select * from products where 1 = 0");
}

TEST_F(QueryTest, SqlSetWhileLoadingDoesNotOpenOrClose) {
  TComponent form;
  auto* query = new TLarkspireQuery(&form);
  form.BeginLoading();
  query->SQL().SetText("select :a");
  query->SetActive(true);  // stored as active; applied once loading ends
  EXPECT_FALSE(query->Active());
  EXPECT_EQ(query->Parameters().Count(), 1);
  // No connection: the stored open raises when loading ends.
  EXPECT_THROW(form.EndLoading(), ELarkspireException);
  EXPECT_FALSE(query->Active());
}

TEST_F(QueryTest, OpenRunsTheInnerOpenEventsAndThenTheOuterOnes) {
  TCommandPeer peer(
      [](const TRemoteCommand&, TRemoteCommand& r) { AnswerRows(r, ProductsXml(3)); });
  connection_.SetRemotePort(peer.Port());
  std::vector<std::string> events;
  query_.BeforeOpen = [&](TDataSet&) { events.push_back("BeforeOpen"); };
  query_.AfterOpen = [&](TDataSet& d) {
    events.push_back("AfterOpen " + std::to_string(d.RecordCount()));
  };
  query_.AfterScroll = [&](TDataSet&) { events.push_back("AfterScroll"); };
  query_.SQL().SetText("select * from products");
  query_.Open();
  EXPECT_EQ(events, (std::vector<std::string>{"BeforeOpen", "BeforeOpen", "AfterOpen 3",
                                              "AfterScroll", "AfterOpen 3", "AfterScroll"}));
  EXPECT_EQ(query_.RecNo(), 1);
  EXPECT_EQ(query_.FieldByName("ProName").AsString(), "Name 1");
  EXPECT_EQ(query_.Recordset()->LockType(), ltBatchOptimistic);
}

TEST_F(QueryTest, RefreshSendsANewOpen) {
  int served = 0;
  TCommandPeer peer(
      [&](const TRemoteCommand&, TRemoteCommand& r) { AnswerRows(r, ProductsXml(++served)); });
  connection_.SetRemotePort(peer.Port());
  query_.SQL().SetText("select * from products");
  query_.Open();
  EXPECT_EQ(query_.RecordCount(), 1);
  query_.Refresh();
  EXPECT_EQ(query_.RecordCount(), 2);
  EXPECT_EQ(peer.Count(), 2u);
}

// Runs action and expects it to raise Kind (an ELarkspireException) with the code.
template <typename Kind>
void ExpectKind(const std::function<void()>& action, int32_t code, const std::string& what) {
  try {
    action();
    ADD_FAILURE() << what << ": nothing raised";
  } catch (const ELarkspireException& e) {
    EXPECT_NE(dynamic_cast<const Kind*>(&e), nullptr) << what << ": " << e.what();
    EXPECT_EQ(e.ErrorCode(), code) << what;
  }
}

TEST_F(QueryTest, EachFailureRaisesTheKindACallerActsOn) {
  TCommandPeer peer([](const TRemoteCommand& request, TRemoteCommand& r) {
    const std::string sql = test::ReadDescription(request.Data.Bytes()).Text;
    r.Success = false;
    r.Value = sql == "lost"      ? kErrTransactionLost
              : sql == "changed" ? kErrUpdateConflict
                                 : kErrDatabase;
    r.Message = "failed: " + sql;
  });
  connection_.SetRemotePort(peer.Port());
  const auto exec = [this](const std::string& sql) {
    return [this, sql] {
      query_.SQL().SetText(sql);
      query_.ExecSQL();
    };
  };
  ExpectKind<ELarkspireTransactionLostError>(exec("lost"), kErrTransactionLost, "lost");
  ExpectKind<ELarkspireUpdateConflictError>(exec("changed"), kErrUpdateConflict, "changed");
  ExpectKind<ELarkspireStatementError>(exec("no such table"), kErrDatabase, "statement");

  connection_.SetConnected(false);
  connection_.SetRemotePort(test::FreeLoopbackPort());
  ExpectKind<ELarkspireConnectionError>(exec("select 1"), kErrCouldNotConnect, "unreachable");
  // A component that reports without a code still tells the cause.
  TLarkspirePluginCall call;
  call.SetName("Call1");
  call.SetConnection(&connection_);
  ExpectKind<ELarkspireConnectionError>([&] { call.Execute("PluginSample"); }, kNoErrorCode,
                                        "plug-in call");

  TLarkspireQuery alone;
  alone.SQL().SetText("select 1");
  ExpectKind<ELarkspireException>([&] { alone.Open(); }, kErrMissingConnection, "no connection");
}

TEST_F(QueryTest, ExecSqlReturnsRowsAffectedAndNeverShowsTheWaitWindow) {
  TCommandPeer peer([](const TRemoteCommand&, TRemoteCommand& r) {
    r.Success = true;
    r.Value = 3;
  });
  connection_.SetRemotePort(peer.Port());
  int pumped = 0;
  auto* window = dynamic_cast<THeadlessWaitWindow*>(&connection_.WaitForm().Backend());
  ASSERT_NE(window, nullptr);
  window->SetMessageHook([&] { ++pumped; });
  query_.SetWaitMsg("Working...");
  query_.SQL().SetText("update products set ProUnit = :u where ProKind = :k");
  query_.Parameters()[0].Value = "box";
  query_.Parameters()[1].Value = "A";
  EXPECT_EQ(query_.ExecSQL(), 3);
  EXPECT_EQ(query_.RowsAffected(), 3);
  EXPECT_EQ(pumped, 0);
  ASSERT_EQ(peer.Count(), 1u);
  const test::TSeenCommand seen = peer.Seen()[0];
  EXPECT_EQ(seen.Code, cmdExecSQL);
  const test::TSeenDescription d = ReadDescription(seen.Data);
  EXPECT_EQ(d.Text, "update products set ProUnit = :u where ProKind = :k");
  ASSERT_EQ(d.Parameters.Count(), 2);
  EXPECT_EQ(d.Parameters[0].Value, TVariant("box"));
  EXPECT_EQ(d.Rest, "");
  EXPECT_FALSE(query_.Active());
}

TEST_F(QueryTest, OpenWithAWaitMessageRunsBehindTheWaitWindow) {
  TCommandPeer peer(
      [](const TRemoteCommand&, TRemoteCommand& r) { AnswerRows(r, ProductsXml(2)); });
  connection_.SetRemotePort(peer.Port());
  query_.SetWaitMsg("Loading products");
  query_.SQL().SetText("select * from products");
  query_.Open();
  EXPECT_TRUE(query_.Active());
  EXPECT_EQ(connection_.WaitForm().Layout().Caption, "Loading products");
}

TEST_F(QueryTest, OpenWithoutPagingSendsOptionZeroAndNoPagingRecord) {
  TCommandPeer peer(
      [](const TRemoteCommand&, TRemoteCommand& r) { AnswerRows(r, ProductsXml(1)); });
  connection_.SetRemotePort(peer.Port());
  query_.SQL().SetText("select * from products");
  query_.Open();
  const test::TSeenCommand seen = peer.Seen()[0];
  EXPECT_EQ(seen.Option, 0);
  EXPECT_EQ(ReadDescription(seen.Data).Rest, "");
}

// A query that pages: it sends a fixed paging record and remembers the count it is told.
class TPagedQuery : public TLarkspireQuery {
 public:
  int32_t told = -100;

 protected:
  void FillPagingRecord(int32_t record[4]) const override {
    record[0] = 0;
    record[1] = 0;
    record[2] = 20;
    record[3] = 2;
  }
  void UpdatePagingRecordCount(int32_t count) override { told = count; }
};

void WritePagingReply(TStream& params, int32_t total) {
  WriteInt32(params, total);
  WriteInt32(params, 0);
  WriteInt32(params, 0);
  WriteInt32(params, 0);
}

TEST(PagedOpen, SendsTheRecordAfterTheDescriptionAndReadsTheTotal) {
  TCommandPeer peer([](const TRemoteCommand&, TRemoteCommand& r) {
    AnswerRows(r, ProductsXml(20));
    WritePagingReply(r.Params, 45);
  });
  TLarkspireConnection connection;
  connection.SetRemotePort(peer.Port());
  TPagedQuery query;
  query.SetConnection(&connection);
  query.SQL().SetText("select * from products");
  query.SetPagingFetch(true);
  query.Open();
  EXPECT_EQ(query.told, 45);
  EXPECT_EQ(query.RecordCount(), 20);
  const test::TSeenCommand seen = peer.Seen()[0];
  EXPECT_EQ(seen.Option, 1);
  EXPECT_EQ(ReadDescription(seen.Data).Rest,
            std::string("\0\0\0\0\0\0\0\0\x14\0\0\0\x02\0\0\0", 16));
}

TEST(PagedOpen, StoredProcedureReadsItsParametersBeforeThePagingRecord) {
  TCommandPeer peer([](const TRemoteCommand&, TRemoteCommand& r) {
    AnswerRows(r, ProductsXml(2));
    TParameters out;
    out.CreateParameter("Total", ftInteger, pdOutput, 0, TVariant(int32_t{45}));
    out.CreateParameter("Note", ftString, pdOutput, 0, TVariant("ok"));
    WriteParameterList(out, r.Params);
    WritePagingReply(r.Params, 45);
  });
  TLarkspireConnection connection;
  connection.SetRemotePort(peer.Port());
  TPagedQuery query;
  query.SetConnection(&connection);
  query.SetCommandType(cmdStoredProc);
  query.SQL().SetText("ListProducts");
  query.Parameters().CreateParameter("Total", ftInteger, pdOutput, 0, TVariant());
  query.SetPagingFetch(true);
  query.Open();
  ASSERT_EQ(query.Parameters().Count(), 2);
  EXPECT_EQ(query.Parameters()[0].Value, TVariant(45));
  EXPECT_EQ(query.Parameters()[1].Name, "Note");
  EXPECT_EQ(query.told, 45);
  EXPECT_EQ(peer.Seen()[0].Data[11], cmdStoredProc);

  // Without paging the record after the parameters is not read.
  TPagedQuery again;
  again.SetConnection(&connection);
  again.SetCommandType(cmdStoredProc);
  again.SQL().SetText("ListProducts");
  again.Open();
  EXPECT_EQ(again.told, -100);
  EXPECT_EQ(again.Parameters().Count(), 2);
}

TEST(PagedOpen, TruncatedPagingRecordRaisesAndLeavesTheReplyReset) {
  TCommandPeer peer([](const TRemoteCommand&, TRemoteCommand& r) {
    AnswerRows(r, ProductsXml(2));
    WriteInt32(r.Params, 7);
    r.Params.SetSize(2);
  });
  TLarkspireConnection connection;
  connection.SetRemotePort(peer.Port());
  TPagedQuery query;
  query.SetConnection(&connection);
  query.SQL().SetText("select * from products");
  query.SetPagingFetch(true);
  EXPECT_THROW(query.Open(), ELarkspireMalformedDataError);
  EXPECT_EQ(connection.Reply().Data.Size(), 0);
}

}  // namespace
}  // namespace larkspire
