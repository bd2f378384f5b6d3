// TLarkspireUpdateSQL: its statement lists, and how it and its dataset keep their references
// to each other right when either is freed or reassigned.
#include "components/update_sql.h"

#include <gtest/gtest.h>

#include "components/query.h"

namespace larkspire {
namespace {

TEST(TLarkspireUpdateSQL, StartsEmptyAndCopiesAssignedStatements) {
  TLarkspireUpdateSQL update;
  EXPECT_EQ(update.DataSet(), nullptr);
  EXPECT_EQ(update.DeleteSQL().Count(), 0);
  EXPECT_EQ(update.InsertSQL().Count(), 0);
  EXPECT_EQ(update.ModifySQL().Count(), 0);
  TStringList lines{"delete from products", "where ProId = :OLD_ProId"};
  update.SetDeleteSQL(lines);
  update.SetInsertSQL(TStringList{"insert into products (ProName) values (:ProName)"});
  update.SetModifySQL(TStringList{"update products set ProName = :ProName"});
  lines.Add("and 1 = 1");  // the component keeps its own copy
  EXPECT_EQ(update.DeleteSQL().Text(), "delete from products\nwhere ProId = :OLD_ProId");
  EXPECT_EQ(update.InsertSQL().Count(), 1);
  EXPECT_EQ(update.ModifySQL()[0], "update products set ProName = :ProName");
}

TEST(TLarkspireUpdateSQL, AssigningItToADataSetAttachesBothWays) {
  TLarkspireQuery query;
  TLarkspireUpdateSQL update;
  EXPECT_TRUE(query.SendsOwnChanges());
  query.SetUpdateObject(&update);
  EXPECT_EQ(query.UpdateObject(), &update);
  EXPECT_EQ(update.DataSet(), &query);
  EXPECT_FALSE(query.SendsOwnChanges());
  query.SetUpdateObject(nullptr);
  EXPECT_EQ(update.DataSet(), nullptr);
  EXPECT_TRUE(query.SendsOwnChanges());
  // Attaching from the update object's side sets the dataset's reference too.
  update.AttachDataSet(&query);
  EXPECT_EQ(query.UpdateObject(), &update);
  update.AttachDataSet(nullptr);
  EXPECT_EQ(query.UpdateObject(), nullptr);
}

TEST(TLarkspireUpdateSQL, FreeingItClearsTheDataSetsReference) {
  TLarkspireQuery query;
  auto* update = new TLarkspireUpdateSQL;
  query.SetUpdateObject(update);
  delete update;
  EXPECT_EQ(query.UpdateObject(), nullptr);
  EXPECT_TRUE(query.SendsOwnChanges());
}

TEST(TLarkspireUpdateSQL, FreeingTheDataSetClearsItsDataSet) {
  TLarkspireUpdateSQL update;
  auto* query = new TLarkspireQuery;
  query->SetUpdateObject(&update);
  delete query;
  EXPECT_EQ(update.DataSet(), nullptr);
}

TEST(TLarkspireUpdateSQL, GivingItToASecondDataSetClearsTheFirst) {
  TLarkspireQuery first, second;
  TLarkspireUpdateSQL update;
  first.SetUpdateObject(&update);
  second.SetUpdateObject(&update);
  EXPECT_EQ(first.UpdateObject(), nullptr);
  EXPECT_EQ(second.UpdateObject(), &update);
  EXPECT_EQ(update.DataSet(), &second);
}

TEST(TLarkspireUpdateSQL, ReplacedUpdateObjectNoLongerClearsItsOldDataSet) {
  TLarkspireQuery first, second;
  TLarkspireUpdateSQL a, b;
  first.SetUpdateObject(&a);
  first.SetUpdateObject(&b);
  EXPECT_EQ(a.DataSet(), nullptr);
  EXPECT_EQ(b.DataSet(), &first);
  // Giving the old one elsewhere leaves the first dataset's new update object alone.
  second.SetUpdateObject(&a);
  EXPECT_EQ(first.UpdateObject(), &b);
  EXPECT_EQ(second.UpdateObject(), &a);
}

}  // namespace
}  // namespace larkspire
