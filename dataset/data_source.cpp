#include "dataset/data_source.h"

#include <algorithm>

#include "dataset/dataset.h"
#include "platform/exception.h"

namespace larkspire {

TDataLink::~TDataLink() {
  if (data_source_ != nullptr) data_source_->RemoveLink(this);
}

void TDataLink::SetDataSource(TDataSource* source) {
  if (source == data_source_) return;
  if (data_source_ != nullptr) data_source_->RemoveLink(this);
  data_source_ = source;
  if (source != nullptr) source->AddLink(this);
  UpdateState();
}

TDataSet* TDataLink::DataSet() const {
  return data_source_ != nullptr ? data_source_->DataSet() : nullptr;
}

void TDataLink::UpdateState() {
  const bool active = data_source_ != nullptr && data_source_->State() != dsInactive;
  if (active != active_) {
    active_ = active;
    ActiveChanged();
  }
  const bool editing =
      active_ && (data_source_->State() == dsEdit || data_source_->State() == dsInsert);
  if (editing != editing_) {
    editing_ = editing;
    EditingChanged();
  }
}

void TDataLink::DataEvent(TDataEvent event, intptr_t info) {
  if (event == TDataEvent::deUpdateState) {
    UpdateState();
    return;
  }
  if (!active_) return;
  switch (event) {
    case TDataEvent::deFieldChange:
    case TDataEvent::deRecordChange:
      if (!updating_)
        RecordChanged(event == TDataEvent::deFieldChange ? reinterpret_cast<TField*>(info)
                                                         : nullptr);
      break;
    case TDataEvent::deDataSetChange:
      DataSetChanged();
      break;
    case TDataEvent::deDataSetScroll:
      DataSetScrolled(static_cast<int>(info));
      break;
    case TDataEvent::deLayoutChange:
      LayoutChanged();
      break;
    case TDataEvent::deUpdateRecord: {
      updating_ = true;
      try {
        UpdateData();
      } catch (...) {
        updating_ = false;
        throw;
      }
      updating_ = false;
      break;
    }
    case TDataEvent::deCheckBrowseMode:
      CheckBrowseMode();
      break;
    case TDataEvent::deUpdateState:
      break;
  }
}

TDataSource::TDataSource(TComponent* owner) : TComponent(owner) {}

TDataSource::~TDataSource() {
  // Links stay alive (they belong to controls); they just lose their data source.
  while (!links_.empty()) {
    TDataLink* link = links_.back();
    links_.pop_back();
    link->data_source_ = nullptr;
    link->UpdateState();
  }
  if (dataset_ != nullptr) dataset_->RemoveDataSource(this);
  dataset_ = nullptr;
}

void TDataSource::SetDataSet(TDataSet* dataset) {
  if (dataset == dataset_) return;
  // Following the masters of the new dataset must not lead back here.
  TDataSet* d = dataset;
  for (int depth = 0; d != nullptr && depth < 1000; ++depth) {
    TDataSource* master = d->DataSource();
    if (master == this) throw EDatabaseError("Circular datalinks are not allowed");
    d = master != nullptr ? master->DataSet() : nullptr;
  }
  if (dataset_ != nullptr) {
    dataset_->RemoveDataSource(this);
    RemoveFreeNotification(dataset_);
  }
  dataset_ = dataset;
  if (dataset_ != nullptr) {
    dataset_->AddDataSource(this);
    FreeNotification(dataset_);
  }
  UpdateState();
}

void TDataSource::SetEnabled(bool enabled) {
  enabled_ = enabled;
  UpdateState();
}

void TDataSource::Notification(TComponent* component, TOperation operation) {
  TComponent::Notification(component, operation);
  if (operation == TOperation::opRemove && component == dataset_) DetachDataSet();
}

void TDataSource::DetachDataSet() {
  dataset_ = nullptr;
  UpdateState();
}

void TDataSource::UpdateState() {
  const TDataSetState state = enabled_ && dataset_ != nullptr ? dataset_->State() : dsInactive;
  if (state == state_) return;
  const TDataSetState prior = state_;
  state_ = state;
  for (TDataLink* link : std::vector<TDataLink*>(links_)) link->UpdateState();
  if ((ComponentState() & csDestroying) != 0) return;
  if (OnStateChange) OnStateChange();
  if (prior == dsInactive && OnDataChange) OnDataChange(nullptr);
}

void TDataSource::DataEvent(TDataEvent event, intptr_t info) {
  if (event == TDataEvent::deUpdateState) {
    UpdateState();
    return;
  }
  if (state_ == dsInactive) return;
  for (TDataLink* link : std::vector<TDataLink*>(links_)) {
    // A link may leave while an earlier one is told.
    if (std::find(links_.begin(), links_.end(), link) != links_.end()) link->DataEvent(event, info);
  }
  switch (event) {
    case TDataEvent::deFieldChange:
      if (OnDataChange) OnDataChange(reinterpret_cast<TField*>(info));
      break;
    case TDataEvent::deRecordChange:
    case TDataEvent::deDataSetChange:
    case TDataEvent::deDataSetScroll:
    case TDataEvent::deLayoutChange:
      if (OnDataChange) OnDataChange(nullptr);
      break;
    case TDataEvent::deUpdateRecord:
      if (OnUpdateData) OnUpdateData();
      break;
    default:
      break;
  }
}

void TDataSource::AddLink(TDataLink* link) {
  links_.push_back(link);
}

void TDataSource::RemoveLink(TDataLink* link) {
  links_.erase(std::remove(links_.begin(), links_.end(), link), links_.end());
}

}  // namespace larkspire
