// TRecordset: the local store of rows under the datasets, with the ADO recordset's behaviour.
//
// A recordset holds columns (TRecordsetField) and rows of TVariant values. It runs in batch
// mode: every insert, edit and delete is kept as a pending change (row status new, modified with
// the original values kept, deleted) until AcceptChanges makes it part of the rows or CancelBatch
// reverts it. The rows and their pending changes live in a TRecordsetData shared by a recordset
// and its clones; every recordset has its own cursor, edit buffer and filter. Rows are opened from
// and saved to the ADO XML persistence format (dataset/ado_xml.h).
//
// Cursor rules: Bof() and Eof() are both true on an empty recordset; MoveNext past the last row
// gives Eof(), MovePrevious before the first gives Bof(). Moving or adding a row while an edit is
// in progress commits the edit first (Update), as ADO does. Rows deleted but not yet accepted are
// not visible, except through the pending-records filter.
//
// Values are stored in the kind that suits the column (dataset/value_coercion.h).
//
// Thread-safety: a recordset and all its clones are used by one thread at a time.
#ifndef LARKSPIRE_DATASET_RECORDSET_H_
#define LARKSPIRE_DATASET_RECORDSET_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "dataset/recordset_field.h"
#include "dataset/value_coercion.h"
#include "platform/stream.h"
#include "platform/variant.h"

namespace larkspire {

// Lock and cursor types with ADO's values.
enum TLockType : int {
  ltUnspecified = -1,
  ltReadOnly = 1,
  ltPessimistic = 2,
  ltOptimistic = 3,
  ltBatchOptimistic = 4,
};
enum TCursorType : int {
  ctUnspecified = -1,
  ctOpenForwardOnly = 0,
  ctKeyset = 1,
  ctDynamic = 2,
  ctStatic = 3,
};

// The pending state of a row.
enum class TRowStatus { rsUnmodified, rsNew, rsModified, rsDeleted };

// ADO's EditMode of the cursor.
enum class TEditMode { emNone, emInProgress, emAdd };

// Which rows AcceptChanges and CancelBatch act on.
enum class TAffectRecords { arCurrent, arAll };

// The view of the rows: every row not deleted, or only the rows with a pending change (deleted
// ones included), as ADO's adFilterPendingRecords.
enum class TFilterGroup { fgNone, fgPendingRecords };

// Options of Locate, combined with |.
enum TLocateOption : unsigned { loCaseInsensitive = 1, loPartialKey = 2 };
using TLocateOptions = unsigned;

// A stable row identity: unique within a recordset and its clones for their whole life.
using TBookmark = int64_t;

// Cursor positions reported by AbsolutePosition when there is no current row.
constexpr int64_t adPosUnknown = -1;
constexpr int64_t adPosBOF = -2;
constexpr int64_t adPosEOF = -3;

// The schema of a rowset: its columns and what the XML format keeps beside them.
struct TRecordsetSchema {
  std::vector<TRecordsetField> Fields;
  // Attributes of the row element type besides name and content (rs:updatable,
  // rs:CommandTimeout, rs:ReshapeName, ...), in their order.
  TXmlAttributes RowAttributes{{"rs:updatable", "true"}};
  // Child rowsets of a shaped document (nested s:ElementType), kept as their XML text.
  std::vector<std::string> OpaqueSchema;

  bool operator==(const TRecordsetSchema& other) const = default;
};

// One row with its pending state.
struct TRecordsetRow {
  TBookmark Id = 0;
  TRowStatus Status = TRowStatus::rsUnmodified;
  std::vector<TVariant> Values;    // the current values (of a deleted row: its values)
  std::vector<TVariant> Original;  // modified rows: the values before the change; else empty
  std::vector<bool> Modified;      // modified rows: the columns assigned; else empty
  std::string Opaque;              // child rows of a shaped document, as XML text

  // Same state and values (the identity is not compared).
  bool SameContent(const TRecordsetRow& other) const;
};

// The rows shared by a recordset and its clones.
struct TRecordsetData {
  TRecordsetSchema Schema;
  std::vector<std::unique_ptr<TRecordsetRow>> Rows;  // in recordset order
  TBookmark NextId = 1;
  // Raised by every change of which rows exist or of a row's status, so cursors re-sync.
  uint64_t Generation = 0;
  // The run of AppendRow calls with no other change between them: the generations before its
  // first and after its last append. A cursor whose view was taken within the run only has the
  // rows appended since to look at, so building rows one by one stays linear.
  uint64_t AppendRunStart = ~uint64_t{0};
  uint64_t AppendRunEnd = ~uint64_t{0};

  TRecordsetRow& AppendRow(TRowStatus status, std::vector<TVariant> values);
  int FieldIndex(std::string_view name) const;  // case-insensitive; -1 when absent
  // Same schema and same rows in the same order with the same state and values.
  bool SameContent(const TRecordsetData& other) const;
};

class TRecordset {
 public:
  TRecordset();
  ~TRecordset();
  TRecordset(const TRecordset&) = delete;
  TRecordset& operator=(const TRecordset&) = delete;

  // Opening replaces the rows with those of an ADO XML document read from the stream's position
  // to its end (pending-change blocks become pending changes) and moves to the first row. A
  // document that does not follow the format raises EMalformedData; the recordset then stays
  // closed. options is the command type's value; it is kept, not used.
  void Open(TStream& source, TCursorType cursor_type = ctUnspecified,
            TLockType lock_type = ltUnspecified, int options = -1);
  void OpenFromString(std::string_view text, TCursorType cursor_type = ctUnspecified,
                      TLockType lock_type = ltUnspecified, int options = -1);
  void OpenFromFile(const std::string& path, TCursorType cursor_type = ctUnspecified,
                    TLockType lock_type = ltUnspecified, int options = -1);
  // Opens an empty recordset with these columns (numbered in order when Number is 0).
  void CreateFields(std::vector<TRecordsetField> fields, TLockType lock_type = ltBatchOptimistic);
  void Close();
  bool Active() const { return data_ != nullptr; }

  // Writes the ADO XML document of the rows in the current view, pending changes as their
  // blocks, at the target's position. An edit in progress is not included. With the
  // pending-records filter the document holds only the change blocks (a delta).
  void Save(TStream& target) const;
  std::string SaveToString() const;
  void SaveToFile(const std::string& path) const;

  // A second recordset over the same rows and pending changes, on its first row, unfiltered.
  std::unique_ptr<TRecordset> Clone(TLockType lock_type = ltUnspecified) const;

  TCursorType CursorType() const { return cursor_type_; }
  TLockType LockType() const { return lock_type_; }
  int Options() const { return options_; }

  // Columns.
  const TRecordsetSchema& Schema() const;
  const std::vector<TRecordsetField>& Fields() const;
  int FieldCount() const;
  const TRecordsetField& Field(int index) const;
  // Case-insensitive, as ADO; -1 when there is no such field.
  int FieldIndex(std::string_view name) const;
  // Raises EDatabaseError naming the field when there is none.
  int FieldIndexOrRaise(std::string_view name) const;

  // Navigation over the current view.
  void MoveFirst();
  void MoveLast();
  void MoveNext();
  void MovePrevious();
  bool Bof() const;
  bool Eof() const;
  int64_t RecordCount() const;
  // 1-based position of the current row, or adPosBOF / adPosEOF.
  int64_t AbsolutePosition() const;
  // Moves to the row at a 1-based position; EDatabaseError when out of range.
  void SetAbsolutePosition(int64_t position);

  // Bookmarks: the current row's identity, and moving back to it (EDatabaseError when the row
  // is no longer in the view).
  TBookmark Bookmark() const;
  void SetBookmark(TBookmark bookmark);
  bool BookmarkValid(TBookmark bookmark) const;

  // The current row's values (the edit buffer while an edit is in progress). Without a current
  // row these raise EDatabaseError.
  const TVariant& Value(int field) const;
  const TVariant& Value(std::string_view field) const;
  // The value before the pending change (the current value when the row has none).
  const TVariant& OriginalValue(int field) const;
  // Whether the column was assigned in the row's pending change or the edit in progress.
  bool FieldModified(int field) const;
  TRowStatus Status() const;
  TEditMode EditMode() const { return edit_mode_; }

  // Editing. SetValue starts an edit of the current row when none is in progress and stores the
  // value converted for its column (CoerceFieldValue). Update commits the edit as a pending
  // change. AddNew appends a new row of Nulls and stands on it (the row is pending new once
  // Update commits it; it exists from AddNew on). A read-only recordset raises EDatabaseError.
  void SetValue(int field, const TVariant& value);
  void SetValue(std::string_view field, const TVariant& value);
  void AddNew();
  void Update();
  // Drops the edit in progress (an added row goes away); without one, withdraws the current
  // row's pending change: a modified row gets its original values, a new row goes away, a deleted
  // row (seen through the pending filter) comes back.
  void CancelUpdate();
  // Deletes the current row as a pending deletion (a new row goes away at once) and stands on
  // the next row, or on the new last row, or at Bof and Eof when none is left.
  void Delete();
  // Appends a row without pending change (building rowsets in code); values in field order.
  void AppendRow(std::vector<TVariant> values);

  // Pending changes. AcceptChanges makes them part of the rows (deleted rows go away);
  // CancelBatch reverts them (deleted rows return, new rows go away, modified rows get their
  // original values). An edit in progress is committed first by AcceptChanges, dropped first by
  // CancelBatch.
  void AcceptChanges(TAffectRecords affect = TAffectRecords::arAll);
  void CancelBatch(TAffectRecords affect = TAffectRecords::arAll);
  int64_t PendingCount() const;
  // Drops every row with a pending change (of this recordset and its clones) and appends these
  // rows after the others, with fresh identities and the state they hold; then stands on the
  // first row. An edit in progress is dropped. For merging the rows a server returns.
  void ReplaceChangedRows(std::vector<std::unique_ptr<TRecordsetRow>> rows);

  // The view; setting it moves to the first row.
  void SetFilter(TFilterGroup filter);
  TFilterGroup Filter() const { return filter_; }
  // Narrows the view further to the rows whose fields hold the values, compared as Locate
  // compares them without options (a value the column cannot hold matches no row); empty lists
  // lift it. The row an AddNew is building stays in the view. Moves to the first row. Raises
  // EDatabaseError for an unknown field; a clone or a new open starts without it.
  void SetValueFilter(const std::vector<std::string>& fields, const std::vector<TVariant>& values);
  bool ValueFiltered() const { return value_filter_.has_value(); }

  // Moves to the first row, from the first of the view, whose fields hold the values; false (and
  // the cursor unmoved) when there is none. Without options the whole value is compared, case
  // sensitive; Null matches Null. Raises EDatabaseError for an unknown field.
  bool Locate(const std::vector<std::string>& fields, const std::vector<TVariant>& values,
              TLocateOptions options = 0);
  // The same search without moving.
  std::optional<TBookmark> Find(const std::vector<std::string>& fields,
                                const std::vector<TVariant>& values,
                                TLocateOptions options = 0) const;

  // The shared rows (for the XML writer, the server and tests).
  const TRecordsetData& Data() const;
  // The rows of the current view, in order.
  std::vector<const TRecordsetRow*> ViewRows() const;

 private:
  enum class TCursorState { csOnRow, csBof, csEof, csBoth };
  // A field and the value it must hold, as the search compares them.
  struct TValueKey {
    int index;
    TVariant value;
    bool text;
  };

  // The keys of a search; none when a value cannot be held by its column (no row matches).
  std::optional<std::vector<TValueKey>> MakeKeys(const std::vector<std::string>& fields,
                                                 const std::vector<TVariant>& values) const;
  static bool Matches(const TRecordsetRow& row, const std::vector<TValueKey>& keys,
                      TLocateOptions options);

  void Install(std::shared_ptr<TRecordsetData> data, TCursorType cursor_type, TLockType lock_type,
               int options);
  void CheckActive() const;
  void CheckWritable() const;
  bool InView(const TRecordsetRow& row) const;
  void Sync() const;                  // rebuilds the view when the rows changed
  bool SyncAppended() const;          // extends the view by rows appended since; false if not so
  TRecordsetRow* CurrentRow() const;  // null when there is no current row
  TRecordsetRow& CurrentRowOrRaise() const;
  void SetCursorIndex(int64_t index) const;  // clamps to the view; empty view gives csBoth
  void PlaceAfterRemoval(int64_t old_index) const;
  TRecordsetRow* EditedRow() const;  // the row of the edit in progress, if still there
  void CommitEdit();
  void DropEdit();
  void RemoveRow(TBookmark id);
  void Touch();

  std::shared_ptr<TRecordsetData> data_;
  TCursorType cursor_type_ = ctUnspecified;
  TLockType lock_type_ = ltUnspecified;
  int options_ = -1;
  TFilterGroup filter_ = TFilterGroup::fgNone;
  // The value filter: absent when lifted; holding no keys list when nothing can match.
  std::optional<std::optional<std::vector<TValueKey>>> value_filter_;

  // The view and cursor, re-synced when data_->Generation moves on.
  mutable std::vector<TRecordsetRow*> view_;
  mutable uint64_t view_generation_ = ~uint64_t{0};
  mutable TCursorState state_ = TCursorState::csBoth;
  mutable int64_t index_ = -1;  // position in view_ while on a row
  mutable TBookmark current_ = 0;

  // The edit in progress.
  TEditMode edit_mode_ = TEditMode::emNone;
  std::vector<TVariant> edit_values_;
  std::vector<bool> edit_assigned_;
  TBookmark edit_row_ = 0;
};

}  // namespace larkspire

#endif  // LARKSPIRE_DATASET_RECORDSET_H_
