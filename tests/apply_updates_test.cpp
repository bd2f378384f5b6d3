// Posting and deleting through command 301 against scripted peers: what the delta holds, how
// the server's rows are merged after an insert, the undo paths of a refused post, delete and
// insert, the modes that keep changes local, ApplyUpdates for batch mode, and a busy
// connection.
#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "components/query.h"
#include "components/update_sql.h"
#include "platform/wait_window.h"
#include "support/command_peer.h"
#include "support/dataset_fixtures.h"

namespace larkspire {
namespace {

using test::AnswerRows;
using test::ProductsXml;
using test::TCommandPeer;
using test::TSeenCommand;
using testing::MakeProducts;

// The names of the children of rs:data, and the number of z:row inside each.
struct TDeltaShape {
  std::vector<std::string> Blocks;
  std::vector<int> Rows;
};

TDeltaShape ShapeOf(const std::string& document) {
  TDeltaShape shape;
  pugi::xml_document doc;
  EXPECT_TRUE(doc.load_string(document.c_str())) << document;
  for (pugi::xml_node n = doc.document_element().child("rs:data").first_child(); n;
       n = n.next_sibling()) {
    shape.Blocks.push_back(n.name());
    int rows = 0;
    for (pugi::xml_node r = n.child("z:row"); r; r = r.next_sibling("z:row")) ++rows;
    shape.Rows.push_back(rows);
  }
  return shape;
}

// The rows the server returns after an insert, as the server does: the updated rows of the
// delta, then each inserted row with the next ProId from first_id on.
std::string InsertedRowsWithIds(const std::string& delta, int first_id) {
  TRecordset pending;
  pending.OpenFromString(delta);
  std::unique_ptr<TRecordset> reply = MakeProducts(0);
  for (const TRecordsetRow* row : pending.ViewRows())
    if (row->Status == TRowStatus::rsModified) reply->AppendRow(row->Values);
  int id = first_id;
  for (const TRecordsetRow* row : pending.ViewRows()) {
    if (row->Status != TRowStatus::rsNew) continue;
    std::vector<TVariant> values = row->Values;
    values[0] = TVariant(id++);
    reply->AppendRow(std::move(values));
  }
  return reply->SaveToString();
}

// Serves command 300 with three products; command 301 goes to on_apply (success by default).
class ApplyTest : public ::testing::Test {
 protected:
  using TApply = std::function<void(const TRemoteCommand& request, TRemoteCommand& reply)>;

  ApplyTest()
      : peer_([this](const TRemoteCommand& request, TRemoteCommand& reply) {
          if (request.Code == cmdOpenQuery) {
            // Hold the reply while a test runs something behind the wait window.
            for (int i = 0; i < 500 && hold_open_ && !*hold_open_; ++i)
              std::this_thread::sleep_for(std::chrono::milliseconds(10));
            AnswerRows(reply, ProductsXml(rows_));
          } else if (request.Code == cmdApplyUpdates) {
            reply.Success = true;
            if (on_apply_) on_apply_(request, reply);
          }
        }) {
    connection_.SetName("Conn");
    connection_.SetRemotePort(peer_.Port());
    query_.SetName("Q1");
    query_.SetConnection(&connection_);
    query_.SQL().SetText("select * from products");
  }

  void OnApply(TApply apply) { on_apply_ = std::move(apply); }
  void Refuse(int32_t code, const std::string& message) {
    OnApply([code, message](const TRemoteCommand&, TRemoteCommand& r) {
      r.Success = false;
      r.Value = code;
      r.Message = message;
    });
  }
  // The commands 301 the peer saw.
  std::vector<TSeenCommand> Applies() const {
    std::vector<TSeenCommand> applies;
    for (const TSeenCommand& seen : peer_.Seen())
      if (seen.Code == cmdApplyUpdates) applies.push_back(seen);
    return applies;
  }
  std::string Name() const { return query_.FieldByName("ProName").AsString(); }
  int64_t Pending() const { return query_.Recordset()->PendingCount(); }

  TApply on_apply_;
  std::atomic<int> rows_{3};  // the products command 300 answers with
  std::atomic<bool>* hold_open_ = nullptr;
  TCommandPeer peer_;
  TLarkspireConnection connection_;
  TLarkspireQuery query_;
};

TEST_F(ApplyTest, PostedEditSendsOneUpdateAndStaysOnTheRow) {
  query_.Open();
  query_.SetRecNo(2);
  query_.Edit();
  query_.FieldByName("ProName").SetAsString("Renamed");
  query_.Post();
  const std::vector<TSeenCommand> applies = Applies();
  ASSERT_EQ(applies.size(), 1u);
  EXPECT_EQ(applies[0].Value, 2);
  const TDeltaShape shape = ShapeOf(applies[0].Data);
  EXPECT_EQ(shape.Blocks, std::vector<std::string>{"rs:update"});
  EXPECT_EQ(query_.State(), dsBrowse);
  EXPECT_EQ(query_.RecNo(), 2);
  EXPECT_EQ(query_.RecordCount(), 3);
  EXPECT_EQ(Name(), "Renamed");
  EXPECT_EQ(Pending(), 0);
  EXPECT_EQ(query_.RecordStatus(), TRowStatus::rsUnmodified);
}

TEST_F(ApplyTest, PostedInsertShowsTheServersRowAndStandsOnTheLastRow) {
  OnApply([](const TRemoteCommand& request, TRemoteCommand& reply) {
    AnswerRows(reply, InsertedRowsWithIds(request.Data.Bytes(), 100));
  });
  query_.Open();
  std::vector<std::string> events;
  query_.AfterPost = [&](TDataSet&) { events.push_back("AfterPost"); };
  query_.AfterOpen = [&](TDataSet&) { events.push_back("AfterOpen"); };
  query_.SetRecNo(1);
  query_.Append();
  query_.FieldByName("ProCode").SetAsString("C100");
  query_.FieldByName("ProName").SetAsString("Inserted");
  query_.Post();
  const std::vector<TSeenCommand> applies = Applies();
  ASSERT_EQ(applies.size(), 1u);
  const TDeltaShape shape = ShapeOf(applies[0].Data);
  EXPECT_EQ(shape.Blocks, std::vector<std::string>{"rs:insert"});
  EXPECT_EQ(shape.Rows, std::vector<int>{1});
  // The post ends, then the dataset reopens on the merged rows.
  EXPECT_EQ(events, (std::vector<std::string>{"AfterPost", "AfterOpen"}));
  EXPECT_EQ(query_.RecordCount(), 4);
  EXPECT_EQ(query_.RecNo(), 4);
  EXPECT_TRUE(query_.Eof());
  EXPECT_EQ(query_.FieldByName("ProId").AsInteger(), 100);
  EXPECT_EQ(Name(), "Inserted");
  EXPECT_EQ(Pending(), 0);
  EXPECT_EQ(query_.Recordset()->LockType(), ltBatchOptimistic);
  EXPECT_FALSE(query_.DeltaDataSet()->Active());
  // The rows stay editable and a further edit goes out as an update of the server's row.
  OnApply(nullptr);
  query_.Edit();
  query_.FieldByName("ProName").SetAsString("Inserted again");
  query_.Post();
  ASSERT_EQ(Applies().size(), 2u);
  EXPECT_NE(Applies()[1].Data.find("ProId=\"100\""), std::string::npos) << Applies()[1].Data;
}

TEST_F(ApplyTest, DeleteSendsOneDeleteAndFiresAfterDelete) {
  query_.Open();
  int after_delete = 0;
  query_.AfterDelete = [&](TDataSet&) { ++after_delete; };
  query_.SetRecNo(2);
  query_.Delete();
  const std::vector<TSeenCommand> applies = Applies();
  ASSERT_EQ(applies.size(), 1u);
  EXPECT_EQ(ShapeOf(applies[0].Data).Blocks, std::vector<std::string>{"rs:delete"});
  EXPECT_EQ(after_delete, 1);
  EXPECT_EQ(query_.RecordCount(), 2);
  EXPECT_EQ(Name(), "Name 3");
  EXPECT_EQ(Pending(), 0);
  EXPECT_EQ(query_.DeletedBookmark().empty(), false);
}

TEST_F(ApplyTest, PostWithNothingChangedSendsNothing) {
  query_.Open();
  query_.Edit();
  query_.Post();
  EXPECT_TRUE(Applies().empty());
  EXPECT_EQ(query_.State(), dsBrowse);
}

TEST_F(ApplyTest, RefusedPostWithdrawsTheChangeAndKeepsTheUsersValues) {
  Refuse(20011, "the row was changed by another client");
  query_.Open();
  query_.SetRecNo(2);
  query_.Edit();
  query_.FieldByName("ProName").SetAsString("Mine");
  try {
    query_.Post();
    FAIL() << "no exception";
  } catch (const ELarkspireException& e) {
    EXPECT_EQ(e.ErrorCode(), 20011);
    EXPECT_STREQ(e.what(), "Q1:the row was changed by another client");
  }
  EXPECT_EQ(query_.State(), dsEdit);
  EXPECT_EQ(Name(), "Mine");
  EXPECT_EQ(Pending(), 0);
  EXPECT_EQ(query_.Recordset()->Value("ProName"), TVariant("Name 2"));
  EXPECT_EQ(connection_.Reply().Message, "");  // reset before raising
  query_.Cancel();
  EXPECT_EQ(query_.RecNo(), 2);
  EXPECT_EQ(Name(), "Name 2");
  // A corrected post goes through.
  OnApply(nullptr);
  query_.Edit();
  query_.FieldByName("ProName").SetAsString("Mine");
  query_.Post();
  EXPECT_EQ(Name(), "Mine");
  EXPECT_EQ(Pending(), 0);
}

TEST_F(ApplyTest, RefusedInsertStaysInInsertStateAndCancelLeavesNoRow) {
  Refuse(19, "NOT NULL constraint failed: products.ProCode");
  query_.Open();
  query_.Append();
  query_.FieldByName("ProName").SetAsString("No code");
  EXPECT_THROW(query_.Post(), ELarkspireException);
  EXPECT_EQ(query_.State(), dsInsert);
  EXPECT_EQ(Name(), "No code");
  EXPECT_EQ(query_.Recordset()->RecordCount(), 3);
  EXPECT_EQ(Pending(), 0);
  query_.Cancel();
  EXPECT_EQ(query_.State(), dsBrowse);
  EXPECT_EQ(query_.RecordCount(), 3);
  EXPECT_EQ(Pending(), 0);
  EXPECT_EQ(Applies().size(), 1u);
}

TEST_F(ApplyTest, RefusedDeleteBringsTheRowBackAndStandsOnIt) {
  Refuse(20011, "no such row");
  query_.Open();
  int after_delete = 0;
  query_.AfterDelete = [&](TDataSet&) { ++after_delete; };
  query_.SetRecNo(2);
  try {
    query_.Delete();
    FAIL() << "no exception";
  } catch (const ELarkspireException& e) {
    EXPECT_EQ(e.ErrorCode(), 20011);
  }
  EXPECT_EQ(after_delete, 0);
  EXPECT_EQ(query_.RecordCount(), 3);
  EXPECT_EQ(query_.RecNo(), 2);
  EXPECT_EQ(Name(), "Name 2");
  EXPECT_EQ(Pending(), 0);
}

TEST_F(ApplyTest, BrokenTransferOnDeleteIsRaisedAsCouldNotConnectAndUndone) {
  OnApply([](const TRemoteCommand&, TRemoteCommand&) {});
  query_.Open();
  // The next command finds nobody listening.
  connection_.SetRemotePort(test::FreeLoopbackPort());
  connection_.SetConnected(false);
  query_.SetRecNo(3);
  try {
    query_.Delete();
    FAIL() << "no exception";
  } catch (const ELarkspireException& e) {
    EXPECT_EQ(e.ErrorCode(), 10002);
    EXPECT_NE(std::string(e.what()).find("Could not connect to LarkspireServer"),
              std::string::npos);
  }
  EXPECT_EQ(query_.RecordCount(), 3);
  EXPECT_EQ(query_.RecNo(), 3);
}

TEST_F(ApplyTest, WithoutAConnectionPostRaisesBeforeWritingAndDeleteIsUndone) {
  query_.Open();
  query_.SetConnection(nullptr);
  query_.Edit();
  query_.FieldByName("ProName").SetAsString("Lost?");
  try {
    query_.Post();
    FAIL() << "no exception";
  } catch (const ELarkspireException& e) {
    EXPECT_EQ(e.ErrorCode(), 10001);
    EXPECT_STREQ(e.what(), "Q1:Missing Connection..");
  }
  EXPECT_EQ(query_.State(), dsEdit);
  EXPECT_EQ(query_.Recordset()->Value("ProName"), TVariant("Name 1"));
  query_.Cancel();
  EXPECT_THROW(query_.Delete(), ELarkspireException);
  EXPECT_EQ(query_.RecordCount(), 3);
  EXPECT_EQ(Name(), "Name 1");
  EXPECT_EQ(Pending(), 0);
}

TEST_F(ApplyTest, FailedReplyWithoutMessageRaisesNothingAndKeepsTheChangePending) {
  int calls = 0;
  OnApply([&](const TRemoteCommand&, TRemoteCommand& r) {
    if (++calls == 1) r.Success = false;  // refused without a text
  });
  query_.Open();
  query_.Edit();
  query_.FieldByName("ProName").SetAsString("First");
  query_.Post();
  EXPECT_EQ(query_.State(), dsBrowse);
  EXPECT_EQ(Name(), "First");
  EXPECT_EQ(Pending(), 1);  // not taken by the server: it goes with the next change
  query_.Next();
  query_.Edit();
  query_.FieldByName("ProName").SetAsString("Second");
  query_.Post();
  const std::vector<TSeenCommand> applies = Applies();
  ASSERT_EQ(applies.size(), 2u);
  EXPECT_EQ(ShapeOf(applies[1].Data).Blocks, (std::vector<std::string>{"rs:update", "rs:update"}));
  EXPECT_EQ(Pending(), 0);
}

TEST_F(ApplyTest, ReturnedRowsThatCannotBeMergedAreRaisedAfterTheCommittedPost) {
  // The server commits the insert (its row 4) but answers with rows that cannot be merged.
  OnApply([this](const TRemoteCommand&, TRemoteCommand& r) {
    rows_ = 4;
    r.SetDataText("not a rowset");
  });
  query_.Open();
  int after_post = 0;
  query_.AfterPost = [&](TDataSet&) { ++after_post; };
  query_.Append();
  query_.FieldByName("ProName").SetAsString("Local copy");
  try {
    query_.Post();
    FAIL() << "the merge failure was swallowed";
  } catch (const ELarkspireMergeError& e) {
    EXPECT_EQ(e.ErrorCode(), kErrMergeFailed);
    EXPECT_NE(std::string(e.what()).find("Q1:The server applied the changes"), std::string::npos)
        << e.what();
  }
  // The post completed and nothing is left to send again.
  EXPECT_EQ(after_post, 1);
  EXPECT_EQ(query_.State(), dsBrowse);
  EXPECT_EQ(query_.RecordCount(), 4);
  EXPECT_EQ(Name(), "Local copy");
  EXPECT_EQ(Pending(), 0);
  EXPECT_FALSE(query_.DeltaDataSet()->Active());
  OnApply(nullptr);
  query_.ApplyUpdates();
  EXPECT_EQ(Applies().size(), 1u);
  // A refresh shows the row as the server holds it.
  query_.Refresh();
  EXPECT_EQ(query_.RecordCount(), 4);
  query_.Last();
  EXPECT_EQ(query_.FieldByName("ProId").AsInteger(), 4);
  EXPECT_EQ(Name(), "Name 4");

  // Through ApplyUpdates in batch mode the same holds.
  query_.SetLockType(ltBatchOptimistic);
  OnApply([](const TRemoteCommand&, TRemoteCommand& r) { r.SetDataText("<xml/>"); });
  query_.Append();
  query_.FieldByName("ProName").SetAsString("Batch copy");
  query_.Post();
  EXPECT_THROW(query_.ApplyUpdates(), ELarkspireMergeError);
  EXPECT_EQ(Pending(), 0);
  EXPECT_EQ(Applies().size(), 2u);
}

TEST_F(ApplyTest, BatchModeKeepsChangesLocalUntilApplyUpdates) {
  query_.SetLockType(ltBatchOptimistic);
  OnApply([](const TRemoteCommand& request, TRemoteCommand& reply) {
    AnswerRows(reply, InsertedRowsWithIds(request.Data.Bytes(), 50));
  });
  query_.Open();
  EXPECT_FALSE(query_.SendsOwnChanges());
  query_.Edit();
  query_.FieldByName("ProName").SetAsString("Edited");
  query_.Post();
  query_.SetRecNo(3);
  query_.Delete();
  query_.Append();
  query_.FieldByName("ProName").SetAsString("Added");
  query_.Post();
  EXPECT_TRUE(Applies().empty());
  EXPECT_EQ(Pending(), 3);
  query_.ApplyUpdates();
  const std::vector<TSeenCommand> applies = Applies();
  ASSERT_EQ(applies.size(), 1u);
  EXPECT_EQ(ShapeOf(applies[0].Data).Blocks,
            (std::vector<std::string>{"rs:delete", "rs:insert", "rs:update"}));
  EXPECT_EQ(Pending(), 0);
  EXPECT_EQ(query_.RecordCount(), 3);
  EXPECT_EQ(query_.FieldByName("ProId").AsInteger(), 50);  // on the last row
  // Nothing pending: nothing is sent.
  query_.ApplyUpdates();
  EXPECT_EQ(Applies().size(), 1u);
}

TEST_F(ApplyTest, RefusedApplyUpdatesKeepsEveryChangePendingUntilUndone) {
  query_.SetLockType(ltBatchOptimistic);
  Refuse(20011, "conflict");
  query_.Open();
  query_.Edit();
  query_.FieldByName("ProName").SetAsString("Edited");
  query_.Post();
  query_.SetRecNo(2);
  query_.Delete();
  EXPECT_THROW(query_.ApplyUpdates(), ELarkspireException);
  EXPECT_EQ(Pending(), 2);
  query_.UndoPendingChanges();
  EXPECT_EQ(Pending(), 0);
  EXPECT_EQ(query_.RecordCount(), 3);
  query_.First();
  EXPECT_EQ(Name(), "Name 1");
}

TEST_F(ApplyTest, UpdateObjectKeepsChangesLocalAndCancelledInsertsUntouched) {
  TLarkspireUpdateSQL update;
  update.ModifySQL().SetText("update products set ProName = :ProName where ProId = :OLD_ProId");
  query_.SetUpdateObject(&update);
  query_.Open();
  EXPECT_FALSE(query_.SendsOwnChanges());
  query_.Edit();
  query_.FieldByName("ProName").SetAsString("Edited");
  query_.Post();
  query_.Append();
  query_.FieldByName("ProName").SetAsString("Given up");
  query_.Cancel();
  query_.Last();
  query_.Delete();
  EXPECT_TRUE(Applies().empty());
  EXPECT_EQ(Pending(), 2);
  EXPECT_EQ(query_.RecordCount(), 2);
  query_.ApplyUpdates();
  ASSERT_EQ(Applies().size(), 1u);
  // The statements of the update object are never sent.
  EXPECT_EQ(Applies()[0].Data.find("OLD_ProId"), std::string::npos);
  EXPECT_EQ(Pending(), 0);
}

TEST_F(ApplyTest, PostFromInsideAWaitWindowFindsTheConnectionBusyAndSendsLater) {
  // The open runs behind the wait window; while it waits, a second dataset posts an edit.
  std::atomic<bool> nested_done{false};
  TLarkspireQuery other;
  other.SetName("Other");
  other.SetConnection(&connection_);
  other.SQL().SetText("select * from products");
  other.Open();
  auto* window = dynamic_cast<THeadlessWaitWindow*>(&connection_.WaitForm().Backend());
  ASSERT_NE(window, nullptr);
  bool tried = false;
  window->SetMessageHook([&] {
    if (tried) return;
    tried = true;
    other.Edit();
    other.FieldByName("ProName").SetAsString("While busy");
    other.Post();
    nested_done = true;
  });
  OnApply([&](const TRemoteCommand&, TRemoteCommand&) {});
  query_.SetWaitMsg("Loading...");
  hold_open_ = &nested_done;
  query_.Open();
  hold_open_ = nullptr;
  EXPECT_TRUE(tried);
  EXPECT_TRUE(Applies().empty());
  EXPECT_EQ(other.State(), dsBrowse);
  EXPECT_EQ(other.FieldByName("ProName").AsString(), "While busy");
  EXPECT_EQ(other.Recordset()->PendingCount(), 1);
  // Once the connection is free the change goes out.
  window->SetMessageHook(nullptr);
  other.ApplyUpdates();
  ASSERT_EQ(Applies().size(), 1u);
  EXPECT_EQ(other.Recordset()->PendingCount(), 0);
}

// A second query whose insert is posted while the connection is busy, so it stays pending.
class PendingInsertTest : public ApplyTest {
 protected:
  void SetUp() override {
    other_.SetName("Other");
    other_.SetConnection(&connection_);
    other_.SQL().SetText("select * from products");
    other_.Open();
    auto* window = dynamic_cast<THeadlessWaitWindow*>(&connection_.WaitForm().Backend());
    ASSERT_NE(window, nullptr);
    std::atomic<bool> nested_done{false};
    window->SetMessageHook([&] {
      if (nested_done) return;
      other_.Append();
      other_.FieldByName("ProCode").SetAsString("0999");
      other_.FieldByName("ProName").SetAsString("Left pending");
      other_.Post();
      nested_done = true;
    });
    query_.SetWaitMsg("Loading...");
    hold_open_ = &nested_done;
    query_.Open();
    hold_open_ = nullptr;
    window->SetMessageHook(nullptr);
    ASSERT_TRUE(nested_done);
    ASSERT_EQ(other_.Recordset()->PendingCount(), 1);
    ASSERT_EQ(other_.RecordCount(), 4);
  }
  std::string OtherName() const { return other_.FieldByName("ProName").AsString(); }

  TLarkspireQuery other_;
};

TEST_F(PendingInsertTest, DeleteCarryingThePendingInsertTakesTheServersRows) {
  OnApply([](const TRemoteCommand& request, TRemoteCommand& reply) {
    AnswerRows(reply, InsertedRowsWithIds(request.Data.Bytes(), 100));
  });
  other_.SetRecNo(2);
  other_.Delete();
  ASSERT_EQ(Applies().size(), 1u);
  EXPECT_EQ(ShapeOf(Applies()[0].Data).Blocks,
            (std::vector<std::string>{"rs:delete", "rs:insert"}));
  EXPECT_EQ(other_.Recordset()->PendingCount(), 0);
  EXPECT_EQ(other_.RecordCount(), 3);
  EXPECT_EQ(other_.RecNo(), 2);
  EXPECT_EQ(OtherName(), "Name 3");
  other_.Last();
  EXPECT_EQ(OtherName(), "Left pending");
  EXPECT_EQ(other_.FieldByName("ProId").AsInteger(), 100);
}

TEST_F(PendingInsertTest, RefusedDeleteUndoesOnlyItsOwnChange) {
  Refuse(20011, "no such row");
  other_.SetRecNo(2);
  EXPECT_THROW(other_.Delete(), ELarkspireException);
  EXPECT_EQ(other_.RecNo(), 2);
  EXPECT_EQ(OtherName(), "Name 2");
  EXPECT_EQ(other_.RecordCount(), 4);
  EXPECT_EQ(other_.Recordset()->PendingCount(), 1);
  other_.Last();
  EXPECT_EQ(OtherName(), "Left pending");
  EXPECT_EQ(other_.RecordStatus(), TRowStatus::rsNew);
}

}  // namespace
}  // namespace larkspire
