// Datasets for tests of the dataset framework: a products recordset built in code, a dataset
// that records its events in order, and a data link that records what it hears.
#ifndef LARKSPIRE_TESTS_SUPPORT_DATASET_FIXTURES_H_
#define LARKSPIRE_TESTS_SUPPORT_DATASET_FIXTURES_H_

#include <memory>
#include <string>
#include <vector>

#include "dataset/data_source.h"
#include "dataset/recordset.h"
#include "dataset/recordset_dataset.h"

namespace larkspire::testing {

// Columns ProId (int, key, auto-increment), ProCode (string 15), ProName (string 50), PurPrice
// (float); rows = count, ProId i, ProCode "C0i", ProName "Name i", PurPrice i + 0.5.
std::unique_ptr<TRecordset> MakeProducts(int count);

// A recordset dataset whose every event appends its name to Events.
class TRecordingDataSet : public TRecordsetDataSet {
 public:
  explicit TRecordingDataSet(TComponent* owner = nullptr);
  std::vector<std::string> Events;
  // Opens on a fresh products recordset of count rows.
  void OpenProducts(int count) { SetRecordset(MakeProducts(count)); }
};

// A data link that appends what it hears to Heard ("active", "changed", "scrolled 1",
// "record ProName", "record *", "editing", "layout", "update").
class TRecordingLink : public TDataLink {
 public:
  std::vector<std::string> Heard;

 protected:
  void ActiveChanged() override;
  void DataSetChanged() override;
  void DataSetScrolled(int distance) override;
  void RecordChanged(TField* field) override;
  void EditingChanged() override;
  void LayoutChanged() override;
  void UpdateData() override;
};

}  // namespace larkspire::testing

#endif  // LARKSPIRE_TESTS_SUPPORT_DATASET_FIXTURES_H_
