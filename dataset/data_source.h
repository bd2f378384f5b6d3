// Data links: how controls and other datasets follow a dataset.
//
// A TDataSource joins one dataset to any number of TDataLink observers (a grid model, a master
// link). The dataset tells its data sources of every change (TDataSet::DataEvent); a data source
// passes the events on to its links while it is enabled and its dataset is open, and tells them
// when the dataset opens, closes or changes state. While the dataset's controls are disabled
// (TDataSet::DisableControls) links hear nothing until the matching EnableControls, which tells
// them once.
//
// What a link hears:
//   ActiveChanged     the dataset opened or closed (or the link got another data source)
//   DataSetChanged    rows were added, removed or read again; re-read everything
//   DataSetScrolled   the current row moved by the distance given (rows unchanged)
//   RecordChanged     the current row's values changed (one field, or all when null)
//   EditingChanged    the dataset entered or left edit/insert state
//   LayoutChanged     the fields changed (fields may have been destroyed and created again)
//   UpdateData        the dataset is about to post: write any pending edit into the fields
//   CheckBrowseMode   the dataset is about to leave edit state or move
// By default DataSetScrolled and LayoutChanged fall back to DataSetChanged, and DataSetChanged
// to RecordChanged(nullptr), so a link that overrides DataSetChanged alone sees everything.
//
// Thread-safety: main thread only, like the datasets.
#ifndef LARKSPIRE_DATASET_DATA_SOURCE_H_
#define LARKSPIRE_DATASET_DATA_SOURCE_H_

#include <cstdint>
#include <functional>
#include <vector>

#include "dataset/field.h"
#include "platform/component.h"

namespace larkspire {

class TDataSet;
class TDataSource;

enum TDataSetState : uint8_t { dsInactive, dsBrowse, dsEdit, dsInsert };

enum class TDataEvent : uint8_t {
  deFieldChange,   // info: the TField*
  deRecordChange,  // info: 0
  deDataSetChange,
  deDataSetScroll,  // info: distance moved
  deLayoutChange,
  deUpdateRecord,
  deUpdateState,
  deCheckBrowseMode,
};

class TDataLink {
 public:
  TDataLink() = default;
  TDataLink(const TDataLink&) = delete;
  TDataLink& operator=(const TDataLink&) = delete;
  virtual ~TDataLink();

  TDataSource* DataSource() const { return data_source_; }
  void SetDataSource(TDataSource* source);
  // The data source's dataset, or null.
  TDataSet* DataSet() const;
  // The data source is enabled and its dataset open.
  bool Active() const { return active_; }
  // Active and the dataset in edit or insert state.
  bool Editing() const { return editing_; }

 protected:
  virtual void ActiveChanged() {}
  virtual void DataSetChanged() { RecordChanged(nullptr); }
  virtual void DataSetScrolled(int distance) { DataSetChanged(); }
  virtual void RecordChanged(TField* field) {}
  virtual void EditingChanged() {}
  virtual void LayoutChanged() { DataSetChanged(); }
  virtual void UpdateData() {}
  virtual void CheckBrowseMode() {}

 private:
  friend class TDataSource;
  void DataEvent(TDataEvent event, intptr_t info);
  void UpdateState();

  TDataSource* data_source_ = nullptr;
  bool active_ = false;
  bool editing_ = false;
  bool updating_ = false;  // inside UpdateData: field changes are our own
};

class TDataSource : public TComponent {
 public:
  explicit TDataSource(TComponent* owner = nullptr);
  ~TDataSource() override;

  TDataSet* DataSet() const { return dataset_; }
  // Raises EDatabaseError "Circular datalinks are not allowed" when the dataset is the detail
  // of this data source.
  void SetDataSet(TDataSet* dataset);
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool enabled);
  // The dataset's state as this data source last told its links; dsInactive when disabled or
  // without a dataset.
  TDataSetState State() const { return state_; }
  const std::vector<TDataLink*>& DataLinks() const { return links_; }

  // The current row changed (field null: the whole row, or another row, or the dataset opened).
  std::function<void(TField*)> OnDataChange;
  std::function<void()> OnStateChange;
  // The dataset is about to post.
  std::function<void()> OnUpdateData;

 protected:
  void Notification(TComponent* component, TOperation operation) override;

 private:
  friend class TDataSet;
  friend class TDataLink;
  // Called by the dataset.
  void DataEvent(TDataEvent event, intptr_t info);
  void UpdateState();
  void DetachDataSet();  // the dataset is going away
  void AddLink(TDataLink* link);
  void RemoveLink(TDataLink* link);

  TDataSet* dataset_ = nullptr;
  bool enabled_ = true;
  TDataSetState state_ = dsInactive;
  std::vector<TDataLink*> links_;
};

}  // namespace larkspire

#endif  // LARKSPIRE_DATASET_DATA_SOURCE_H_
