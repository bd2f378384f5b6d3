// TDataSet: the abstract dataset of the framework: states, navigation, editing, fields, events
// and the notification of data links. A subclass supplies the storage through the protected
// Internal* hooks (TRecordsetDataSet keeps its rows in a local recordset).
//
// States: dsInactive (closed), dsBrowse, dsEdit (the current row is being changed), dsInsert (a
// new row is being built). While editing, field values live in the dataset's edit buffer; Post
// writes the buffer into the storage (InternalPost) and returns to browse; a failed post leaves
// the state and the buffer as they were. Cancel drops the buffer.
//
// Cursor flags: BOF is true after Open and First, and after a Prior that could not move; EOF
// after Last and after a Next that could not move; both on an empty dataset. A Next or Prior
// that is tried clears both before it moves (so a Prior back to row 1 leaves BOF false until one
// more Prior). Moving to a row by number, bookmark or Locate clears both. After a post, cancel
// or delete a flag stays only while the row is still at that end. Append sets EOF.
//
// Events, each called only when assigned: BeforeOpen, AfterOpen, then AfterScroll when the
// opened dataset has rows; BeforeClose, AfterClose; BeforeScroll, AfterScroll around every move
// (a Next at EOF or a Prior at BOF tries nothing and fires only BeforeScroll); BeforeInsert,
// OnNewRecord, AfterInsert (inserting scrolls too); BeforeEdit, AfterEdit; BeforePost, AfterPost;
// BeforeCancel, AfterCancel; BeforeDelete, AfterDelete (deleting scrolls too). A subclass hooks
// into each through the virtual Do* operation that fires it.
//
// Opening runs BeforeOpen, then OpenCursor (which by default runs InternalOpen, builds the field
// definitions and fields), then completes: when the cursor opened, state browse, AfterOpen and
// AfterScroll; otherwise the dataset stays closed. OpenCursor may itself open the dataset
// completely (a subclass that fetches rows and attaches them): the completion then runs again,
// with its events, for the outer open.
//
// Thread-safety: main thread only.
#ifndef LARKSPIRE_DATASET_DATASET_H_
#define LARKSPIRE_DATASET_DATASET_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "dataset/data_source.h"
#include "dataset/field.h"
#include "dataset/master_link.h"
#include "dataset/recordset.h"
#include "platform/component.h"
#include "platform/variant.h"

namespace larkspire {

class TDataSet : public TComponent {
 public:
  using TDataSetNotifyEvent = std::function<void(TDataSet&)>;

  explicit TDataSet(TComponent* owner = nullptr);
  ~TDataSet() override;

  // Opening and closing. Setting Active while the component is loading its stored properties is
  // remembered and applied when loading ends.
  void Open() { SetActive(true); }
  void Close() { SetActive(false); }
  bool Active() const { return state_ != dsInactive; }
  void SetActive(bool active);
  TDataSetState State() const { return state_; }
  // Re-reads the rows; by default posts or cancels an edit and re-reads the buffers.
  virtual void Refresh();

  // Navigation; each raises EDatabaseError on a closed dataset and first leaves edit state
  // (posting a modified row, cancelling an unmodified one).
  void First();
  void Last();
  void Next() { MoveBy(1); }
  void Prior() { MoveBy(-1); }
  // Moves by distance rows, stopping at either end; returns the rows actually moved.
  int MoveBy(int distance);
  bool Bof() const { return bof_; }
  bool Eof() const { return eof_; }
  // Closed, or open without rows and not inserting.
  bool IsEmpty() const;
  // 1-based number of the current row; 0 when the dataset has no rows, -1 while inserting.
  int RecNo() const;
  // Moves to the row of that number; a number outside the rows does nothing.
  void SetRecNo(int rec_no);
  int RecordCount() const;
  // The current row's bookmark as text; empty when there is no current row.
  std::string Bookmark() const;
  // Moves to the row; EDatabaseError "Record not found" when it no longer exists.
  void SetBookmark(const std::string& bookmark);
  bool BookmarkValid(const std::string& bookmark) const;

  // Moves to the first row whose fields (names separated by ";") hold the values; false, and
  // the cursor unmoved, when there is none. Without options whole values are compared, case
  // sensitively. AfterScroll fires only when a row was found.
  bool Locate(const std::string& key_fields, const std::vector<TVariant>& key_values,
              TLocateOptions options = 0);
  bool Locate(const std::string& key_fields, const TVariant& key_value,
              TLocateOptions options = 0) {
    return Locate(key_fields, std::vector<TVariant>{key_value}, options);
  }
  // The value of result_field in the first row that Locate would find, without moving; Null when
  // there is none.
  TVariant Lookup(const std::string& key_fields, const std::vector<TVariant>& key_values,
                  const std::string& result_field);

  // Fields.
  int FieldCount() const { return static_cast<int>(fields_.size()); }
  TField& Fields(int index) const { return *fields_.at(index); }
  const std::vector<std::unique_ptr<TField>>& FieldList() const { return fields_; }
  // Case-insensitive by FieldName; FindField gives null, FieldByName raises EDatabaseError
  // "Field 'X' not found".
  TField* FindField(const std::string& field_name) const;
  TField& FieldByName(const std::string& field_name) const;
  // The fields named in a ";"-separated list, in its order; raises for a missing one.
  std::vector<TField*> GetFieldList(const std::string& field_names) const;
  // Adds a persistent field; the dataset owns it. Raises while the dataset is open.
  TField& AddField(std::unique_ptr<TField> field);
  template <class F, class... Args>
  F& AddField(Args&&... args) {
    return static_cast<F&>(AddField(std::make_unique<F>(std::forward<Args>(args)...)));
  }
  // Removes every persistent field; raises while open.
  void ClearFields();
  const TFieldDefs& FieldDefs() const { return field_defs_; }
  // The value of a field of another row (1-based rec_no), without moving; Null outside the rows.
  // Meant for views that show many rows at once.
  TVariant RecordValue(int rec_no, const TField& field) const;

  // Editing.
  void Append();
  void Insert();
  // Starts editing the current row; on an empty dataset starts inserting.
  void Edit();
  virtual void Post();
  void Cancel();
  void Delete();
  // Tells the links to write their pending edits into the fields; raises when not editing.
  void UpdateRecord();
  // Leaves edit state: posts a modified row, cancels an unmodified one.
  void CheckBrowseMode();
  bool Modified() const { return modified_; }
  virtual bool CanModify() const { return true; }

  // Value access for the fields. While editing the edit buffer is read and written; otherwise
  // reads go to the storage (ReadFieldValue) and writes raise EDatabaseError "Dataset not in edit
  // or insert mode". Writing a read-only field raises "Field 'X' cannot be modified".
  virtual TVariant GetFieldValue(const TField& field) const;
  virtual void SetFieldValue(TField& field, const TVariant& value);
  virtual TVariant GetFieldOldValue(const TField& field) const;

  // Controls: while disabled, data links hear nothing; the last EnableControls tells them once.
  void DisableControls();
  void EnableControls();
  bool ControlsDisabled() const { return disable_count_ > 0; }
  // Re-reads the current row and tells the links the rows changed. Subclasses call it after they
  // change the storage behind the dataset's back.
  void Resync();

  // Master/detail: the master's data source and the master fields this dataset follows.
  TDataSource* DataSource() const { return master_link_.DataSource(); }
  void SetDataSource(TDataSource* source);
  const std::string& MasterFields() const { return master_link_.FieldNames(); }
  void SetMasterFields(const std::string& names) { master_link_.SetFieldNames(names); }
  TMasterDataLink& MasterLink() { return master_link_; }
  const TMasterDataLink& MasterLink() const { return master_link_; }

  // The data sources that show this dataset.
  const std::vector<TDataSource*>& DataSources() const { return data_sources_; }

  TDataSetNotifyEvent BeforeOpen, AfterOpen, BeforeClose, AfterClose;
  TDataSetNotifyEvent BeforeInsert, AfterInsert, BeforeEdit, AfterEdit;
  TDataSetNotifyEvent BeforePost, AfterPost, BeforeCancel, AfterCancel;
  TDataSetNotifyEvent BeforeDelete, AfterDelete, BeforeScroll, AfterScroll;
  TDataSetNotifyEvent OnNewRecord;

 protected:
  // Storage hooks. The storage has one cursor; InternalOpen leaves it on the first row.
  virtual void InternalOpen() = 0;
  virtual void InternalClose() = 0;
  // Fills FieldDefsForInit() with the columns; runs after InternalOpen.
  virtual void InternalInitFieldDefs() = 0;
  virtual void InternalFirst() = 0;
  virtual void InternalLast() = 0;
  // Move one row; false, and the cursor unmoved, at the end.
  virtual bool InternalNext() = 0;
  virtual bool InternalPrior() = 0;
  virtual int InternalRecordCount() const = 0;
  // 1-based position of the current row; 0 when there is none.
  virtual int InternalRecNo() const = 0;
  virtual void InternalSetRecNo(int rec_no) = 0;
  virtual std::string InternalGetBookmark() const = 0;
  virtual bool InternalBookmarkValid(const std::string& bookmark) const = 0;
  virtual void InternalGotoBookmark(const std::string& bookmark) = 0;
  // fields are the FieldNames of the key fields.
  virtual bool InternalLocate(const std::vector<std::string>& fields,
                              const std::vector<TVariant>& values, TLocateOptions options) = 0;
  // The bound field's value in the current row of the storage.
  virtual TVariant ReadFieldValue(const TField& field) const = 0;
  virtual TVariant ReadFieldOldValue(const TField& field) const { return ReadFieldValue(field); }
  virtual TVariant ReadRecordValue(int rec_no, const TField& field) const = 0;
  // Writes the edit buffer (EditBuffer, FieldAssigned) into the storage: a new row in dsInsert,
  // the changed values in dsEdit. On failure it raises and leaves the storage as it was.
  virtual void InternalPost() = 0;
  // Deletes the current row; the cursor stands on the next row, or the new last one.
  virtual void InternalDelete() = 0;
  // Extra work when an edit or insert is dropped (the buffer is dropped by the framework).
  virtual void InternalCancel() {}
  // Fills a fresh edit buffer for a new row (Null everywhere by default).
  virtual void InternalInitRecord();
  // Re-reads the storage's current row and brings its cursor onto a row when it has rows.
  virtual void InternalResync() {}

  // The framework steps a subclass may extend.
  virtual void OpenCursor();
  virtual void CloseCursor();
  // Runs InternalOpen and builds definitions and fields; the cursor is then open.
  void DoInternalOpen();
  void Loaded() override;
  virtual void MasterChanged();
  virtual void MasterDisabled() {}

  virtual void DoBeforeOpen() { Fire(BeforeOpen); }
  // Ends an open: browse state and the after-open events, or closed again when the cursor did
  // not open.
  void OpenCursorComplete();
  virtual void DoAfterOpen() { Fire(AfterOpen); }
  virtual void DoBeforeClose() { Fire(BeforeClose); }
  virtual void DoAfterClose() { Fire(AfterClose); }
  virtual void DoBeforeInsert() { Fire(BeforeInsert); }
  virtual void DoAfterInsert() { Fire(AfterInsert); }
  virtual void DoBeforeEdit() { Fire(BeforeEdit); }
  virtual void DoAfterEdit() { Fire(AfterEdit); }
  virtual void DoBeforePost() { Fire(BeforePost); }
  virtual void DoAfterPost() { Fire(AfterPost); }
  virtual void DoBeforeCancel() { Fire(BeforeCancel); }
  virtual void DoAfterCancel() { Fire(AfterCancel); }
  virtual void DoBeforeDelete() { Fire(BeforeDelete); }
  virtual void DoAfterDelete() { Fire(AfterDelete); }
  virtual void DoBeforeScroll() { Fire(BeforeScroll); }
  virtual void DoAfterScroll() { Fire(AfterScroll); }
  virtual void DoOnNewRecord() { Fire(OnNewRecord); }

  // Tells the data sources (and through them the links) of an event, unless controls are off.
  void DataEvent(TDataEvent event, intptr_t info = 0);
  void SetState(TDataSetState state);
  // Raises EDatabaseError "<Name>: <message>" (just the message without a name).
  [[noreturn]] void DatabaseError(const std::string& message) const;
  void CheckActive() const;
  void CheckInactive() const;
  // The subclass's destructor calls this first, so closing runs its hooks and fires no events.
  void BeginDestroy();
  bool Destroying() const { return destroying_; }

  TFieldDefs& FieldDefsForInit() { return field_defs_; }
  // The edit buffer, one value per field (by Index), and which fields were assigned.
  std::vector<TVariant>& EditBuffer() { return buffer_; }
  const std::vector<TVariant>& EditBuffer() const { return buffer_; }
  bool FieldAssigned(int index) const { return assigned_.at(index); }

 private:
  friend class TDataSource;
  friend class TMasterDataLink;

  static void Fire(const TDataSetNotifyEvent& event, TDataSet& dataset) {
    if (event) event(dataset);
  }
  void Fire(const TDataSetNotifyEvent& event) { Fire(event, *this); }
  void CreateFields();
  void BindFields();
  void DestroyFields();
  void ReindexFields();
  void BeginInsertAppend();
  void EndInsertAppend();
  void CheckRequiredFields();
  void FreeEditBuffer();
  void AfterMove(int old_rec_no);
  void AddDataSource(TDataSource* source);
  void RemoveDataSource(TDataSource* source);

  TDataSetState state_ = dsInactive;
  bool streamed_active_ = false;
  bool internal_open_complete_ = false;
  bool destroying_ = false;
  bool bof_ = true;
  bool eof_ = true;
  bool modified_ = false;
  bool default_fields_ = false;
  std::vector<std::unique_ptr<TField>> fields_;
  TFieldDefs field_defs_;
  std::vector<TVariant> buffer_;
  std::vector<bool> assigned_;
  int disable_count_ = 0;
  TDataSetState disable_state_ = dsInactive;
  TDataEvent enable_event_ = TDataEvent::deDataSetChange;
  std::vector<TDataSource*> data_sources_;
  TMasterDataLink master_link_;
};

}  // namespace larkspire

#endif  // LARKSPIRE_DATASET_DATASET_H_
