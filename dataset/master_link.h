// TMasterDataLink: the link by which a detail dataset follows its master.
//
// The detail sets a data source (its DataSource property) whose dataset is the master, and the
// names of the master's fields it depends on (MasterFields, "A;B"). While the master is open the
// link resolves those names to the master's fields; when the master's current row moves, its rows
// change, or one of those fields changes, the detail's MasterChanged hook runs (only while the
// detail is open and at least one master field is named). When the master closes, or the field
// list becomes empty, the detail's MasterDisabled hook runs.
//
// Thread-safety: main thread only.
#ifndef LARKSPIRE_DATASET_MASTER_LINK_H_
#define LARKSPIRE_DATASET_MASTER_LINK_H_

#include <string>
#include <vector>

#include "dataset/data_source.h"

namespace larkspire {

class TMasterDataLink : public TDataLink {
 public:
  explicit TMasterDataLink(TDataSet* detail) : detail_(detail) {}

  TDataSet* Detail() const { return detail_; }
  const std::string& FieldNames() const { return field_names_; }
  // Resolves the names again when the master is open; a name the master lacks raises
  // EDatabaseError "Field 'X' not found".
  void SetFieldNames(const std::string& names);
  // The master fields named by FieldNames, while the master is open.
  const std::vector<TField*>& Fields() const { return fields_; }

 protected:
  void ActiveChanged() override;
  void RecordChanged(TField* field) override;
  void LayoutChanged() override { ActiveChanged(); }
  void CheckBrowseMode() override;

 private:
  TDataSet* detail_;
  std::string field_names_;
  std::vector<TField*> fields_;
};

}  // namespace larkspire

#endif  // LARKSPIRE_DATASET_MASTER_LINK_H_
