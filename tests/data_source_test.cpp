// Data sources and links: what a link hears, disabled controls, lifetimes, and the master link.
#include "dataset/data_source.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "dataset/master_link.h"
#include "platform/exception.h"
#include "support/dataset_fixtures.h"

namespace larkspire {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::TRecordingDataSet;
using testing::TRecordingLink;

struct Linked {
  TRecordingDataSet dataset;
  TDataSource source;
  TRecordingLink link;
  Linked() {
    source.SetDataSet(&dataset);
    link.SetDataSource(&source);
  }
};

TEST(TDataLink, HearsOpeningMovingEditingAndPosting) {
  Linked l;
  l.dataset.OpenProducts(3);
  EXPECT_THAT(l.link.Heard, ElementsAre("active"));
  EXPECT_TRUE(l.link.Active());
  l.link.Heard.clear();
  l.dataset.Next();
  l.dataset.Last();
  EXPECT_THAT(l.link.Heard, ElementsAre("scrolled 1", "scrolled 1"));
  l.link.Heard.clear();
  l.dataset.Edit();
  l.dataset.FieldByName("ProName").SetAsString("x");
  l.dataset.Post();
  EXPECT_THAT(l.link.Heard, ElementsAre("editing", "record *", "record ProName", "update",
                                        "browsing", "changed"));
  l.link.Heard.clear();
  l.dataset.Close();
  EXPECT_THAT(l.link.Heard, ElementsAre("inactive"));
}

TEST(TDataLink, DisabledControlsHearNothingUntilTheLastEnableWhichTellsOnce) {
  Linked l;
  l.dataset.OpenProducts(5);
  l.link.Heard.clear();
  l.dataset.DisableControls();
  l.dataset.DisableControls();
  EXPECT_TRUE(l.dataset.ControlsDisabled());
  l.dataset.Next();
  l.dataset.Edit();
  l.dataset.FieldByName("ProName").SetAsString("y");
  l.dataset.Post();
  l.dataset.Last();
  l.dataset.EnableControls();
  EXPECT_THAT(l.link.Heard, IsEmpty());
  EXPECT_TRUE(l.dataset.ControlsDisabled());
  l.dataset.EnableControls();
  EXPECT_FALSE(l.dataset.ControlsDisabled());
  EXPECT_THAT(l.link.Heard, ElementsAre("changed"));
  l.dataset.EnableControls();  // unbalanced: nothing more
  EXPECT_THAT(l.link.Heard, ElementsAre("changed"));
}

TEST(TDataLink, ReopeningWhileDisabledIsToldAsALayoutChange) {
  Linked l;
  l.dataset.OpenProducts(2);
  l.link.Heard.clear();
  l.dataset.DisableControls();
  l.dataset.OpenProducts(4);  // closes, takes the new rows, opens
  l.dataset.EnableControls();
  EXPECT_THAT(l.link.Heard, ElementsAre("layout"));
}

TEST(TDataLink, StateChangesWhileDisabledAreToldAtTheEnd) {
  Linked l;
  l.dataset.OpenProducts(2);
  l.link.Heard.clear();
  l.dataset.DisableControls();
  l.dataset.Edit();
  l.dataset.EnableControls();
  EXPECT_THAT(l.link.Heard, ElementsAre("editing", "changed"));
  l.link.Heard.clear();
  l.dataset.DisableControls();
  l.dataset.Close();  // drops the edit
  l.dataset.EnableControls();
  EXPECT_THAT(l.link.Heard, ElementsAre("inactive", "browsing"));
}

TEST(TDataSource, DisabledSourceTellsNothingAndEnablingTellsTheState) {
  Linked l;
  l.source.SetEnabled(false);
  l.dataset.OpenProducts(2);
  l.dataset.Next();
  EXPECT_THAT(l.link.Heard, IsEmpty());
  EXPECT_EQ(l.source.State(), dsInactive);
  l.source.SetEnabled(true);
  EXPECT_THAT(l.link.Heard, ElementsAre("active"));
  EXPECT_EQ(l.source.State(), dsBrowse);
}

TEST(TDataSource, FiresStateChangeAndDataChange) {
  Linked l;
  std::vector<std::string> seen;
  l.source.OnStateChange = [&] { seen.push_back("state " + std::to_string(l.source.State())); };
  l.source.OnDataChange = [&](TField* f) {
    seen.push_back("data " + (f != nullptr ? f->FieldName() : std::string("*")));
  };
  l.dataset.OpenProducts(2);
  l.dataset.Next();
  l.dataset.Edit();
  l.dataset.FieldByName("ProCode").SetAsString("Z");
  EXPECT_THAT(seen,
              ElementsAre("state 1", "data *", "data *", "state 2", "data *", "data ProCode"));
}

TEST(TDataSource, LosesItsDatasetWhenTheDatasetIsDeleted) {
  TComponent form;
  auto* dataset = new TRecordingDataSet(&form);
  auto* source = new TDataSource(&form);
  TRecordingLink link;
  source->SetDataSet(dataset);
  link.SetDataSource(source);
  dataset->OpenProducts(2);
  delete dataset;
  EXPECT_EQ(source->DataSet(), nullptr);
  EXPECT_EQ(source->State(), dsInactive);
  EXPECT_THAT(link.Heard, ElementsAre("active", "inactive"));
  EXPECT_FALSE(link.Active());
  delete source;
  EXPECT_EQ(link.DataSource(), nullptr);
}

TEST(TDataSource, LinkThatGoesAwayIsNoLongerTold) {
  Linked l;
  {
    TRecordingLink second;
    second.SetDataSource(&l.source);
    EXPECT_EQ(l.source.DataLinks().size(), 2u);
  }
  EXPECT_EQ(l.source.DataLinks().size(), 1u);
  l.dataset.OpenProducts(1);
  EXPECT_THAT(l.link.Heard, ElementsAre("active"));
}

// Counts what its master tells it.
class TDetail : public TRecordingDataSet {
 public:
  int changed = 0, disabled = 0;

 protected:
  void MasterChanged() override {
    ++changed;
    TRecordingDataSet::MasterChanged();
  }
  void MasterDisabled() override {
    ++disabled;
    TRecordingDataSet::MasterDisabled();
  }
};

struct MasterDetail {
  TRecordingDataSet master;
  TDataSource source;
  TDetail detail;
  MasterDetail() {
    source.SetDataSet(&master);
    detail.SetDataSource(&source);
  }
};

TEST(TMasterDataLink, TellsAnOpenDetailWhenTheMastersRowMoves) {
  MasterDetail md;
  md.master.OpenProducts(3);
  md.detail.SetMasterFields("ProCode");  // while the detail is closed it is not told
  EXPECT_EQ(md.detail.changed, 0);
  md.detail.OpenProducts(1);
  ASSERT_EQ(md.detail.MasterLink().Fields().size(), 1u);
  EXPECT_EQ(md.detail.MasterLink().Fields()[0], &md.master.FieldByName("ProCode"));
  md.master.Next();
  EXPECT_EQ(md.detail.changed, 1);
  md.master.Last();
  EXPECT_EQ(md.detail.changed, 2);
}

TEST(TMasterDataLink, TellsOnlyOfChangesToTheMasterFields) {
  MasterDetail md;
  md.master.OpenProducts(2);
  md.detail.OpenProducts(1);
  md.detail.SetMasterFields("ProCode");
  const int before = md.detail.changed;
  md.master.Edit();
  md.master.FieldByName("ProName").SetAsString("other");
  EXPECT_EQ(md.detail.changed, before + 1) << "entering edit re-reads the whole row";
  md.master.FieldByName("ProName").SetAsString("again");
  EXPECT_EQ(md.detail.changed, before + 1);
  md.master.FieldByName("ProCode").SetAsString("K");
  EXPECT_EQ(md.detail.changed, before + 2);
}

TEST(TMasterDataLink, WithoutMasterFieldsTheDetailIsNotTold) {
  MasterDetail md;
  md.master.OpenProducts(3);
  md.detail.OpenProducts(1);
  md.master.Next();
  EXPECT_EQ(md.detail.changed, 0);
}

TEST(TMasterDataLink, ClosingTheMasterDisablesTheDetail) {
  MasterDetail md;
  md.master.OpenProducts(2);
  md.detail.OpenProducts(1);
  md.detail.SetMasterFields("ProId");
  md.master.Close();
  EXPECT_EQ(md.detail.disabled, 1);
  EXPECT_TRUE(md.detail.MasterLink().Fields().empty());
}

TEST(TMasterDataLink, MoveOfTheMasterPostsTheDetailsEdit) {
  MasterDetail md;
  md.master.OpenProducts(2);
  md.detail.OpenProducts(1);
  md.detail.SetMasterFields("ProId");
  md.detail.Edit();
  md.detail.FieldByName("ProName").SetAsString("kept");
  md.master.Next();
  EXPECT_EQ(md.detail.State(), dsBrowse);
  md.master.Prior();
  EXPECT_EQ(md.detail.FieldByName("ProName").AsString(), "kept");
}

TEST(TMasterDataLink, ANewDetailRowTakesTheMastersValuesAndStaysInView) {
  MasterDetail md;
  md.master.OpenProducts(3);
  md.detail.OpenProducts(3);
  md.detail.SetMasterFields("ProCode");
  md.master.Next();
  ASSERT_EQ(md.detail.RecordCount(), 1);
  md.detail.Append();
  EXPECT_EQ(md.detail.FieldByName("ProCode").AsString(), "C02");
  md.detail.FieldByName("ProName").SetAsString("added");
  md.detail.Post();
  EXPECT_EQ(md.detail.RecordCount(), 2);
  EXPECT_EQ(md.detail.FieldByName("ProName").AsString(), "added");
  md.master.Close();
  EXPECT_EQ(md.detail.RecordCount(), 4);
}

TEST(TMasterDataLink, MissingMasterFieldIsReported) {
  MasterDetail md;
  md.master.OpenProducts(1);
  md.master.SetName("Master");
  EXPECT_THROW(md.detail.SetMasterFields("NoSuchField"), EDatabaseError);
}

TEST(TMasterDataLink, ADatasetCannotBeItsOwnMaster) {
  TRecordingDataSet a, b;
  TDataSource source_a, source_b;
  source_a.SetDataSet(&a);
  EXPECT_THROW(a.SetDataSource(&source_a), EDatabaseError);
  b.SetDataSource(&source_a);
  source_b.SetDataSet(&b);
  EXPECT_THROW(a.SetDataSource(&source_b), EDatabaseError);
  TDataSource source_c;
  a.SetDataSource(&source_c);
  EXPECT_THROW(source_c.SetDataSet(&a), EDatabaseError);
}

}  // namespace
}  // namespace larkspire
