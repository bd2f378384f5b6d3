#include "dataset/recordset.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "dataset/ado_xml.h"
#include "dataset/column_type.h"
#include "platform/exception.h"

namespace larkspire {
namespace {

constexpr char kNoCurrentRow[] =
    "Either BOF or EOF is True, or the current record has been deleted. Requested operation "
    "requires a current record.";

bool IsTextColumn(const TRecordsetField& field) {
  const TColumnTypeTraits* traits = ColumnTypeOf(field);
  return traits && traits->Kind == TValueKind::vkString;
}

bool MatchText(const std::string& value, const std::string& key, TLocateOptions options) {
  if (options & loPartialKey) {
    if (value.size() < key.size()) return false;
    const std::string_view head(value.data(), key.size());
    return (options & loCaseInsensitive) ? EqualsIgnoreCase(head, key) : head == key;
  }
  return (options & loCaseInsensitive) ? EqualsIgnoreCase(value, key) : value == key;
}

}  // namespace

// --- Rows ---------------------------------------------------------------------------------------

bool TRecordsetRow::SameContent(const TRecordsetRow& other) const {
  return Status == other.Status && Values == other.Values && Original == other.Original &&
         Modified == other.Modified && Opaque == other.Opaque;
}

TRecordsetRow& TRecordsetData::AppendRow(TRowStatus status, std::vector<TVariant> values) {
  auto row = std::make_unique<TRecordsetRow>();
  row->Id = NextId++;
  row->Status = status;
  row->Values = std::move(values);
  row->Values.resize(Schema.Fields.size(), TVariant::Null());
  Rows.push_back(std::move(row));
  if (AppendRunEnd != Generation) AppendRunStart = Generation;
  AppendRunEnd = ++Generation;
  return *Rows.back();
}

int TRecordsetData::FieldIndex(std::string_view name) const {
  for (size_t i = 0; i < Schema.Fields.size(); ++i)
    if (EqualsIgnoreCase(Schema.Fields[i].Name, name)) return static_cast<int>(i);
  return -1;
}

bool TRecordsetData::SameContent(const TRecordsetData& other) const {
  if (!(Schema == other.Schema) || Rows.size() != other.Rows.size()) return false;
  for (size_t i = 0; i < Rows.size(); ++i)
    if (!Rows[i]->SameContent(*other.Rows[i])) return false;
  return true;
}

// --- Recordset ----------------------------------------------------------------------------------

TRecordset::TRecordset() = default;
TRecordset::~TRecordset() = default;

void TRecordset::Install(std::shared_ptr<TRecordsetData> data, TCursorType cursor_type,
                         TLockType lock_type, int options) {
  data_ = std::move(data);
  cursor_type_ = cursor_type;
  lock_type_ = lock_type;
  options_ = options;
  filter_ = TFilterGroup::fgNone;
  value_filter_.reset();
  edit_mode_ = TEditMode::emNone;
  edit_values_.clear();
  edit_assigned_.clear();
  view_.clear();
  view_generation_ = ~uint64_t{0};
  state_ = TCursorState::csBoth;
  MoveFirst();
}

void TRecordset::Open(TStream& source, TCursorType cursor_type, TLockType lock_type, int options) {
  Close();
  const int64_t size = source.Size() - source.Position();
  // A document in memory (a reply's data) is read where it is, without a copy.
  if (auto* memory = dynamic_cast<TMemoryStream*>(&source); memory != nullptr && size > 0) {
    const std::string_view text(reinterpret_cast<const char*>(memory->Memory()) + source.Position(),
                                static_cast<size_t>(size));
    auto data = std::make_shared<TRecordsetData>(ReadAdoXml(text));
    source.SetPosition(source.Size());
    Install(std::move(data), cursor_type, lock_type, options);
    return;
  }
  std::string buffer;
  if (size > 0) {
    buffer.resize(static_cast<size_t>(size));
    source.ReadBuffer(buffer.data(), size);
  }
  auto data = std::make_shared<TRecordsetData>(ReadAdoXmlInPlace(buffer));
  Install(std::move(data), cursor_type, lock_type, options);
}

void TRecordset::OpenFromString(std::string_view text, TCursorType cursor_type, TLockType lock_type,
                                int options) {
  Close();
  auto data = std::make_shared<TRecordsetData>(ReadAdoXml(text));
  Install(std::move(data), cursor_type, lock_type, options);
}

void TRecordset::OpenFromFile(const std::string& path, TCursorType cursor_type, TLockType lock_type,
                              int options) {
  TFileStream file(path, TFileMode::fmOpenRead);
  Open(file, cursor_type, lock_type, options);
}

void TRecordset::CreateFields(std::vector<TRecordsetField> fields, TLockType lock_type) {
  Close();
  auto data = std::make_shared<TRecordsetData>();
  for (size_t i = 0; i < fields.size(); ++i) {
    TRecordsetField& f = fields[i];
    if (f.Number == 0) f.Number = static_cast<int>(i + 1);
    if (f.XmlName.empty()) f.XmlName = AdoXmlRowName(f, i);
    if (f.DataType == TAdoDataType::adEmpty) f.DataType = EffectiveDataType(f);
    if (f.DataType == TAdoDataType::adEmpty)
      throw EDatabaseError("Field '" + f.Name + "' has an unknown type '" + f.TypeName + "'");
    for (size_t j = 0; j < i; ++j)
      if (EqualsIgnoreCase(fields[j].Name, f.Name))
        throw EDatabaseError("Field name '" + f.Name + "' is used twice");
  }
  data->Schema.Fields = std::move(fields);
  Install(std::move(data), ctStatic, lock_type, -1);
}

void TRecordset::Close() {
  data_.reset();
  view_.clear();
  edit_mode_ = TEditMode::emNone;
  edit_values_.clear();
  edit_assigned_.clear();
  state_ = TCursorState::csBoth;
  filter_ = TFilterGroup::fgNone;
  value_filter_.reset();
}

void TRecordset::CheckActive() const {
  if (!data_) throw EDatabaseError("Recordset is not open");
}

void TRecordset::CheckWritable() const {
  CheckActive();
  if (lock_type_ == ltReadOnly)
    throw EDatabaseError("Current Recordset does not support updating.");
}

void TRecordset::Save(TStream& target) const {
  const std::string text = SaveToString();
  target.WriteBuffer(text.data(), static_cast<int64_t>(text.size()));
}

std::string TRecordset::SaveToString() const {
  CheckActive();
  if (filter_ == TFilterGroup::fgPendingRecords)
    return WriteAdoXml(
        *data_, [](const TRecordsetRow& row) { return row.Status != TRowStatus::rsUnmodified; });
  return WriteAdoXml(*data_);
}

void TRecordset::SaveToFile(const std::string& path) const {
  const std::string text = SaveToString();
  TFileStream file(path, TFileMode::fmCreate);
  file.WriteBuffer(text.data(), static_cast<int64_t>(text.size()));
}

std::unique_ptr<TRecordset> TRecordset::Clone(TLockType lock_type) const {
  CheckActive();
  auto clone = std::make_unique<TRecordset>();
  clone->Install(data_, cursor_type_, lock_type == ltUnspecified ? lock_type_ : lock_type,
                 options_);
  return clone;
}

const TRecordsetSchema& TRecordset::Schema() const {
  CheckActive();
  return data_->Schema;
}

const std::vector<TRecordsetField>& TRecordset::Fields() const {
  return Schema().Fields;
}

int TRecordset::FieldCount() const {
  return data_ ? static_cast<int>(Fields().size()) : 0;
}

const TRecordsetField& TRecordset::Field(int index) const {
  const auto& fields = Fields();
  if (index < 0 || index >= static_cast<int>(fields.size()))
    throw EDatabaseError("Field index " + std::to_string(index) + " out of range");
  return fields[index];
}

int TRecordset::FieldIndex(std::string_view name) const {
  CheckActive();
  return data_->FieldIndex(name);
}

int TRecordset::FieldIndexOrRaise(std::string_view name) const {
  const int index = FieldIndex(name);
  if (index < 0) throw EDatabaseError("Field '" + std::string(name) + "' not found");
  return index;
}

const TRecordsetData& TRecordset::Data() const {
  CheckActive();
  return *data_;
}

// --- View and cursor ----------------------------------------------------------------------------

bool TRecordset::InView(const TRecordsetRow& row) const {
  const bool in_group = filter_ == TFilterGroup::fgPendingRecords
                            ? row.Status != TRowStatus::rsUnmodified
                            : row.Status != TRowStatus::rsDeleted;
  if (!in_group || !value_filter_) return in_group;
  if (edit_mode_ == TEditMode::emAdd && row.Id == edit_row_) return true;
  return value_filter_->has_value() && Matches(row, **value_filter_, 0);
}

bool TRecordset::SyncAppended() const {
  // Only rows appended at the end since the view was taken: the rows before keep their place in
  // the view and the cursor stays where it is. A value filter rebuilds, since a row's values can
  // change without a new generation while it is being added.
  const TRecordsetData& data = *data_;
  if (value_filter_ || data.AppendRunEnd != data.Generation ||
      view_generation_ < data.AppendRunStart || view_generation_ >= data.Generation)
    return false;
  const uint64_t added = data.Generation - view_generation_;
  if (added > data.Rows.size()) return false;
  for (size_t i = data.Rows.size() - static_cast<size_t>(added); i < data.Rows.size(); ++i)
    if (InView(*data.Rows[i])) view_.push_back(data.Rows[i].get());
  view_generation_ = data.Generation;
  return true;
}

void TRecordset::Sync() const {
  if (!data_ || view_generation_ == data_->Generation) return;
  if (SyncAppended()) return;
  view_.clear();
  view_.reserve(data_->Rows.size());
  for (const auto& row : data_->Rows)
    if (InView(*row)) view_.push_back(row.get());
  view_generation_ = data_->Generation;
  if (state_ != TCursorState::csOnRow) return;
  if (index_ >= 0 && index_ < static_cast<int64_t>(view_.size()) && view_[index_]->Id == current_)
    return;
  for (size_t i = 0; i < view_.size(); ++i) {
    if (view_[i]->Id == current_) {
      index_ = static_cast<int64_t>(i);
      return;
    }
  }
  // The current row left the view: stand on the row that took its place, or the new last.
  PlaceAfterRemoval(index_);
}

void TRecordset::SetCursorIndex(int64_t index) const {
  if (view_.empty()) {
    state_ = TCursorState::csBoth;
    index_ = -1;
    current_ = 0;
    return;
  }
  if (index < 0) {
    state_ = TCursorState::csBof;
    index_ = -1;
    current_ = 0;
    return;
  }
  if (index >= static_cast<int64_t>(view_.size())) {
    state_ = TCursorState::csEof;
    index_ = static_cast<int64_t>(view_.size());
    current_ = 0;
    return;
  }
  state_ = TCursorState::csOnRow;
  index_ = index;
  current_ = view_[index]->Id;
}

void TRecordset::PlaceAfterRemoval(int64_t old_index) const {
  if (view_.empty()) {
    SetCursorIndex(0);
    return;
  }
  SetCursorIndex(
      std::min<int64_t>(std::max<int64_t>(old_index, 0), static_cast<int64_t>(view_.size()) - 1));
}

TRecordsetRow* TRecordset::CurrentRow() const {
  if (!data_) return nullptr;
  Sync();
  if (state_ != TCursorState::csOnRow) return nullptr;
  return view_[index_];
}

TRecordsetRow& TRecordset::CurrentRowOrRaise() const {
  CheckActive();
  TRecordsetRow* row = CurrentRow();
  if (!row) throw EDatabaseError(kNoCurrentRow);
  return *row;
}

void TRecordset::Touch() {
  ++data_->Generation;
}

void TRecordset::MoveFirst() {
  CheckActive();
  CommitEdit();
  Sync();
  SetCursorIndex(0);
}

void TRecordset::MoveLast() {
  CheckActive();
  CommitEdit();
  Sync();
  SetCursorIndex(static_cast<int64_t>(view_.size()) - 1);
}

void TRecordset::MoveNext() {
  CheckActive();
  CommitEdit();
  Sync();
  switch (state_) {
    case TCursorState::csOnRow:
      SetCursorIndex(index_ + 1);
      break;
    case TCursorState::csBof:
    case TCursorState::csBoth:
      SetCursorIndex(0);
      break;
    case TCursorState::csEof:
      break;
  }
}

void TRecordset::MovePrevious() {
  CheckActive();
  CommitEdit();
  Sync();
  switch (state_) {
    case TCursorState::csOnRow:
      SetCursorIndex(index_ - 1);
      break;
    case TCursorState::csEof:
    case TCursorState::csBoth:
      SetCursorIndex(static_cast<int64_t>(view_.size()) - 1);
      break;
    case TCursorState::csBof:
      break;
  }
}

bool TRecordset::Bof() const {
  CheckActive();
  Sync();
  return view_.empty() || state_ == TCursorState::csBof || state_ == TCursorState::csBoth;
}

bool TRecordset::Eof() const {
  CheckActive();
  Sync();
  return view_.empty() || state_ == TCursorState::csEof || state_ == TCursorState::csBoth;
}

int64_t TRecordset::RecordCount() const {
  CheckActive();
  Sync();
  return static_cast<int64_t>(view_.size());
}

int64_t TRecordset::AbsolutePosition() const {
  CheckActive();
  Sync();
  switch (state_) {
    case TCursorState::csOnRow:
      return index_ + 1;
    case TCursorState::csBof:
      return adPosBOF;
    case TCursorState::csEof:
      return adPosEOF;
    case TCursorState::csBoth:
      break;
  }
  return view_.empty() ? adPosBOF : adPosUnknown;
}

void TRecordset::SetAbsolutePosition(int64_t position) {
  CheckActive();
  CommitEdit();
  Sync();
  if (position < 1 || position > static_cast<int64_t>(view_.size()))
    throw EDatabaseError("Position " + std::to_string(position) + " is out of range 1.." +
                         std::to_string(view_.size()));
  SetCursorIndex(position - 1);
}

TBookmark TRecordset::Bookmark() const {
  return CurrentRowOrRaise().Id;
}

bool TRecordset::BookmarkValid(TBookmark bookmark) const {
  if (!data_) return false;
  Sync();
  for (const TRecordsetRow* row : view_)
    if (row->Id == bookmark) return true;
  return false;
}

void TRecordset::SetBookmark(TBookmark bookmark) {
  CheckActive();
  CommitEdit();
  Sync();
  for (size_t i = 0; i < view_.size(); ++i) {
    if (view_[i]->Id == bookmark) {
      SetCursorIndex(static_cast<int64_t>(i));
      return;
    }
  }
  throw EDatabaseError("Bookmark " + std::to_string(bookmark) + " is not a row of the recordset");
}

std::vector<const TRecordsetRow*> TRecordset::ViewRows() const {
  CheckActive();
  Sync();
  return std::vector<const TRecordsetRow*>(view_.begin(), view_.end());
}

// --- Values and editing -------------------------------------------------------------------------

const TVariant& TRecordset::Value(int field) const {
  const TRecordsetRow& row = CurrentRowOrRaise();
  if (field < 0 || field >= static_cast<int>(row.Values.size()))
    throw EDatabaseError("Field index " + std::to_string(field) + " out of range");
  if (edit_mode_ != TEditMode::emNone && row.Id == edit_row_) return edit_values_[field];
  return row.Values[field];
}

const TVariant& TRecordset::Value(std::string_view field) const {
  return Value(FieldIndexOrRaise(field));
}

const TVariant& TRecordset::OriginalValue(int field) const {
  const TRecordsetRow& row = CurrentRowOrRaise();
  if (field < 0 || field >= static_cast<int>(row.Values.size()))
    throw EDatabaseError("Field index " + std::to_string(field) + " out of range");
  if (row.Status == TRowStatus::rsModified) return row.Original[field];
  return row.Values[field];
}

bool TRecordset::FieldModified(int field) const {
  const TRecordsetRow& row = CurrentRowOrRaise();
  if (field < 0 || field >= static_cast<int>(row.Values.size()))
    throw EDatabaseError("Field index " + std::to_string(field) + " out of range");
  if (edit_mode_ != TEditMode::emNone && row.Id == edit_row_ && edit_assigned_[field]) return true;
  return row.Status == TRowStatus::rsModified && row.Modified[field];
}

TRowStatus TRecordset::Status() const {
  return CurrentRowOrRaise().Status;
}

void TRecordset::SetValue(int field, const TVariant& value) {
  CheckWritable();
  TRecordsetRow& row = CurrentRowOrRaise();
  if (row.Status == TRowStatus::rsDeleted)
    throw EDatabaseError("The row has been deleted and cannot be changed");
  const TRecordsetField& f = Field(field);
  TVariant coerced = CoerceFieldValue(f, value);
  if (edit_mode_ != TEditMode::emNone && edit_row_ != row.Id) CommitEdit();
  if (edit_mode_ == TEditMode::emNone) {
    edit_values_ = row.Values;
    edit_assigned_.assign(row.Values.size(), false);
    edit_mode_ = TEditMode::emInProgress;
    edit_row_ = row.Id;
  }
  edit_values_[field] = std::move(coerced);
  edit_assigned_[field] = true;
}

void TRecordset::SetValue(std::string_view field, const TVariant& value) {
  SetValue(FieldIndexOrRaise(field), value);
}

void TRecordset::AddNew() {
  CheckWritable();
  CommitEdit();
  TRecordsetRow& row = data_->AppendRow(TRowStatus::rsNew, {});
  // The edit begins before the view is rebuilt, so that a value filter keeps the new row.
  edit_values_ = row.Values;
  edit_assigned_.assign(row.Values.size(), false);
  edit_mode_ = TEditMode::emAdd;
  edit_row_ = row.Id;
  Sync();
  for (size_t i = view_.size(); i-- > 0;) {
    if (view_[i]->Id == row.Id) {
      SetCursorIndex(static_cast<int64_t>(i));
      break;
    }
  }
}

void TRecordset::Update() {
  CheckActive();
  CommitEdit();
}

void TRecordset::CommitEdit() {
  if (edit_mode_ == TEditMode::emNone) return;
  TRecordsetRow* row = EditedRow();
  if (!row) {
    DropEdit();
    throw EDatabaseError("The row being edited is no longer in the recordset");
  }
  const bool any =
      std::find(edit_assigned_.begin(), edit_assigned_.end(), true) != edit_assigned_.end();
  if (row->Status == TRowStatus::rsNew) {
    row->Values = std::move(edit_values_);
  } else if (any && row->Status == TRowStatus::rsUnmodified) {
    row->Original = std::move(row->Values);
    row->Values = std::move(edit_values_);
    row->Modified = std::move(edit_assigned_);
    row->Status = TRowStatus::rsModified;
    Touch();
  } else if (any && row->Status == TRowStatus::rsModified) {
    for (size_t i = 0; i < edit_assigned_.size(); ++i)
      if (edit_assigned_[i]) row->Modified[i] = true;
    row->Values = std::move(edit_values_);
  }
  DropEdit();
}

TRecordsetRow* TRecordset::EditedRow() const {
  TRecordsetRow* current = CurrentRow();
  if (current && current->Id == edit_row_) return current;
  for (const auto& row : data_->Rows)
    if (row->Id == edit_row_) return row.get();
  return nullptr;
}

void TRecordset::DropEdit() {
  edit_mode_ = TEditMode::emNone;
  edit_values_.clear();
  edit_assigned_.clear();
}

void TRecordset::RemoveRow(TBookmark id) {
  auto& rows = data_->Rows;
  auto it = std::find_if(rows.begin(), rows.end(), [id](const auto& r) { return r->Id == id; });
  if (it != rows.end()) rows.erase(it);
  Touch();
}

void TRecordset::CancelUpdate() {
  CheckActive();
  if (edit_mode_ == TEditMode::emAdd) {
    const TBookmark id = edit_row_;
    DropEdit();
    RemoveRow(id);
    Sync();
    return;
  }
  if (edit_mode_ == TEditMode::emInProgress) {
    DropEdit();
    return;
  }
  TRecordsetRow* row = CurrentRow();
  if (!row) return;
  switch (row->Status) {
    case TRowStatus::rsUnmodified:
      break;
    case TRowStatus::rsModified:
      row->Values = std::move(row->Original);
      row->Original.clear();
      row->Modified.clear();
      row->Status = TRowStatus::rsUnmodified;
      Touch();
      break;
    case TRowStatus::rsNew:
      RemoveRow(row->Id);
      break;
    case TRowStatus::rsDeleted:
      row->Status = TRowStatus::rsUnmodified;
      Touch();
      break;
  }
  Sync();
}

void TRecordset::Delete() {
  CheckWritable();
  DropEdit();
  TRecordsetRow& row = CurrentRowOrRaise();
  switch (row.Status) {
    case TRowStatus::rsDeleted:
      throw EDatabaseError("The row has already been deleted");
    case TRowStatus::rsNew:
      RemoveRow(row.Id);
      break;
    case TRowStatus::rsModified:
      row.Values = std::move(row.Original);
      row.Original.clear();
      row.Modified.clear();
      row.Status = TRowStatus::rsDeleted;
      Touch();
      break;
    case TRowStatus::rsUnmodified:
      row.Status = TRowStatus::rsDeleted;
      Touch();
      break;
  }
  Sync();
}

void TRecordset::AppendRow(std::vector<TVariant> values) {
  CheckActive();
  const auto& fields = data_->Schema.Fields;
  if (values.size() > fields.size())
    throw EDatabaseError("Row has " + std::to_string(values.size()) + " values for " +
                         std::to_string(fields.size()) + " fields");
  for (size_t i = 0; i < values.size(); ++i) values[i] = CoerceFieldValue(fields[i], values[i]);
  data_->AppendRow(TRowStatus::rsUnmodified, std::move(values));
}

// --- Pending changes ----------------------------------------------------------------------------

void TRecordset::AcceptChanges(TAffectRecords affect) {
  CheckActive();
  CommitEdit();
  auto accept = [](TRecordsetRow& row) {
    row.Status = TRowStatus::rsUnmodified;
    row.Original.clear();
    row.Modified.clear();
  };
  if (affect == TAffectRecords::arCurrent) {
    TRecordsetRow* row = CurrentRow();
    if (!row || row->Status == TRowStatus::rsUnmodified) return;
    if (row->Status == TRowStatus::rsDeleted)
      RemoveRow(row->Id);
    else
      accept(*row), Touch();
    Sync();
    return;
  }
  auto& rows = data_->Rows;
  rows.erase(std::remove_if(rows.begin(), rows.end(),
                            [](const auto& r) { return r->Status == TRowStatus::rsDeleted; }),
             rows.end());
  for (auto& row : rows) accept(*row);
  Touch();
  Sync();
}

void TRecordset::ReplaceChangedRows(std::vector<std::unique_ptr<TRecordsetRow>> rows) {
  CheckActive();
  DropEdit();
  auto& own = data_->Rows;
  own.erase(std::remove_if(own.begin(), own.end(),
                           [](const auto& r) { return r->Status != TRowStatus::rsUnmodified; }),
            own.end());
  own.reserve(own.size() + rows.size());
  for (auto& row : rows) {
    row->Id = data_->NextId++;
    own.push_back(std::move(row));
  }
  Touch();
  MoveFirst();
}

void TRecordset::CancelBatch(TAffectRecords affect) {
  CheckActive();
  if (edit_mode_ != TEditMode::emNone) CancelUpdate();
  if (affect == TAffectRecords::arCurrent) {
    CancelUpdate();
    return;
  }
  auto& rows = data_->Rows;
  rows.erase(std::remove_if(rows.begin(), rows.end(),
                            [](const auto& r) { return r->Status == TRowStatus::rsNew; }),
             rows.end());
  for (auto& row : rows) {
    if (row->Status == TRowStatus::rsModified) {
      row->Values = std::move(row->Original);
      row->Original.clear();
      row->Modified.clear();
    }
    row->Status = TRowStatus::rsUnmodified;
  }
  Touch();
  Sync();
}

int64_t TRecordset::PendingCount() const {
  CheckActive();
  int64_t count = 0;
  for (const auto& row : data_->Rows)
    if (row->Status != TRowStatus::rsUnmodified) ++count;
  return count;
}

void TRecordset::SetFilter(TFilterGroup filter) {
  CheckActive();
  CommitEdit();
  filter_ = filter;
  view_generation_ = ~uint64_t{0};
  state_ = TCursorState::csBoth;
  Sync();
  SetCursorIndex(0);
}

void TRecordset::SetValueFilter(const std::vector<std::string>& fields,
                                const std::vector<TVariant>& values) {
  CheckActive();
  if (fields.size() != values.size()) throw EDatabaseError("A filter needs one value per field");
  auto keys = MakeKeys(fields, values);
  CommitEdit();
  if (fields.empty())
    value_filter_.reset();
  else
    value_filter_ = std::move(keys);
  view_generation_ = ~uint64_t{0};
  state_ = TCursorState::csBoth;
  Sync();
  SetCursorIndex(0);
}

// --- Searching ----------------------------------------------------------------------------------

std::optional<std::vector<TRecordset::TValueKey>> TRecordset::MakeKeys(
    const std::vector<std::string>& fields, const std::vector<TVariant>& values) const {
  std::vector<TValueKey> keys;
  for (size_t i = 0; i < fields.size(); ++i) {
    const int index = FieldIndexOrRaise(fields[i]);
    const TRecordsetField& field = data_->Schema.Fields[index];
    const bool text = IsTextColumn(field);
    TVariant key;
    if (values[i].IsClear()) {
      key = TVariant::Null();
    } else if (text) {
      key = TVariant(values[i].AsString());
    } else {
      try {
        key = CoerceFieldValue(field, values[i]);
      } catch (const Exception&) {
        return std::nullopt;  // a value the column cannot hold matches no row
      }
    }
    keys.push_back({index, std::move(key), text});
  }
  return keys;
}

bool TRecordset::Matches(const TRecordsetRow& row, const std::vector<TValueKey>& keys,
                         TLocateOptions options) {
  for (const TValueKey& key : keys) {
    const TVariant& v = row.Values[key.index];
    bool match;
    if (key.value.IsNull())
      match = v.IsNull();
    else if (v.IsNull())
      match = false;
    else if (key.text)
      match = MatchText(v.AsString(), key.value.AsString(), options);
    else
      match = v == key.value;
    if (!match) return false;
  }
  return true;
}

std::optional<TBookmark> TRecordset::Find(const std::vector<std::string>& fields,
                                          const std::vector<TVariant>& values,
                                          TLocateOptions options) const {
  CheckActive();
  if (fields.size() != values.size()) throw EDatabaseError("Locate needs one value per field");
  const auto keys = MakeKeys(fields, values);
  if (!keys) return std::nullopt;
  Sync();
  for (const TRecordsetRow* row : view_)
    if (Matches(*row, *keys, options)) return row->Id;
  return std::nullopt;
}

bool TRecordset::Locate(const std::vector<std::string>& fields, const std::vector<TVariant>& values,
                        TLocateOptions options) {
  const std::optional<TBookmark> found = Find(fields, values, options);
  if (!found) return false;
  SetBookmark(*found);
  return true;
}

}  // namespace larkspire
