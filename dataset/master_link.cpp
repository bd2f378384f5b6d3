#include "dataset/master_link.h"

#include <algorithm>

#include "dataset/dataset.h"

namespace larkspire {

void TMasterDataLink::SetFieldNames(const std::string& names) {
  if (names == field_names_) return;
  field_names_ = names;
  ActiveChanged();
}

void TMasterDataLink::ActiveChanged() {
  fields_.clear();
  if (Active()) fields_ = DataSet()->GetFieldList(field_names_);
  if (!detail_->Active() || detail_->Destroying()) return;
  if (Active() && !fields_.empty())
    detail_->MasterChanged();
  else
    detail_->MasterDisabled();
}

void TMasterDataLink::RecordChanged(TField* field) {
  if (!detail_->Active() || fields_.empty()) return;
  if (field != nullptr && std::find(fields_.begin(), fields_.end(), field) == fields_.end()) return;
  detail_->MasterChanged();
}

void TMasterDataLink::CheckBrowseMode() {
  if (detail_->Active()) detail_->CheckBrowseMode();
}

}  // namespace larkspire
