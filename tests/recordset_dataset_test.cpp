// The dataset over a local recordset: attaching, clones, persistent fields, pending changes.
#include "dataset/recordset_dataset.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "dataset/ado_xml.h"
#include "platform/exception.h"
#include "support/dataset_fixtures.h"

namespace larkspire {
namespace {

using ::testing::ElementsAre;
using testing::MakeProducts;
using testing::TRecordingDataSet;

TEST(TRecordsetDataSet, CreatesFieldsFromTheColumns) {
  TRecordsetDataSet ds;
  ds.SetRecordset(MakeProducts(2));
  ASSERT_EQ(ds.FieldCount(), 4);
  EXPECT_NE(dynamic_cast<TAutoIncField*>(&ds.Fields(0)), nullptr);
  EXPECT_EQ(ds.Fields(1).DataType(), ftWideString);
  EXPECT_EQ(ds.Fields(1).Size(), 15);
  EXPECT_NE(dynamic_cast<TFloatField*>(&ds.FieldByName("purprice")), nullptr);
  EXPECT_EQ(ds.FieldDefs().Count(), 4);
  EXPECT_EQ(ds.FieldProperty("ProId", "KEYCOLUMN"), TVariant(true));
  EXPECT_EQ(ds.FieldProperty("ProName", "KEYCOLUMN"), TVariant(false));
  EXPECT_TRUE(ds.FieldProperty("Nope", "KEYCOLUMN").IsEmpty());
}

TEST(TRecordsetDataSet, AttachingARecordsetThatIsNotOpenFailsAndLeavesTheDatasetClosed) {
  TRecordingDataSet ds;
  ds.OpenProducts(2);
  try {
    ds.SetRecordset(std::make_unique<TRecordset>());
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Recordset is not open");
  }
  EXPECT_FALSE(ds.Active());
  EXPECT_EQ(ds.Recordset(), nullptr);
}

TEST(TRecordsetDataSet, PersistentFieldsStayBoundByNameAcrossOpens) {
  TRecordsetDataSet ds;
  auto& id2 = ds.AddField<TAutoIncField>("ProId");
  id2.SetName("SimpleQueryid");
  id2.SetReadOnly(true);
  auto& price2 = ds.AddField<TFloatField>("PurPrice");
  price2.SetDisplayFormat("￥0.00");
  ds.SetRecordset(MakeProducts(3));
  EXPECT_EQ(ds.FieldCount(), 2) << "only the persistent fields, not every column";
  EXPECT_EQ(&ds.FieldByName("PurPrice"), &price2);
  EXPECT_EQ(price2.DisplayText(), "￥1.50");
  EXPECT_EQ(id2.FieldNo(), 1);
  EXPECT_EQ(price2.FieldNo(), 4);
  ds.Close();
  EXPECT_EQ(ds.FieldCount(), 2);
  EXPECT_EQ(price2.FieldNo(), 0);
  ds.SetRecordset(MakeProducts(1));
  EXPECT_EQ(price2.AsFloat(), 1.5);
  EXPECT_THROW(ds.AddField<TStringField>("ProName"), EDatabaseError) << "not while open";
}

TEST(TRecordsetDataSet, PersistentFieldWithoutAColumnFailsTheOpen) {
  TRecordingDataSet ds;
  ds.SetName("SimpleQuery");
  ds.AddField<TStringField>("ProCode", 15);
  ds.AddField<TStringField>("Missing");
  try {
    ds.OpenProducts(2);
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "SimpleQuery: Field 'Missing' not found");
  }
  EXPECT_FALSE(ds.Active());
  EXPECT_THAT(ds.Events, ElementsAre("BeforeOpen"));
  EXPECT_EQ(ds.FieldCount(), 2);
}

TEST(TRecordsetDataSet, DuplicatePersistentFieldNamesAreRefused) {
  TRecordsetDataSet ds;
  ds.AddField<TStringField>("ProCode");
  EXPECT_THROW(ds.AddField<TStringField>("procode"), EDatabaseError);
}

TEST(TRecordsetDataSet, ValueTheColumnRefusesFailsThePostAndLeavesTheRowsAlone) {
  TRecordsetDataSet ds;
  // A text field over an integer column lets the text through to the column, which refuses it.
  ds.AddField<TStringField>("ProId");
  ds.AddField<TStringField>("ProName");
  ds.SetRecordset(MakeProducts(2));
  ds.Append();
  ds.FieldByName("ProName").SetAsString("fine");
  ds.FieldByName("ProId").SetAsString("abc");
  EXPECT_THROW(ds.Post(), EDatabaseError);
  EXPECT_EQ(ds.State(), dsInsert);
  EXPECT_EQ(ds.FieldByName("ProId").AsString(), "abc");
  EXPECT_EQ(ds.Recordset()->RecordCount(), 2);
  EXPECT_EQ(ds.Recordset()->PendingCount(), 0);
  ds.FieldByName("ProId").SetAsString("7");
  ds.Post();
  EXPECT_EQ(ds.RecordCount(), 3);
  EXPECT_EQ(ds.Recordset()->Value(0), TVariant(int32_t{7}));
}

TEST(TRecordsetDataSet, UpdateBatchAcceptsAndCancelBatchRevertsThePendingChanges) {
  TRecordsetDataSet ds;
  ds.SetRecordset(MakeProducts(3));
  ds.Edit();
  ds.FieldByName("ProName").SetAsString("edited");
  ds.Post();
  ds.Last();
  ds.Delete();
  ds.Append();
  ds.FieldByName("ProCode").SetAsString("new");
  ds.Post();
  EXPECT_EQ(ds.Recordset()->PendingCount(), 3);
  ds.CancelBatch();
  EXPECT_EQ(ds.Recordset()->PendingCount(), 0);
  EXPECT_EQ(ds.RecordCount(), 3);
  EXPECT_GE(ds.RecNo(), 1) << "the cursor stands on a row after the new row went away";
  ds.First();
  EXPECT_EQ(ds.FieldByName("ProName").AsString(), "Name 1");

  ds.Edit();
  ds.FieldByName("ProName").SetAsString("kept");
  ds.UpdateBatch();
  EXPECT_EQ(ds.Recordset()->PendingCount(), 0);
  EXPECT_EQ(ds.RecordStatus(), TRowStatus::rsUnmodified);
  EXPECT_EQ(ds.FieldByName("ProName").AsString(), "kept") << "UpdateBatch posts the edit first";
}

TEST(TRecordsetDataSet, CloneSharesTheRowsAndPendingChangesWithItsOwnCursor) {
  TRecordsetDataSet main, copy;
  main.SetRecordset(MakeProducts(3));
  main.Last();
  main.Edit();
  main.FieldByName("ProName").SetAsString("changed");
  main.Post();
  copy.Clone(main, ltBatchOptimistic);
  EXPECT_EQ(copy.RecNo(), 1);
  EXPECT_EQ(main.RecNo(), 3);
  EXPECT_EQ(copy.Recordset()->PendingCount(), 1);
  copy.Last();
  EXPECT_EQ(copy.FieldByName("ProName").AsString(), "changed");
  copy.Delete();
  main.Resync();
  EXPECT_EQ(main.RecordCount(), 2);
  main.Close();
  EXPECT_EQ(copy.RecordCount(), 2) << "the clone keeps the shared rows alive";
  TRecordsetDataSet closed;
  EXPECT_THROW(copy.Clone(closed), EDatabaseError);
}

TEST(TRecordsetDataSet, ReadOnlyRecordsetRefusesEditing) {
  TRecordsetDataSet ds;
  auto recordset = MakeProducts(1);
  ds.SetRecordset(recordset->Clone(ltReadOnly));
  EXPECT_FALSE(ds.CanModify());
  EXPECT_THROW(ds.Edit(), EDatabaseError);
  EXPECT_THROW(ds.Append(), EDatabaseError);
  EXPECT_EQ(ds.State(), dsBrowse);
}

TEST(TRecordsetDataSet, OpensARowsetDocumentWithItsPendingChanges) {
  TRecordsetDataSet ds;
  auto recordset = std::make_unique<TRecordset>();
  recordset->OpenFromFile(std::string(LARKSPIRE_TEST_DATA_DIR) +
                          "/ado-xml/shape-sqlserver-customers-orders-keycolumn-hidden.xml");
  ds.SetRecordset(std::move(recordset));
  ASSERT_GT(ds.RecordCount(), 0);
  int keys = 0;
  for (int i = 0; i < ds.FieldCount(); ++i)
    if (ds.FieldProperty(ds.Fields(i).FieldName(), "KEYCOLUMN") == TVariant(true)) ++keys;
  EXPECT_GT(keys, 0);
  for (const TRecordsetField& column : ds.Recordset()->Fields())
    if (column.Hidden) EXPECT_EQ(ds.FindField(column.Name), nullptr) << column.Name;
}

TEST(TRecordsetDataSet, DeletedDatasetClosesWithoutEvents) {
  TComponent form;
  auto* ds = new TRecordsetDataSet(&form);
  std::vector<std::string> events;
  ds->BeforeClose = [&](TDataSet&) { events.push_back("BeforeClose"); };
  ds->AfterClose = [&](TDataSet&) { events.push_back("AfterClose"); };
  ds->SetRecordset(MakeProducts(2));
  delete ds;
  EXPECT_TRUE(events.empty());
}

}  // namespace
}  // namespace larkspire
