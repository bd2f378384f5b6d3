// States, cursor flags, events and editing of the dataset framework, through a dataset over a
// local recordset.
#include "dataset/dataset.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/exception.h"
#include "support/dataset_fixtures.h"

namespace larkspire {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::MakeProducts;
using testing::TRecordingDataSet;

TEST(TDataSet, OpenStandsOnFirstRowAtBofAndFiresOpenEventsThenScroll) {
  TRecordingDataSet ds;
  ds.OpenProducts(3);
  EXPECT_EQ(ds.State(), dsBrowse);
  EXPECT_TRUE(ds.Bof());
  EXPECT_FALSE(ds.Eof());
  EXPECT_EQ(ds.RecNo(), 1);
  EXPECT_EQ(ds.RecordCount(), 3);
  EXPECT_EQ(ds.FieldByName("ProName").AsString(), "Name 1");
  EXPECT_THAT(ds.Events, ElementsAre("BeforeOpen", "AfterOpen", "AfterScroll"));
}

TEST(TDataSet, EmptyDatasetIsAtBofAndEofAtOnceAndDoesNotScrollOnOpen) {
  TRecordingDataSet ds;
  ds.OpenProducts(0);
  EXPECT_TRUE(ds.Bof());
  EXPECT_TRUE(ds.Eof());
  EXPECT_TRUE(ds.IsEmpty());
  EXPECT_EQ(ds.RecNo(), 0);
  EXPECT_EQ(ds.RecordCount(), 0);
  EXPECT_TRUE(ds.FieldByName("ProName").IsNull());
  EXPECT_THAT(ds.Events, ElementsAre("BeforeOpen", "AfterOpen"));
  ds.Next();
  ds.Prior();
  EXPECT_TRUE(ds.Bof());
  EXPECT_TRUE(ds.Eof());
}

TEST(TDataSet, PriorThatMovesClearsBofUntilOneMorePrior) {
  TRecordingDataSet ds;
  ds.OpenProducts(3);
  ds.Next();
  EXPECT_FALSE(ds.Bof());
  ds.Prior();
  EXPECT_EQ(ds.RecNo(), 1);
  EXPECT_FALSE(ds.Bof()) << "back on row 1 by a Prior that moved";
  ds.Events.clear();
  ds.Prior();
  EXPECT_TRUE(ds.Bof());
  EXPECT_EQ(ds.RecNo(), 1);
  // The Prior that found no row still scrolls, so handlers see the flag change.
  EXPECT_THAT(ds.Events, ElementsAre("BeforeScroll", "AfterScroll"));
  ds.Events.clear();
  ds.Prior();
  EXPECT_THAT(ds.Events, ElementsAre("BeforeScroll"));
}

TEST(TDataSet, NextThatCannotMoveSetsEofAndLastFirstSetTheirFlags) {
  TRecordingDataSet ds;
  ds.OpenProducts(2);
  ds.Next();
  EXPECT_FALSE(ds.Eof()) << "on the last row, but no Next has failed yet";
  ds.Next();
  EXPECT_TRUE(ds.Eof());
  EXPECT_EQ(ds.RecNo(), 2);
  ds.First();
  EXPECT_TRUE(ds.Bof());
  EXPECT_FALSE(ds.Eof());
  ds.Last();
  EXPECT_TRUE(ds.Eof());
  EXPECT_FALSE(ds.Bof());
  EXPECT_EQ(ds.FieldByName("ProCode").AsString(), "C02");
}

TEST(TDataSet, MoveByStopsAtEitherEndAndReportsTheRowsMoved) {
  TRecordingDataSet ds;
  ds.OpenProducts(5);
  EXPECT_EQ(ds.MoveBy(3), 3);
  EXPECT_EQ(ds.RecNo(), 4);
  EXPECT_EQ(ds.MoveBy(10), 1);
  EXPECT_TRUE(ds.Eof());
  EXPECT_EQ(ds.MoveBy(-10), -4);
  EXPECT_TRUE(ds.Bof());
  EXPECT_EQ(ds.RecNo(), 1);
}

TEST(TDataSet, RecNoAndBookmarkMoveToARowAndClearBothFlags) {
  TRecordingDataSet ds;
  ds.OpenProducts(4);
  ds.SetRecNo(3);
  EXPECT_EQ(ds.RecNo(), 3);
  EXPECT_FALSE(ds.Bof());
  const std::string mark = ds.Bookmark();
  ds.Last();
  ds.SetBookmark(mark);
  EXPECT_EQ(ds.RecNo(), 3);
  EXPECT_FALSE(ds.Eof());
  ds.SetRecNo(99);
  EXPECT_EQ(ds.RecNo(), 3) << "a number outside the rows does nothing";
  EXPECT_FALSE(ds.BookmarkValid("12345"));
  EXPECT_THROW(ds.SetBookmark("not a bookmark"), EDatabaseError);
}

TEST(TDataSet, LocateComparesWholeValuesCaseSensitivelyWithoutOptions) {
  TRecordingDataSet ds;
  ds.OpenProducts(12);
  ds.Events.clear();
  EXPECT_FALSE(ds.Locate("ProCode", TVariant("C01 ")));
  EXPECT_FALSE(ds.Locate("ProCode", TVariant("c05")));
  EXPECT_FALSE(ds.Locate("ProCode", TVariant("C0")));
  EXPECT_EQ(ds.RecNo(), 1);
  EXPECT_THAT(ds.Events, ElementsAre("BeforeScroll", "BeforeScroll", "BeforeScroll"));
  ds.Events.clear();
  EXPECT_TRUE(ds.Locate("ProCode", TVariant("C05")));
  EXPECT_EQ(ds.RecNo(), 5);
  EXPECT_THAT(ds.Events, ElementsAre("BeforeScroll", "AfterScroll"));
  EXPECT_TRUE(ds.Locate("ProCode", TVariant("c011"), loCaseInsensitive));
  EXPECT_EQ(ds.RecNo(), 11);
  EXPECT_TRUE(ds.Locate("proname;ProId", {TVariant("Name 7"), TVariant(7)}));
  EXPECT_EQ(ds.RecNo(), 7);
  EXPECT_THROW(ds.Locate("Missing", TVariant(1)), EDatabaseError);
}

TEST(TDataSet, LookupFindsAValueWithoutMoving) {
  TRecordingDataSet ds;
  ds.OpenProducts(5);
  ds.SetRecNo(2);
  ds.Events.clear();
  EXPECT_EQ(ds.Lookup("ProId", {TVariant(4)}, "ProName").AsString(), "Name 4");
  EXPECT_TRUE(ds.Lookup("ProId", {TVariant(40)}, "ProName").IsNull());
  EXPECT_EQ(ds.RecNo(), 2);
  EXPECT_TRUE(ds.Events.empty());
}

TEST(TDataSet, AppendPostAddsAPendingRowAfterTheLastAndStandsOnIt) {
  TRecordingDataSet ds;
  ds.OpenProducts(2);
  ds.Events.clear();
  ds.Append();
  EXPECT_EQ(ds.State(), dsInsert);
  EXPECT_EQ(ds.RecNo(), -1);
  EXPECT_TRUE(ds.FieldByName("ProName").IsNull());
  ds.FieldByName("ProCode").SetAsString("N1");
  ds.FieldByName("PurPrice").SetAsFloat(3.25);
  EXPECT_EQ(ds.RecordCount(), 2) << "the new row reaches the rows at Post";
  ds.Post();
  EXPECT_EQ(ds.State(), dsBrowse);
  EXPECT_EQ(ds.RecordCount(), 3);
  EXPECT_EQ(ds.RecNo(), 3);
  EXPECT_TRUE(ds.Eof());
  EXPECT_EQ(ds.FieldByName("ProCode").AsString(), "N1");
  EXPECT_EQ(ds.RecordStatus(), TRowStatus::rsNew);
  EXPECT_TRUE(ds.FieldByName("ProId").IsNull()) << "unassigned fields stay Null";
  EXPECT_THAT(ds.Events, ElementsAre("BeforeInsert", "BeforeScroll", "OnNewRecord", "AfterInsert",
                                     "AfterScroll", "BeforePost", "AfterPost"));
}

TEST(TDataSet, EditPostWritesOnlyTheChangedValuesAsAPendingUpdate) {
  TRecordingDataSet ds;
  ds.OpenProducts(3);
  ds.SetRecNo(2);
  ds.Events.clear();
  ds.Edit();
  EXPECT_EQ(ds.State(), dsEdit);
  ds.FieldByName("ProName").SetAsString("Renamed");
  EXPECT_EQ(ds.FieldByName("ProName").OldValue().AsString(), "Name 2");
  EXPECT_TRUE(ds.Modified());
  ds.Post();
  EXPECT_EQ(ds.RecNo(), 2);
  EXPECT_EQ(ds.FieldByName("ProName").AsString(), "Renamed");
  EXPECT_EQ(ds.FieldByName("ProName").OldValue().AsString(), "Name 2");
  EXPECT_EQ(ds.RecordStatus(), TRowStatus::rsModified);
  EXPECT_TRUE(ds.Recordset()->FieldModified(2));
  EXPECT_FALSE(ds.Recordset()->FieldModified(1));
  EXPECT_THAT(ds.Events, ElementsAre("BeforeEdit", "AfterEdit", "BeforePost", "AfterPost"));
}

// A dataset whose storage refuses every post after writing it, as a server that refuses the
// change would: the change is withdrawn and the error raised.
class TRefusingDataSet : public testing::TRecordingDataSet {
 protected:
  void InternalPost() override {
    TRecordsetDataSet::InternalPost();
    Recordset()->CancelUpdate();
    throw EDatabaseError("refused");
  }
};

TEST(TDataSet, FailedPostKeepsTheStateAndTheUsersValues) {
  TRefusingDataSet ds;
  ds.OpenProducts(2);
  ds.Append();
  ds.FieldByName("ProCode").SetAsString("X9");
  ds.Events.clear();
  EXPECT_THROW(ds.Post(), EDatabaseError);
  EXPECT_EQ(ds.State(), dsInsert);
  EXPECT_EQ(ds.FieldByName("ProCode").AsString(), "X9");
  EXPECT_TRUE(ds.Modified());
  EXPECT_EQ(ds.RecordCount(), 2);
  EXPECT_THAT(ds.Events, ElementsAre("BeforePost"));

  ds.Events.clear();
  ds.Cancel();
  EXPECT_EQ(ds.State(), dsBrowse);
  EXPECT_EQ(ds.RecordCount(), 2);
  EXPECT_EQ(ds.Recordset()->PendingCount(), 0);
  EXPECT_THAT(ds.Events, ElementsAre("BeforeCancel", "BeforeScroll", "AfterCancel", "AfterScroll"));
}

TEST(TDataSet, FailedEditPostKeepsTheEditAndTheRowUnchanged) {
  TRefusingDataSet ds;
  ds.OpenProducts(2);
  ds.Edit();
  ds.FieldByName("ProName").SetAsString("Changed");
  EXPECT_THROW(ds.Post(), EDatabaseError);
  EXPECT_EQ(ds.State(), dsEdit);
  EXPECT_EQ(ds.FieldByName("ProName").AsString(), "Changed");
  ds.Cancel();
  EXPECT_EQ(ds.FieldByName("ProName").AsString(), "Name 1");
  EXPECT_EQ(ds.Recordset()->PendingCount(), 0);
}

TEST(TDataSet, RequiredFieldWithoutValueStopsThePost) {
  TRecordingDataSet ds;
  ds.OpenProducts(1);
  ds.FieldByName("ProCode").SetRequired(true);
  ds.Append();
  try {
    ds.Post();
    FAIL() << "posted without a required value";
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Field 'ProCode' must have a value");
  }
  EXPECT_EQ(ds.State(), dsInsert);
}

TEST(TDataSet, CancelDropsTheEditAndRestoresTheRow) {
  TRecordingDataSet ds;
  ds.OpenProducts(2);
  ds.Edit();
  ds.FieldByName("ProName").SetAsString("Draft");
  ds.Events.clear();
  ds.Cancel();
  EXPECT_EQ(ds.FieldByName("ProName").AsString(), "Name 1");
  EXPECT_EQ(ds.Recordset()->PendingCount(), 0);
  EXPECT_THAT(ds.Events, ElementsAre("BeforeCancel", "AfterCancel"));
}

TEST(TDataSet, DeleteStandsOnTheNextRowOrTheNewLast) {
  TRecordingDataSet ds;
  ds.OpenProducts(3);
  ds.SetRecNo(2);
  ds.Events.clear();
  ds.Delete();
  EXPECT_EQ(ds.RecordCount(), 2);
  EXPECT_EQ(ds.RecNo(), 2);
  EXPECT_EQ(ds.FieldByName("ProCode").AsString(), "C03");
  EXPECT_THAT(ds.Events, ElementsAre("BeforeDelete", "BeforeScroll", "AfterDelete", "AfterScroll"));
  ds.Delete();
  EXPECT_EQ(ds.RecNo(), 1);
  EXPECT_EQ(ds.FieldByName("ProCode").AsString(), "C01");
  ds.Delete();
  EXPECT_TRUE(ds.IsEmpty());
  EXPECT_TRUE(ds.Bof());
  EXPECT_TRUE(ds.Eof());
  EXPECT_THROW(ds.Delete(), EDatabaseError);
  EXPECT_EQ(ds.Recordset()->PendingCount(), 3);
}

TEST(TDataSet, DeleteWhileInsertingCancelsTheInsert) {
  TRecordingDataSet ds;
  ds.OpenProducts(1);
  ds.Insert();
  ds.Delete();
  EXPECT_EQ(ds.State(), dsBrowse);
  EXPECT_EQ(ds.RecordCount(), 1);
}

TEST(TDataSet, EditOnAnEmptyDatasetStartsAnInsert) {
  TRecordingDataSet ds;
  ds.OpenProducts(0);
  ds.Edit();
  EXPECT_EQ(ds.State(), dsInsert);
  EXPECT_FALSE(ds.IsEmpty());
}

TEST(TDataSet, WritingOutsideEditOrIntoReadOnlyFieldsIsRefused) {
  TRecordingDataSet ds;
  ds.SetName("Products");
  ds.OpenProducts(1);
  try {
    ds.FieldByName("ProName").SetAsString("x");
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Products: Dataset not in edit or insert mode");
  }
  ds.FieldByName("ProId").SetReadOnly(true);
  ds.Edit();
  try {
    ds.FieldByName("ProId").SetAsInteger(5);
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Field 'ProId' cannot be modified");
  }
}

TEST(TDataSet, MovingPostsAModifiedRowAndCancelsAnUntouchedOne) {
  TRecordingDataSet ds;
  ds.OpenProducts(3);
  ds.Edit();
  ds.FieldByName("ProName").SetAsString("Moved away");
  ds.Next();
  EXPECT_EQ(ds.State(), dsBrowse);
  EXPECT_EQ(ds.RecNo(), 2);
  EXPECT_EQ(ds.Recordset()->PendingCount(), 1);
  ds.Edit();
  ds.Events.clear();
  ds.Next();
  EXPECT_THAT(ds.Events, ElementsAre("BeforeCancel", "AfterCancel", "BeforeScroll", "AfterScroll"));
  EXPECT_EQ(ds.Recordset()->PendingCount(), 1);
}

TEST(TDataSet, ClosedDatasetRefusesNavigationAndReadsNull) {
  TRecordingDataSet ds;
  ds.SetName("Q");
  EXPECT_TRUE(ds.IsEmpty());
  EXPECT_FALSE(ds.Active());
  try {
    ds.Next();
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Q: Cannot perform this operation on a closed dataset");
  }
  EXPECT_THROW(ds.RecordCount(), EDatabaseError);
  EXPECT_EQ(ds.Bookmark(), "");
}

TEST(TDataSet, CloseFiresItsEventsAndReleasesTheRows) {
  TRecordingDataSet ds;
  ds.OpenProducts(2);
  ds.Events.clear();
  ds.Close();
  EXPECT_THAT(ds.Events, ElementsAre("BeforeClose", "AfterClose"));
  EXPECT_EQ(ds.Recordset(), nullptr);
  EXPECT_EQ(ds.FieldCount(), 0) << "fields made from the columns go with the rows";
}

// Opens on rows of its own, as a component that is given its rows by a stored form.
class TSelfFillingDataSet : public testing::TRecordingDataSet {
 public:
  using TRecordingDataSet::TRecordingDataSet;
  int rows = 2;
  bool supply = true;

 protected:
  std::unique_ptr<TRecordset> CreateRecordset() override {
    return supply ? MakeProducts(rows) : nullptr;
  }
};

TEST(TDataSet, ActiveSetWhileLoadingOpensWhenLoadingEnds) {
  TComponent form;
  auto* ds = new TSelfFillingDataSet(&form);
  form.BeginLoading();
  ds->SetActive(true);
  EXPECT_FALSE(ds->Active());
  form.EndLoading();
  EXPECT_TRUE(ds->Active());
  EXPECT_EQ(ds->RecordCount(), 2);
}

TEST(TDataSet, OpenWithoutRowsFailsAndStaysClosed) {
  TSelfFillingDataSet ds;
  ds.supply = false;
  EXPECT_THROW(ds.Open(), EDatabaseError);
  EXPECT_FALSE(ds.Active());
  EXPECT_THAT(ds.Events, ElementsAre("BeforeOpen"));
}

// Fetches its rows inside the open and attaches them, which opens it completely; or, when the
// peer is "busy", does nothing at all.
class TFetchingDataSet : public testing::TRecordingDataSet {
 public:
  bool busy = false;
  int opens = 0;

 protected:
  void OpenCursor() override {
    ++opens;
    if (Recordset() != nullptr) {
      TRecordsetDataSet::OpenCursor();
      return;
    }
    if (busy) return;
    SetRecordset(MakeProducts(3));
  }
};

TEST(TDataSet, OpenThatAttachesItsRowsRunsTheOpenEventsForBothOpens) {
  TFetchingDataSet ds;
  ds.Open();
  EXPECT_TRUE(ds.Active());
  EXPECT_EQ(ds.opens, 2);
  EXPECT_EQ(ds.RecordCount(), 3);
  EXPECT_THAT(ds.Events, ElementsAre("BeforeOpen", "BeforeOpen", "AfterOpen", "AfterScroll",
                                     "AfterOpen", "AfterScroll"));
}

TEST(TDataSet, OpenWhoseCursorStepDoesNothingStaysClosedWithoutError) {
  TFetchingDataSet ds;
  ds.busy = true;
  ds.Open();
  EXPECT_FALSE(ds.Active());
  EXPECT_THAT(ds.Events, ElementsAre("BeforeOpen"));
}

TEST(TDataSet, RecordValueReadsOtherRowsWithoutMoving) {
  TRecordingDataSet ds;
  ds.OpenProducts(4);
  TField& name = ds.FieldByName("ProName");
  EXPECT_EQ(ds.RecordValue(3, name).AsString(), "Name 3");
  EXPECT_TRUE(ds.RecordValue(5, name).IsNull());
  EXPECT_EQ(ds.RecNo(), 1);
  ds.SetRecNo(2);
  ds.Delete();
  EXPECT_EQ(ds.RecordValue(2, name).AsString(), "Name 3") << "the view follows the deletion";
}

}  // namespace
}  // namespace larkspire
