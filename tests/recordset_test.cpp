// The local recordset: navigation, editing as pending changes, accepting, discarding and
// withdrawing them, clones over the same rows, bookmarks, locating and the pending filter.
#include "dataset/recordset.h"

#include <gtest/gtest.h>

#include "platform/exception.h"

namespace larkspire {
namespace {

class TRecordsetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rs.CreateFields({TRecordsetField::Make("ID", TAdoDataType::adInteger),
                     TRecordsetField::Make("Name", TAdoDataType::adVarWChar, 40),
                     TRecordsetField::Make("Price", TAdoDataType::adCurrency)});
    for (int i = 1; i <= 4; ++i)
      rs.AppendRow(
          {TVariant(i), TVariant("item" + std::to_string(i)), TVariant::FromCurrency(i * 10000)});
    rs.MoveFirst();
  }

  int CurrentId() const { return rs.Value(0).AsInteger(); }

  std::vector<int> Ids(TRecordset& r) {
    std::vector<int> ids;
    for (r.MoveFirst(); !r.Eof(); r.MoveNext()) ids.push_back(r.Value(0).AsInteger());
    return ids;
  }

  TRecordset rs;
};

TEST_F(TRecordsetTest, NavigatesWithBofAndEofAtTheEdges) {
  EXPECT_FALSE(rs.Bof());
  EXPECT_EQ(rs.AbsolutePosition(), 1);
  rs.MovePrevious();
  EXPECT_TRUE(rs.Bof());
  EXPECT_EQ(rs.AbsolutePosition(), adPosBOF);
  EXPECT_THROW(rs.Value(0), EDatabaseError);
  rs.MoveNext();
  EXPECT_EQ(CurrentId(), 1);
  rs.MoveLast();
  EXPECT_EQ(CurrentId(), 4);
  EXPECT_EQ(rs.AbsolutePosition(), 4);
  rs.MoveNext();
  EXPECT_TRUE(rs.Eof());
  rs.MoveNext();  // stays after the last
  EXPECT_TRUE(rs.Eof());
  rs.MovePrevious();
  EXPECT_EQ(CurrentId(), 4);
  rs.SetAbsolutePosition(2);
  EXPECT_EQ(CurrentId(), 2);
  EXPECT_THROW(rs.SetAbsolutePosition(5), EDatabaseError);
  EXPECT_EQ(rs.RecordCount(), 4);
}

TEST_F(TRecordsetTest, EmptyRecordsetIsAtBofAndEof) {
  TRecordset empty;
  EXPECT_THROW(empty.MoveFirst(), EDatabaseError);
  empty.CreateFields({TRecordsetField::Make("ID", TAdoDataType::adInteger)});
  EXPECT_TRUE(empty.Bof());
  EXPECT_TRUE(empty.Eof());
  EXPECT_EQ(empty.RecordCount(), 0);
  EXPECT_THROW(empty.Delete(), EDatabaseError);
}

TEST_F(TRecordsetTest, EditBecomesAPendingChangeWithOriginalValues) {
  rs.SetValue("Name", TVariant("renamed"));
  EXPECT_EQ(rs.EditMode(), TEditMode::emInProgress);
  EXPECT_EQ(rs.Value("Name"), TVariant("renamed"));
  EXPECT_EQ(rs.Status(), TRowStatus::rsUnmodified);  // not yet committed
  rs.Update();
  EXPECT_EQ(rs.EditMode(), TEditMode::emNone);
  EXPECT_EQ(rs.Status(), TRowStatus::rsModified);
  EXPECT_EQ(rs.OriginalValue(1), TVariant("item1"));
  EXPECT_TRUE(rs.FieldModified(1));
  EXPECT_FALSE(rs.FieldModified(2));
  EXPECT_EQ(rs.PendingCount(), 1);
  // A second edit keeps the first original values and adds its columns.
  rs.SetValue("Price", TVariant(2.5));
  rs.Update();
  EXPECT_EQ(rs.OriginalValue(1), TVariant("item1"));
  EXPECT_EQ(rs.Value(2), TVariant::FromCurrency(25000));
  EXPECT_TRUE(rs.FieldModified(2));
}

TEST_F(TRecordsetTest, MovingCommitsTheEditInProgress) {
  rs.SetValue("Name", TVariant("moved away"));
  rs.MoveNext();
  rs.MoveFirst();
  EXPECT_EQ(rs.Value("Name"), TVariant("moved away"));
  EXPECT_EQ(rs.Status(), TRowStatus::rsModified);
}

TEST_F(TRecordsetTest, ValuesAreStoredInTheColumnsKind) {
  rs.SetValue("ID", TVariant("42"));
  EXPECT_EQ(rs.Value("ID"), TVariant(42));
  rs.SetValue("Price", TVariant("12.3456"));
  EXPECT_EQ(rs.Value("Price"), TVariant::FromCurrency(123456));
  EXPECT_THROW(rs.SetValue("ID", TVariant("not a number")), EDatabaseError);
  EXPECT_THROW(rs.SetValue("ID", TVariant(int64_t{1} << 40)), EDatabaseError);
  EXPECT_THROW(rs.SetValue("Missing", TVariant(1)), EDatabaseError);
  rs.SetValue("Name", TVariant());
  EXPECT_TRUE(rs.Value("Name").IsNull());
}

TEST_F(TRecordsetTest, AddNewAppendsANewRowUntilItIsCancelled) {
  rs.SetAbsolutePosition(2);
  rs.AddNew();
  EXPECT_EQ(rs.EditMode(), TEditMode::emAdd);
  EXPECT_EQ(rs.AbsolutePosition(), 5);
  EXPECT_TRUE(rs.Value("ID").IsNull());
  rs.SetValue("ID", TVariant(5));
  rs.CancelUpdate();
  EXPECT_EQ(rs.RecordCount(), 4);
  EXPECT_EQ(rs.PendingCount(), 0);

  rs.AddNew();
  rs.SetValue("ID", TVariant(5));
  rs.Update();
  EXPECT_EQ(rs.Status(), TRowStatus::rsNew);
  EXPECT_EQ(rs.RecordCount(), 5);
  EXPECT_EQ(CurrentId(), 5);
  // Editing a new row again keeps it new.
  rs.SetValue("Name", TVariant("fresh"));
  rs.Update();
  EXPECT_EQ(rs.Status(), TRowStatus::rsNew);
  EXPECT_EQ(rs.PendingCount(), 1);
}

TEST_F(TRecordsetTest, DeleteHidesTheRowAndStandsOnTheNext) {
  rs.SetAbsolutePosition(2);
  rs.Delete();
  EXPECT_EQ(CurrentId(), 3);
  EXPECT_EQ(rs.RecordCount(), 3);
  EXPECT_EQ(rs.PendingCount(), 1);
  rs.MoveLast();
  rs.Delete();
  EXPECT_EQ(CurrentId(), 3);  // the new last row
  EXPECT_EQ(Ids(rs), (std::vector<int>{1, 3}));
  rs.MoveFirst();
  rs.Delete();
  rs.Delete();
  EXPECT_TRUE(rs.Bof());
  EXPECT_TRUE(rs.Eof());
  EXPECT_EQ(rs.PendingCount(), 4);
}

TEST_F(TRecordsetTest, DeletingANewRowRemovesItAtOnce) {
  rs.AddNew();
  rs.SetValue("ID", TVariant(5));
  rs.Update();
  rs.Delete();
  EXPECT_EQ(rs.PendingCount(), 0);
  EXPECT_EQ(rs.Data().Rows.size(), 4u);
}

TEST_F(TRecordsetTest, DeletingAModifiedRowKeepsItsOriginalValues) {
  rs.SetValue("Name", TVariant("changed"));
  rs.Update();
  rs.Delete();
  const TRecordsetRow& row = *rs.Data().Rows[0];
  EXPECT_EQ(row.Status, TRowStatus::rsDeleted);
  EXPECT_EQ(row.Values[1], TVariant("item1"));
}

TEST_F(TRecordsetTest, AcceptChangesMakesEveryChangePartOfTheRows) {
  rs.SetValue("Name", TVariant("kept"));
  rs.Update();
  rs.MoveNext();
  rs.Delete();
  rs.AddNew();
  rs.SetValue("ID", TVariant(5));
  rs.Update();
  rs.AcceptChanges();
  EXPECT_EQ(rs.PendingCount(), 0);
  EXPECT_EQ(rs.Data().Rows.size(), 4u);
  EXPECT_EQ(Ids(rs), (std::vector<int>{1, 3, 4, 5}));
  rs.MoveFirst();
  EXPECT_EQ(rs.Value("Name"), TVariant("kept"));
  EXPECT_EQ(rs.Status(), TRowStatus::rsUnmodified);
  EXPECT_EQ(rs.OriginalValue(1), TVariant("kept"));
}

TEST_F(TRecordsetTest, CancelBatchRevertsEveryChange) {
  rs.SetValue("Name", TVariant("discarded"));
  rs.Update();
  rs.MoveNext();
  rs.Delete();
  rs.AddNew();
  rs.SetValue("ID", TVariant(5));
  rs.Update();
  rs.CancelBatch();
  EXPECT_EQ(rs.PendingCount(), 0);
  EXPECT_EQ(Ids(rs), (std::vector<int>{1, 2, 3, 4}));  // the deleted row back in its place
  rs.MoveFirst();
  EXPECT_EQ(rs.Value("Name"), TVariant("item1"));
}

TEST_F(TRecordsetTest, CancelBatchAfterDeletingEveryRowLeavesTheCursorAtBofAndEof) {
  for (int i = 0; i < 4; ++i) rs.Delete();
  rs.CancelBatch();
  EXPECT_EQ(rs.RecordCount(), 4);
  EXPECT_TRUE(rs.Bof());
  EXPECT_TRUE(rs.Eof());
  rs.MoveFirst();
  EXPECT_EQ(CurrentId(), 1);
}

TEST_F(TRecordsetTest, CancelUpdateWithdrawsOnlyTheCurrentRowsChange) {
  rs.SetValue("Name", TVariant("first"));
  rs.Update();
  rs.MoveNext();
  rs.SetValue("Name", TVariant("second"));
  rs.Update();
  rs.CancelUpdate();
  EXPECT_EQ(rs.Value("Name"), TVariant("item2"));
  EXPECT_EQ(rs.Status(), TRowStatus::rsUnmodified);
  EXPECT_EQ(rs.PendingCount(), 1);
  // A new row goes away; the cursor stands on the new last row.
  rs.AddNew();
  rs.SetValue("ID", TVariant(5));
  rs.Update();
  rs.CancelUpdate();
  EXPECT_EQ(rs.RecordCount(), 4);
  EXPECT_EQ(CurrentId(), 4);
  // An edit in progress is dropped without touching the committed change.
  rs.MoveFirst();
  rs.SetValue("Name", TVariant("third"));
  rs.CancelUpdate();
  EXPECT_EQ(rs.Value("Name"), TVariant("first"));
  EXPECT_EQ(rs.Status(), TRowStatus::rsModified);
}

TEST_F(TRecordsetTest, CloneSharesRowsAndPendingChangesWithItsOwnCursor) {
  rs.MoveLast();
  std::unique_ptr<TRecordset> clone = rs.Clone();
  EXPECT_EQ(clone->AbsolutePosition(), 1);
  EXPECT_EQ(rs.AbsolutePosition(), 4);
  clone->SetValue("Name", TVariant("from clone"));
  clone->Update();
  clone->MoveNext();
  clone->Delete();
  rs.MoveFirst();
  EXPECT_EQ(rs.Value("Name"), TVariant("from clone"));
  EXPECT_EQ(rs.Status(), TRowStatus::rsModified);
  EXPECT_EQ(rs.RecordCount(), 3);
  EXPECT_EQ(rs.PendingCount(), 2);
  rs.AcceptChanges();
  EXPECT_EQ(clone->PendingCount(), 0);
  EXPECT_EQ(Ids(*clone), (std::vector<int>{1, 3, 4}));
  EXPECT_EQ(clone->SaveToString(), rs.SaveToString());
  // The clone outlives the recordset it came from.
  rs.Close();
  EXPECT_EQ(clone->RecordCount(), 3);
}

TEST_F(TRecordsetTest, ClonesSeeRowsAppendedOneByOneAroundOtherChanges) {
  // Views taken before, amid and after a run of appends each end up with every row in order,
  // their cursors where they were; a change between appends is seen as well.
  std::unique_ptr<TRecordset> before = rs.Clone();
  before->MoveLast();
  std::unique_ptr<TRecordset> pending = rs.Clone();
  pending->SetFilter(TFilterGroup::fgPendingRecords);
  rs.AddNew();
  rs.SetValue("ID", TVariant(5));
  EXPECT_EQ(before->RecordCount(), 5);
  rs.AddNew();
  rs.SetValue("ID", TVariant(6));
  std::unique_ptr<TRecordset> amid = rs.Clone();
  amid->SetAbsolutePosition(2);
  rs.SetAbsolutePosition(2);
  rs.Delete();
  for (int id = 7; id <= 9; ++id) {
    rs.AddNew();
    rs.SetValue("ID", TVariant(id));
    if (id == 8) EXPECT_EQ(pending->RecordCount(), 5);
  }
  rs.Update();
  EXPECT_EQ(before->Value(0).AsInteger(), 4);
  EXPECT_EQ(before->AbsolutePosition(), 3);
  before->MoveNext();
  EXPECT_EQ(before->Value(0).AsInteger(), 5);
  EXPECT_EQ(amid->Value(0).AsInteger(), 3);  // its row was deleted: it stands on the next
  EXPECT_EQ(Ids(*amid), (std::vector<int>{1, 3, 4, 5, 6, 7, 8, 9}));
  EXPECT_EQ(Ids(*pending), (std::vector<int>{2, 5, 6, 7, 8, 9}));
  rs.CancelBatch();
  EXPECT_EQ(Ids(*before), (std::vector<int>{1, 2, 3, 4}));
}

TEST_F(TRecordsetTest, CloneWhoseRowWasRemovedStandsOnTheNextRow) {
  rs.SetAbsolutePosition(3);
  std::unique_ptr<TRecordset> clone = rs.Clone();
  clone->SetAbsolutePosition(3);
  clone->Delete();
  EXPECT_EQ(CurrentId(), 4);
}

TEST_F(TRecordsetTest, EditOfARowRemovedThroughACloneFailsCleanly) {
  rs.SetAbsolutePosition(2);
  rs.SetValue("Name", TVariant("editing"));
  std::unique_ptr<TRecordset> clone = rs.Clone();
  clone->SetAbsolutePosition(2);
  clone->Delete();
  clone->AcceptChanges();
  EXPECT_THROW(rs.Update(), EDatabaseError);
  EXPECT_EQ(rs.EditMode(), TEditMode::emNone);
  EXPECT_EQ(Ids(rs), (std::vector<int>{1, 3, 4}));
}

TEST_F(TRecordsetTest, BookmarksStayWithTheirRows) {
  rs.SetAbsolutePosition(3);
  const TBookmark third = rs.Bookmark();
  rs.MoveFirst();
  rs.Delete();
  rs.SetBookmark(third);
  EXPECT_EQ(CurrentId(), 3);
  EXPECT_EQ(rs.AbsolutePosition(), 2);
  rs.Delete();
  EXPECT_FALSE(rs.BookmarkValid(third));
  EXPECT_THROW(rs.SetBookmark(third), EDatabaseError);
  rs.CancelBatch();
  EXPECT_TRUE(rs.BookmarkValid(third));
  std::unique_ptr<TRecordset> clone = rs.Clone();
  clone->SetBookmark(third);
  EXPECT_EQ(clone->Value(0), TVariant(3));
}

TEST_F(TRecordsetTest, LocateComparesWholeValuesUnlessAskedOtherwise) {
  EXPECT_TRUE(rs.Locate({"Name"}, {TVariant("item3")}));
  EXPECT_EQ(CurrentId(), 3);
  EXPECT_FALSE(rs.Locate({"Name"}, {TVariant("ITEM2")}));
  EXPECT_EQ(CurrentId(), 3);  // unmoved
  EXPECT_FALSE(rs.Locate({"Name"}, {TVariant("item")}));
  EXPECT_TRUE(rs.Locate({"Name"}, {TVariant("ITEM2")}, loCaseInsensitive));
  EXPECT_EQ(CurrentId(), 2);
  EXPECT_TRUE(rs.Locate({"Name"}, {TVariant("ite")}, loPartialKey));
  EXPECT_EQ(CurrentId(), 1);
  EXPECT_TRUE(rs.Locate({"ID", "Price"}, {TVariant("4"), TVariant(4.0)}));
  EXPECT_EQ(CurrentId(), 4);
  EXPECT_FALSE(rs.Locate({"ID"}, {TVariant("four")}));
  EXPECT_THROW(rs.Locate({"Nope"}, {TVariant(1)}), EDatabaseError);
  rs.MoveFirst();
  rs.SetValue("Name", TVariant());
  rs.Update();
  EXPECT_TRUE(rs.Locate({"Name"}, {TVariant::Null()}));
  EXPECT_EQ(CurrentId(), 1);
  rs.SetAbsolutePosition(2);
  rs.Delete();
  EXPECT_FALSE(rs.Find({"ID"}, {TVariant(2)}).has_value());  // deleted rows are not found
}

TEST_F(TRecordsetTest, PendingFilterShowsOnlyChangedRowsDeletedIncluded) {
  rs.SetValue("Name", TVariant("changed"));
  rs.Update();
  rs.MoveNext();
  rs.Delete();
  rs.AddNew();
  rs.SetValue("ID", TVariant(5));
  rs.Update();
  rs.SetFilter(TFilterGroup::fgPendingRecords);
  EXPECT_EQ(rs.RecordCount(), 3);
  EXPECT_EQ(rs.AbsolutePosition(), 1);
  EXPECT_EQ(Ids(rs), (std::vector<int>{1, 2, 5}));
  rs.SetAbsolutePosition(2);
  EXPECT_EQ(rs.Status(), TRowStatus::rsDeleted);
  EXPECT_THROW(rs.SetValue("Name", TVariant("x")), EDatabaseError);
  rs.CancelUpdate();  // the deletion withdrawn: the row leaves the filtered view
  EXPECT_EQ(rs.RecordCount(), 2);
  rs.SetFilter(TFilterGroup::fgNone);
  EXPECT_EQ(rs.RecordCount(), 5);
}

TEST_F(TRecordsetTest, ReadOnlyRecordsetRefusesChanges) {
  std::unique_ptr<TRecordset> reader = rs.Clone(ltReadOnly);
  EXPECT_EQ(reader->LockType(), ltReadOnly);
  EXPECT_THROW(reader->SetValue("Name", TVariant("x")), EDatabaseError);
  EXPECT_THROW(reader->AddNew(), EDatabaseError);
  EXPECT_THROW(reader->Delete(), EDatabaseError);
  EXPECT_EQ(reader->Value("Name"), TVariant("item1"));
}

TEST_F(TRecordsetTest, FieldsAreFoundByNameIgnoringCase) {
  EXPECT_EQ(rs.FieldCount(), 3);
  EXPECT_EQ(rs.FieldIndex("price"), 2);
  EXPECT_EQ(rs.FieldIndex("nope"), -1);
  EXPECT_EQ(rs.Field(0).Number, 1);
  EXPECT_EQ(rs.Field(0).Property("KEYCOLUMN"), TVariant(false));
  EXPECT_THROW(rs.Field(3), EDatabaseError);
  TRecordset dup;
  EXPECT_THROW(dup.CreateFields({TRecordsetField::Make("A", TAdoDataType::adInteger),
                                 TRecordsetField::Make("a", TAdoDataType::adInteger)}),
               EDatabaseError);
}

TEST_F(TRecordsetTest, OpenFromStreamReadsFromItsPosition) {
  const std::string text = rs.SaveToString();
  TMemoryStream stream;
  stream.WriteBuffer("junk", 4);
  stream.WriteBuffer(text.data(), static_cast<int64_t>(text.size()));
  stream.SetPosition(4);
  TRecordset back;
  back.Open(stream, ctKeyset, ltBatchOptimistic, 1);
  EXPECT_EQ(back.RecordCount(), 4);
  EXPECT_EQ(back.CursorType(), ctKeyset);
  EXPECT_EQ(back.Options(), 1);
  TMemoryStream saved;
  back.Save(saved);
  EXPECT_EQ(saved.Bytes(), text);
}

}  // namespace
}  // namespace larkspire
