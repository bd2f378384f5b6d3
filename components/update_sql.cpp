#include "components/update_sql.h"

#include "components/remote_dataset_ex.h"

namespace larkspire {

TLarkspireUpdateSQL::TLarkspireUpdateSQL(TComponent* owner) : TComponent(owner) {}

TLarkspireUpdateSQL::~TLarkspireUpdateSQL() = default;

void TLarkspireUpdateSQL::AttachDataSet(TCustomLarkspireDataSetEx* dataset) {
  if (dataset == dataset_) return;
  if (dataset_ != nullptr) {
    TCustomLarkspireDataSetEx* previous = dataset_;
    dataset_ = nullptr;
    RemoveFreeNotification(previous);
    if (previous->UpdateObject() == this) previous->SetUpdateObject(nullptr);
  }
  if (dataset == nullptr) return;
  dataset_ = dataset;
  FreeNotification(dataset);
  if (dataset->UpdateObject() != this) dataset->SetUpdateObject(this);
}

void TLarkspireUpdateSQL::Notification(TComponent* component, TOperation operation) {
  TComponent::Notification(component, operation);
  // The dataset is being destroyed: only the pointer may be compared.
  if (operation == TOperation::opRemove && component != nullptr &&
      component == static_cast<TComponent*>(dataset_))
    dataset_ = nullptr;
}

}  // namespace larkspire
