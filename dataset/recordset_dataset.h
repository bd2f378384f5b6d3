// TRecordsetDataSet: a dataset over a local recordset (dataset/recordset.h), the base of the
// remote datasets.
//
// The dataset's cursor is the recordset's cursor. The recordset is attached with SetRecordset
// (the dataset closes, takes it and opens on it), shared with another dataset through Clone, or
// supplied by the subclass's CreateRecordset when the dataset opens without one. Closing the
// dataset releases its recordset (a clone keeps the shared rows alive), so the next open asks for
// new rows.
//
// Editing writes through the recordset at Post: an insert becomes AddNew with the assigned
// values, an edit SetValue of the changed values, both committed with Update, so in the
// recordset's batch mode they accumulate as pending changes (UpdateBatch accepts them,
// CancelBatch reverts them). A post the recordset refuses leaves it as it was. New rows are
// added after the last row, whether Append or Insert started them.
//
// Column types map to field types as the framework's ADO dataset maps them: i1/i2 Smallint,
// ui1/ui2 Word, i4 Integer (AutoInc for an auto-increment column), ui4/i8/ui8 Largeint, r4/r8
// Float, currency BCD, decimal/numeric BCD when EnableBCD and they fit four decimals (FMTBcd when
// they do not, Float without EnableBCD), Boolean, dates DateTime/Date/Time, strings String or
// FixedChar, wide strings WideString, long text Memo, uuid Guid, binaries Bytes/VarBytes/Blob.
//
// Master/detail: with a DataSource whose dataset is open and MasterFields named, the dataset
// shows only the rows whose fields of the same names hold the master's current values (the
// detail filter), moves to its first row when the master's values change, and starts a new row
// with those values. A subclass that fetches its detail rows itself turns the filter off.
//
// Thread-safety: main thread only.
#ifndef LARKSPIRE_DATASET_RECORDSET_DATASET_H_
#define LARKSPIRE_DATASET_RECORDSET_DATASET_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dataset/dataset.h"
#include "dataset/recordset.h"

namespace larkspire {

enum TCursorLocation : uint8_t { clUseServer, clUseClient };

// The field type of a recordset column.
TFieldType FieldTypeOfColumn(const TRecordsetField& column, bool enable_bcd = true);

class TRecordsetDataSet : public TDataSet {
 public:
  explicit TRecordsetDataSet(TComponent* owner = nullptr);
  ~TRecordsetDataSet() override;

  // The attached recordset; null while there is none.
  TRecordset* Recordset() const { return recordset_.get(); }
  // Closes the dataset, takes the recordset and opens on it. A recordset that is not open raises
  // EDatabaseError "Recordset is not open" and leaves the dataset closed; null just closes.
  void SetRecordset(std::unique_ptr<TRecordset> recordset);
  // Attaches a clone of the source's recordset (same rows and pending changes, own cursor).
  void Clone(const TRecordsetDataSet& source, TLockType lock_type = ltUnspecified);

  // Settings, stored with the dataset (the recordset's own when one is attached).
  TLockType LockType() const { return lock_type_; }
  void SetLockType(TLockType lock_type) { lock_type_ = lock_type; }
  TCursorType CursorType() const { return cursor_type_; }
  void SetCursorType(TCursorType cursor_type) { cursor_type_ = cursor_type; }
  TCursorLocation CursorLocation() const { return cursor_location_; }
  void SetCursorLocation(TCursorLocation location) { cursor_location_ = location; }
  int CacheSize() const { return cache_size_; }
  void SetCacheSize(int size) { cache_size_ = size; }
  int MaxRecords() const { return max_records_; }
  void SetMaxRecords(int count) { max_records_ = count; }
  // Whether decimal and numeric columns become BCD fields (Float fields otherwise).
  bool EnableBCD() const { return enable_bcd_; }
  void SetEnableBCD(bool enable) { enable_bcd_ = enable; }

  // Pending changes: accept them, or revert them (an edit in progress is posted first, or
  // dropped first), then re-read the rows.
  void UpdateBatch(TAffectRecords affect = TAffectRecords::arAll);
  void CancelBatch(TAffectRecords affect = TAffectRecords::arAll);
  // Drops any edit and reverts every pending change.
  void CancelUpdates();
  // The pending state of the current row; rsUnmodified without one.
  TRowStatus RecordStatus() const;
  // A property of the recordset column behind a field ("KEYCOLUMN", "BASETABLENAME"); Empty for
  // an unknown field or property.
  TVariant FieldProperty(const std::string& field_name, const std::string& property) const;
  // The recordset column a field of this dataset shows (its type, precision and scale as the
  // rowset gives them); nullptr while closed or for a field without a column.
  const TRecordsetField* SourceColumn(const TField& field) const;

  bool CanModify() const override;

 protected:
  // Supplies the rows when the dataset opens without a recordset; null (the default) makes the
  // open fail with "No recordset to open".
  virtual std::unique_ptr<TRecordset> CreateRecordset() { return nullptr; }

  void InternalOpen() override;
  void InternalClose() override;
  void InternalInitFieldDefs() override;
  void InternalFirst() override;
  void InternalLast() override;
  bool InternalNext() override;
  bool InternalPrior() override;
  int InternalRecordCount() const override;
  int InternalRecNo() const override;
  void InternalSetRecNo(int rec_no) override;
  std::string InternalGetBookmark() const override;
  bool InternalBookmarkValid(const std::string& bookmark) const override;
  void InternalGotoBookmark(const std::string& bookmark) override;
  bool InternalLocate(const std::vector<std::string>& fields, const std::vector<TVariant>& values,
                      TLocateOptions options) override;
  TVariant ReadFieldValue(const TField& field) const override;
  TVariant ReadFieldOldValue(const TField& field) const override;
  TVariant ReadRecordValue(int rec_no, const TField& field) const override;
  void InternalPost() override;
  void InternalDelete() override;
  void InternalResync() override;

  // The recordset column of a bound field; -1 when the field has none (a definition the
  // subclass added).
  int ColumnOf(const TField& field) const;

  // Whether the rows follow the master through the detail filter; true unless a subclass says
  // otherwise.
  virtual bool UsesDetailFilter() const { return true; }
  void MasterChanged() override;
  void MasterDisabled() override;
  void DoOnNewRecord() override;

 private:
  // Filters the recordset by the master's current values (or lifts the filter when there is no
  // master to follow); true when the filter changed.
  bool ApplyDetailFilter();

  std::unique_ptr<TRecordset> recordset_;
  std::vector<int> def_columns_;  // recordset column of each field definition
  TLockType lock_type_ = ltOptimistic;
  TCursorType cursor_type_ = ctKeyset;
  TCursorLocation cursor_location_ = clUseClient;
  int cache_size_ = 1;
  int max_records_ = 0;
  bool enable_bcd_ = true;
  // The detail filter in force: the master fields' names and values.
  std::vector<std::string> detail_fields_;
  std::vector<TVariant> detail_values_;
  // The rows of the view, cached for ReadRecordValue while the rows do not change.
  mutable std::vector<const TRecordsetRow*> rows_cache_;
  mutable uint64_t rows_generation_ = ~uint64_t{0};
  mutable const TRecordsetData* rows_data_ = nullptr;
};

}  // namespace larkspire

#endif  // LARKSPIRE_DATASET_RECORDSET_DATASET_H_
