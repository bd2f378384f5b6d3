#include "dataset/recordset_dataset.h"

#include <charconv>
#include <climits>

#include "dataset/column_type.h"
#include "platform/exception.h"

namespace larkspire {
namespace {

int ClampSize(int64_t size) {
  if (size < 0) return 0;
  return size > INT_MAX ? INT_MAX : static_cast<int>(size);
}

bool ParseBookmark(const std::string& text, TBookmark& bookmark) {
  const char* end = text.data() + text.size();
  const auto result = std::from_chars(text.data(), end, bookmark);
  return !text.empty() && result.ec == std::errc() && result.ptr == end;
}

}  // namespace

TFieldType FieldTypeOfColumn(const TRecordsetField& column, bool enable_bcd) {
  const TColumnTypeTraits* traits = FindColumnType(column.DataType);
  if (!traits) return ftUnknown;
  if (traits->FieldType == ftInteger && column.AutoIncrement) return ftAutoInc;
  if (traits->Kind == TValueKind::vkDecimal) {
    if (!enable_bcd) return ftFloat;
    // A Currency holds four decimals and 19 digits; anything wider keeps its exact text.
    if (column.Scale.value_or(0) > 4 || column.Precision.value_or(0) > 18) return ftFMTBcd;
  }
  return traits->FieldType;
}

TRecordsetDataSet::TRecordsetDataSet(TComponent* owner) : TDataSet(owner) {}

TRecordsetDataSet::~TRecordsetDataSet() {
  BeginDestroy();
}

void TRecordsetDataSet::SetRecordset(std::unique_ptr<TRecordset> recordset) {
  Close();
  recordset_.reset();
  if (recordset == nullptr) return;
  if (!recordset->Active()) DatabaseError("Recordset is not open");
  recordset_ = std::move(recordset);
  Open();
}

void TRecordsetDataSet::Clone(const TRecordsetDataSet& source, TLockType lock_type) {
  if (source.recordset_ == nullptr || !source.recordset_->Active())
    DatabaseError("Recordset is not open");
  SetRecordset(source.recordset_->Clone(lock_type));
}

bool TRecordsetDataSet::CanModify() const {
  const TLockType lock = recordset_ != nullptr ? recordset_->LockType() : lock_type_;
  return lock != ltReadOnly;
}

void TRecordsetDataSet::UpdateBatch(TAffectRecords affect) {
  CheckBrowseMode();
  recordset_->AcceptChanges(affect);
  Resync();
}

void TRecordsetDataSet::CancelBatch(TAffectRecords affect) {
  CheckActive();
  Cancel();
  recordset_->CancelBatch(affect);
  Resync();
}

void TRecordsetDataSet::CancelUpdates() {
  CancelBatch(TAffectRecords::arAll);
}

TRowStatus TRecordsetDataSet::RecordStatus() const {
  if (recordset_ == nullptr || !recordset_->Active() || recordset_->Bof() || recordset_->Eof())
    return TRowStatus::rsUnmodified;
  return recordset_->Status();
}

TVariant TRecordsetDataSet::FieldProperty(const std::string& field_name,
                                          const std::string& property) const {
  if (recordset_ == nullptr || !recordset_->Active()) return TVariant();
  const int column = recordset_->FieldIndex(field_name);
  if (column < 0) return TVariant();
  return recordset_->Field(column).Property(property);
}

const TRecordsetField* TRecordsetDataSet::SourceColumn(const TField& field) const {
  if (recordset_ == nullptr || !recordset_->Active() || field.DataSet() != this) return nullptr;
  const int column = ColumnOf(field);
  return column < 0 ? nullptr : &recordset_->Field(column);
}

int TRecordsetDataSet::ColumnOf(const TField& field) const {
  const int def = field.FieldNo() - 1;
  if (def < 0 || def >= static_cast<int>(def_columns_.size())) return -1;
  return def_columns_[def];
}

void TRecordsetDataSet::InternalOpen() {
  if (recordset_ == nullptr) {
    recordset_ = CreateRecordset();
    if (recordset_ == nullptr) DatabaseError("No recordset to open");
  }
  if (!recordset_->Active()) DatabaseError("Recordset is not open");
  detail_fields_.clear();
  detail_values_.clear();
  ApplyDetailFilter();
  recordset_->MoveFirst();
}

void TRecordsetDataSet::InternalClose() {
  recordset_.reset();
  def_columns_.clear();
  rows_cache_.clear();
  rows_data_ = nullptr;
}

void TRecordsetDataSet::InternalInitFieldDefs() {
  def_columns_.clear();
  TFieldDefs& defs = FieldDefsForInit();
  for (int i = 0; i < recordset_->FieldCount(); ++i) {
    const TRecordsetField& column = recordset_->Field(i);
    if (column.Hidden) continue;
    TFieldDef def;
    def.Name = column.Name;
    def.DataType = FieldTypeOfColumn(column, enable_bcd_);
    switch (def.DataType) {
      case ftString:
      case ftFixedChar:
      case ftWideString:
      case ftBytes:
      case ftVarBytes:
        def.Size = ClampSize(column.MaxLength);
        break;
      case ftGuid:
        def.Size = 38;
        break;
      case ftBCD:
      case ftFMTBcd:
        def.Size = column.DataType == TAdoDataType::adCurrency ? 4 : column.Scale.value_or(0);
        def.Precision =
            column.DataType == TAdoDataType::adCurrency ? 19 : column.Precision.value_or(0);
        break;
      default:
        break;
    }
    defs.Add(std::move(def));
    def_columns_.push_back(i);
  }
}

void TRecordsetDataSet::InternalFirst() {
  recordset_->MoveFirst();
}

void TRecordsetDataSet::InternalLast() {
  recordset_->MoveLast();
}

bool TRecordsetDataSet::InternalNext() {
  const int64_t count = recordset_->RecordCount();
  const int64_t position = recordset_->AbsolutePosition();
  if (count == 0 || position == count) return false;
  if (position == adPosEOF) {
    recordset_->MoveLast();
    return false;
  }
  if (position < 1)
    recordset_->MoveFirst();
  else
    recordset_->MoveNext();
  return true;
}

bool TRecordsetDataSet::InternalPrior() {
  const int64_t count = recordset_->RecordCount();
  const int64_t position = recordset_->AbsolutePosition();
  if (count == 0 || position == 1) return false;
  if (position < 1 && position != adPosEOF) {
    recordset_->MoveFirst();
    return false;
  }
  if (position == adPosEOF)
    recordset_->MoveLast();
  else
    recordset_->MovePrevious();
  return true;
}

int TRecordsetDataSet::InternalRecordCount() const {
  if (recordset_ == nullptr || !recordset_->Active()) return 0;
  return ClampSize(recordset_->RecordCount());
}

int TRecordsetDataSet::InternalRecNo() const {
  if (recordset_ == nullptr || !recordset_->Active()) return 0;
  const int64_t position = recordset_->AbsolutePosition();
  return position > 0 ? ClampSize(position) : 0;
}

void TRecordsetDataSet::InternalSetRecNo(int rec_no) {
  recordset_->SetAbsolutePosition(rec_no);
}

std::string TRecordsetDataSet::InternalGetBookmark() const {
  if (recordset_->Bof() || recordset_->Eof()) return "";
  return std::to_string(recordset_->Bookmark());
}

bool TRecordsetDataSet::InternalBookmarkValid(const std::string& bookmark) const {
  TBookmark id;
  return recordset_ != nullptr && ParseBookmark(bookmark, id) && recordset_->BookmarkValid(id);
}

void TRecordsetDataSet::InternalGotoBookmark(const std::string& bookmark) {
  TBookmark id;
  if (!ParseBookmark(bookmark, id) || !recordset_->BookmarkValid(id))
    DatabaseError("Record not found");
  recordset_->SetBookmark(id);
}

bool TRecordsetDataSet::InternalLocate(const std::vector<std::string>& fields,
                                       const std::vector<TVariant>& values,
                                       TLocateOptions options) {
  return recordset_->Locate(fields, values, options);
}

TVariant TRecordsetDataSet::ReadFieldValue(const TField& field) const {
  const int column = ColumnOf(field);
  if (column < 0 || recordset_ == nullptr || recordset_->Bof() || recordset_->Eof())
    return TVariant::Null();
  return recordset_->Value(column);
}

TVariant TRecordsetDataSet::ReadFieldOldValue(const TField& field) const {
  const int column = ColumnOf(field);
  if (column < 0 || recordset_ == nullptr || recordset_->Bof() || recordset_->Eof())
    return TVariant::Null();
  return recordset_->OriginalValue(column);
}

TVariant TRecordsetDataSet::ReadRecordValue(int rec_no, const TField& field) const {
  const int column = ColumnOf(field);
  if (column < 0) return TVariant::Null();
  const TRecordsetData& data = recordset_->Data();
  // The view's rows change only with the generation (or a change of view).
  const uint64_t key = data.Generation * 2 + (recordset_->Filter() == TFilterGroup::fgNone ? 0 : 1);
  if (rows_data_ != &data || rows_generation_ != key) {
    rows_cache_ = recordset_->ViewRows();
    rows_data_ = &data;
    rows_generation_ = key;
  }
  if (rec_no < 1 || rec_no > static_cast<int>(rows_cache_.size())) return TVariant::Null();
  const TRecordsetRow& row = *rows_cache_[rec_no - 1];
  if (column >= static_cast<int>(row.Values.size())) return TVariant::Null();
  return row.Values[column];
}

void TRecordsetDataSet::InternalPost() {
  TRecordset& recordset = *recordset_;
  try {
    if (State() == dsInsert) recordset.AddNew();
    for (int i = 0; i < FieldCount(); ++i) {
      if (!FieldAssigned(i)) continue;
      const int column = ColumnOf(Fields(i));
      if (column >= 0) recordset.SetValue(column, EditBuffer()[i]);
    }
    recordset.Update();
  } catch (...) {
    // Leave the rows as they were: an added row goes away, an edit is dropped.
    try {
      if (recordset.EditMode() != TEditMode::emNone) recordset.CancelUpdate();
    } catch (...) {
    }
    throw;
  }
}

void TRecordsetDataSet::InternalDelete() {
  recordset_->Delete();
}

bool TRecordsetDataSet::ApplyDetailFilter() {
  std::vector<std::string> fields;
  std::vector<TVariant> values;
  if (UsesDetailFilter() && MasterLink().Active()) {
    for (const TField* field : MasterLink().Fields()) {
      fields.push_back(field->FieldName());
      values.push_back(field->Value());
    }
  }
  if (fields == detail_fields_ && values == detail_values_ &&
      recordset_->ValueFiltered() == !fields.empty())
    return false;
  recordset_->SetValueFilter(fields, values);
  detail_fields_ = std::move(fields);
  detail_values_ = std::move(values);
  rows_generation_ = ~uint64_t{0};
  return true;
}

void TRecordsetDataSet::MasterChanged() {
  TDataSet::MasterChanged();
  if (!Active() || recordset_ == nullptr || !recordset_->Active()) return;
  if (!ApplyDetailFilter()) return;
  Resync();
  First();
}

void TRecordsetDataSet::MasterDisabled() {
  if (!Active() || recordset_ == nullptr || !recordset_->Active()) return;
  CheckBrowseMode();
  if (!ApplyDetailFilter()) return;
  Resync();
  First();
}

void TRecordsetDataSet::DoOnNewRecord() {
  if (UsesDetailFilter() && MasterLink().Active()) {
    for (const TField* master : MasterLink().Fields()) {
      TField* detail = FindField(master->FieldName());
      if (detail != nullptr && !detail->ReadOnly()) detail->SetValue(master->Value());
    }
  }
  TDataSet::DoOnNewRecord();
}

void TRecordsetDataSet::InternalResync() {
  if (recordset_ == nullptr || !recordset_->Active()) return;
  if (recordset_->RecordCount() == 0) return;
  if (recordset_->Eof())
    recordset_->MoveLast();
  else if (recordset_->Bof())
    recordset_->MoveFirst();
}

}  // namespace larkspire
