#include "dataset/dataset.h"

#include <strings.h>

#include <algorithm>

#include "platform/exception.h"

namespace larkspire {
namespace {

std::vector<std::string> SplitNames(const std::string& names) {
  std::vector<std::string> result;
  size_t start = 0;
  while (start <= names.size()) {
    size_t end = names.find(';', start);
    if (end == std::string::npos) end = names.size();
    size_t b = start, e = end;
    while (b < e && static_cast<unsigned char>(names[b]) <= ' ') ++b;
    while (e > b && static_cast<unsigned char>(names[e - 1]) <= ' ') --e;
    if (e > b) result.push_back(names.substr(b, e - b));
    start = end + 1;
  }
  return result;
}

bool Editing(TDataSetState state) {
  return state == dsEdit || state == dsInsert;
}

}  // namespace

TDataSet::TDataSet(TComponent* owner) : TComponent(owner), master_link_(this) {}

TDataSet::~TDataSet() {
  destroying_ = true;
  // The subclass has closed the storage (BeginDestroy); make sure nobody still sees us open.
  if (state_ != dsInactive) {
    state_ = dsInactive;
    for (TDataSource* source : std::vector<TDataSource*>(data_sources_)) source->UpdateState();
  }
  for (TDataSource* source : std::vector<TDataSource*>(data_sources_)) source->DetachDataSet();
  data_sources_.clear();
  master_link_.SetDataSource(nullptr);
}

void TDataSet::BeginDestroy() {
  destroying_ = true;
  Close();
}

void TDataSet::SetActive(bool active) {
  if (IsLoading()) {
    streamed_active_ = active;
    return;
  }
  if (active == Active()) return;
  if (active) {
    DoBeforeOpen();
    try {
      OpenCursor();
    } catch (...) {
      try {
        OpenCursorComplete();
      } catch (...) {
        // The first failure is the one to report.
      }
      throw;
    }
    OpenCursorComplete();
  } else {
    if (!destroying_) DoBeforeClose();
    SetState(dsInactive);
    CloseCursor();
    if (!destroying_) DoAfterClose();
  }
}

void TDataSet::Loaded() {
  TComponent::Loaded();
  if (streamed_active_) {
    streamed_active_ = false;
    SetActive(true);
  }
}

void TDataSet::OpenCursor() {
  DoInternalOpen();
}

void TDataSet::DoInternalOpen() {
  default_fields_ = fields_.empty();
  InternalOpen();
  field_defs_.Clear();
  InternalInitFieldDefs();
  if (default_fields_) CreateFields();
  BindFields();
  FreeEditBuffer();
  internal_open_complete_ = true;
  bof_ = true;
  eof_ = InternalRecordCount() == 0;
}

void TDataSet::OpenCursorComplete() {
  if (internal_open_complete_) {
    SetState(dsBrowse);
    DoAfterOpen();
    if (!IsEmpty()) DoAfterScroll();
  } else {
    SetState(dsInactive);
    CloseCursor();
  }
}

void TDataSet::CloseCursor() {
  internal_open_complete_ = false;
  FreeEditBuffer();
  InternalClose();
  DestroyFields();
  field_defs_.Clear();
  bof_ = eof_ = true;
}

void TDataSet::Refresh() {
  CheckBrowseMode();
  Resync();
}

void TDataSet::SetState(TDataSetState state) {
  if (state == state_) return;
  state_ = state;
  modified_ = false;
  DataEvent(TDataEvent::deUpdateState);
}

void TDataSet::DataEvent(TDataEvent event, intptr_t info) {
  if (disable_count_ == 0) {
    for (TDataSource* source : std::vector<TDataSource*>(data_sources_)) {
      if (std::find(data_sources_.begin(), data_sources_.end(), source) != data_sources_.end())
        source->DataEvent(event, info);
    }
  } else if ((event == TDataEvent::deUpdateState && state_ == dsInactive) ||
             event == TDataEvent::deLayoutChange) {
    // The fields may have been destroyed: the links must re-read them.
    enable_event_ = TDataEvent::deLayoutChange;
  }
}

void TDataSet::DisableControls() {
  if (disable_count_ == 0) {
    disable_state_ = state_;
    enable_event_ = TDataEvent::deDataSetChange;
  }
  ++disable_count_;
}

void TDataSet::EnableControls() {
  if (disable_count_ == 0) return;
  if (--disable_count_ != 0) return;
  if (disable_state_ != state_) DataEvent(TDataEvent::deUpdateState);
  if (disable_state_ != dsInactive && state_ != dsInactive) DataEvent(enable_event_);
}

void TDataSet::DatabaseError(const std::string& message) const {
  throw EDatabaseError(Name().empty() ? message : Name() + ": " + message);
}

void TDataSet::CheckActive() const {
  if (!Active()) DatabaseError("Cannot perform this operation on a closed dataset");
}

void TDataSet::CheckInactive() const {
  if (Active()) DatabaseError("Cannot perform this operation on an open dataset");
}

// Navigation.

void TDataSet::AfterMove(int old_rec_no) {
  DataEvent(TDataEvent::deDataSetScroll, InternalRecNo() - old_rec_no);
  DoAfterScroll();
}

void TDataSet::First() {
  CheckBrowseMode();
  DoBeforeScroll();
  const int old = InternalRecNo();
  InternalFirst();
  bof_ = true;
  eof_ = InternalRecordCount() == 0;
  AfterMove(old);
}

void TDataSet::Last() {
  CheckBrowseMode();
  DoBeforeScroll();
  const int old = InternalRecNo();
  InternalLast();
  eof_ = true;
  bof_ = InternalRecordCount() == 0;
  AfterMove(old);
}

int TDataSet::MoveBy(int distance) {
  CheckBrowseMode();
  DoBeforeScroll();
  int moved = 0;
  if ((distance > 0 && !eof_) || (distance < 0 && !bof_)) {
    bof_ = eof_ = false;
    for (; distance > 0; --distance, ++moved) {
      if (!InternalNext()) {
        eof_ = true;
        break;
      }
    }
    for (; distance < 0; ++distance, --moved) {
      if (!InternalPrior()) {
        bof_ = true;
        break;
      }
    }
    DataEvent(TDataEvent::deDataSetScroll, moved);
    DoAfterScroll();
  }
  return moved;
}

bool TDataSet::IsEmpty() const {
  return !Active() || (state_ != dsInsert && InternalRecordCount() == 0);
}

int TDataSet::RecNo() const {
  CheckActive();
  if (state_ == dsInsert) return -1;
  return InternalRecNo();
}

void TDataSet::SetRecNo(int rec_no) {
  CheckBrowseMode();
  if (rec_no < 1 || rec_no > InternalRecordCount() || rec_no == InternalRecNo()) return;
  DoBeforeScroll();
  const int old = InternalRecNo();
  InternalSetRecNo(rec_no);
  bof_ = eof_ = false;
  AfterMove(old);
}

int TDataSet::RecordCount() const {
  CheckActive();
  return InternalRecordCount();
}

std::string TDataSet::Bookmark() const {
  if (!Active() || state_ == dsInsert || InternalRecordCount() == 0) return "";
  return InternalGetBookmark();
}

bool TDataSet::BookmarkValid(const std::string& bookmark) const {
  return Active() && !bookmark.empty() && InternalBookmarkValid(bookmark);
}

void TDataSet::SetBookmark(const std::string& bookmark) {
  CheckBrowseMode();
  if (bookmark.empty() || !InternalBookmarkValid(bookmark)) DatabaseError("Record not found");
  DoBeforeScroll();
  const int old = InternalRecNo();
  InternalGotoBookmark(bookmark);
  bof_ = eof_ = false;
  AfterMove(old);
}

bool TDataSet::Locate(const std::string& key_fields, const std::vector<TVariant>& key_values,
                      TLocateOptions options) {
  CheckBrowseMode();
  std::vector<std::string> names;
  for (TField* field : GetFieldList(key_fields)) names.push_back(field->FieldName());
  if (names.size() != key_values.size())
    DatabaseError("Locate needs one value for each of the fields '" + key_fields + "'");
  DoBeforeScroll();
  const int old = InternalRecNo();
  if (!InternalLocate(names, key_values, options)) return false;
  bof_ = eof_ = false;
  AfterMove(old);
  return true;
}

TVariant TDataSet::Lookup(const std::string& key_fields, const std::vector<TVariant>& key_values,
                          const std::string& result_field) {
  CheckBrowseMode();
  TField& result = FieldByName(result_field);
  std::vector<std::string> names;
  for (TField* field : GetFieldList(key_fields)) names.push_back(field->FieldName());
  if (names.size() != key_values.size())
    DatabaseError("Lookup needs one value for each of the fields '" + key_fields + "'");
  if (InternalRecordCount() == 0) return TVariant::Null();
  const std::string bookmark = InternalGetBookmark();
  TVariant value = TVariant::Null();
  if (InternalLocate(names, key_values, 0)) value = ReadFieldValue(result);
  InternalGotoBookmark(bookmark);
  return value;
}

// Fields.

TField* TDataSet::FindField(const std::string& field_name) const {
  for (const auto& field : fields_)
    if (strcasecmp(field->FieldName().c_str(), field_name.c_str()) == 0) return field.get();
  return nullptr;
}

TField& TDataSet::FieldByName(const std::string& field_name) const {
  TField* field = FindField(field_name);
  if (field == nullptr) DatabaseError("Field '" + field_name + "' not found");
  return *field;
}

std::vector<TField*> TDataSet::GetFieldList(const std::string& field_names) const {
  std::vector<TField*> result;
  for (const std::string& name : SplitNames(field_names)) result.push_back(&FieldByName(name));
  return result;
}

TField& TDataSet::AddField(std::unique_ptr<TField> field) {
  CheckInactive();
  if (field == nullptr) DatabaseError("No field to add");
  if (field->dataset_ != nullptr)
    DatabaseError("Field '" + field->FieldName() + "' belongs to a dataset");
  if (FindField(field->FieldName()) != nullptr)
    DatabaseError("Duplicate field name '" + field->FieldName() + "'");
  field->dataset_ = this;
  field->persistent_ = true;
  fields_.push_back(std::move(field));
  ReindexFields();
  return *fields_.back();
}

void TDataSet::ClearFields() {
  CheckInactive();
  fields_.clear();
}

void TDataSet::CreateFields() {
  for (int i = 0; i < field_defs_.Count(); ++i) {
    std::unique_ptr<TField> field = CreateField(field_defs_[i]);
    field->dataset_ = this;
    field->field_no_ = i + 1;
    fields_.push_back(std::move(field));
  }
  ReindexFields();
}

// A field made from a definition keeps that definition's column (columns may share a name, as
// "select 1 as a, 2 as a" gives); a persistent field finds its column by name, the first one.
void TDataSet::BindFields() {
  for (const auto& field : fields_) {
    if (!field->persistent_ && field->field_no_ > 0) continue;
    const int def = field_defs_.IndexOf(field->FieldName());
    if (def < 0) DatabaseError("Field '" + field->FieldName() + "' not found");
    field->field_no_ = def + 1;
  }
}

void TDataSet::DestroyFields() {
  fields_.erase(std::remove_if(fields_.begin(), fields_.end(),
                               [](const std::unique_ptr<TField>& f) { return !f->persistent_; }),
                fields_.end());
  for (const auto& field : fields_) field->field_no_ = 0;
  ReindexFields();
}

void TDataSet::ReindexFields() {
  for (size_t i = 0; i < fields_.size(); ++i) fields_[i]->index_ = static_cast<int>(i);
}

TVariant TDataSet::RecordValue(int rec_no, const TField& field) const {
  if (!Active() || field.dataset_ != this || rec_no < 1 || rec_no > InternalRecordCount())
    return TVariant::Null();
  return ReadRecordValue(rec_no, field);
}

// Field values.

TVariant TDataSet::GetFieldValue(const TField& field) const {
  if (!Active() || field.dataset_ != this) return TVariant::Null();
  if (Editing(state_) && field.index_ >= 0 && static_cast<size_t>(field.index_) < buffer_.size())
    return buffer_[field.index_];
  if (InternalRecordCount() == 0) return TVariant::Null();
  return ReadFieldValue(field);
}

TVariant TDataSet::GetFieldOldValue(const TField& field) const {
  if (!Active() || field.dataset_ != this || state_ == dsInsert || InternalRecordCount() == 0)
    return TVariant::Null();
  return ReadFieldOldValue(field);
}

void TDataSet::SetFieldValue(TField& field, const TVariant& value) {
  if (!Editing(state_)) DatabaseError("Dataset not in edit or insert mode");
  if (field.dataset_ != this)
    DatabaseError("Field '" + field.DisplayName() + "' is not in this dataset");
  if (field.ReadOnly())
    throw EDatabaseError("Field '" + field.DisplayName() + "' cannot be modified");
  if (field.OnValidate) field.OnValidate(field, value);
  buffer_.at(field.index_) = value;
  assigned_.at(field.index_) = true;
  modified_ = true;
  if (field.OnChange) field.OnChange(field);
  DataEvent(TDataEvent::deFieldChange, reinterpret_cast<intptr_t>(&field));
}

// Editing.

void TDataSet::InternalInitRecord() {
  buffer_.assign(fields_.size(), TVariant::Null());
  assigned_.assign(fields_.size(), false);
}

void TDataSet::FreeEditBuffer() {
  buffer_.clear();
  assigned_.clear();
}

void TDataSet::BeginInsertAppend() {
  CheckBrowseMode();
  if (!CanModify()) DatabaseError("Cannot modify a read-only dataset");
  DoBeforeInsert();
  DoBeforeScroll();
}

void TDataSet::EndInsertAppend() {
  SetState(dsInsert);
  try {
    DoOnNewRecord();
  } catch (...) {
    FreeEditBuffer();
    SetState(dsBrowse);
    Resync();
    throw;
  }
  modified_ = false;
  DataEvent(TDataEvent::deDataSetChange);
  DoAfterInsert();
  DoAfterScroll();
}

void TDataSet::Insert() {
  BeginInsertAppend();
  InternalInitRecord();
  EndInsertAppend();
}

void TDataSet::Append() {
  BeginInsertAppend();
  InternalLast();
  InternalInitRecord();
  bof_ = false;
  eof_ = true;
  EndInsertAppend();
}

void TDataSet::Edit() {
  if (Editing(state_)) return;
  CheckActive();
  if (InternalRecordCount() == 0) {
    Insert();
    return;
  }
  CheckBrowseMode();
  if (!CanModify()) DatabaseError("Cannot modify a read-only dataset");
  DoBeforeEdit();
  std::vector<TVariant> values;
  values.reserve(fields_.size());
  for (const auto& field : fields_) values.push_back(ReadFieldValue(*field));
  buffer_ = std::move(values);
  assigned_.assign(fields_.size(), false);
  SetState(dsEdit);
  DataEvent(TDataEvent::deRecordChange);
  DoAfterEdit();
}

void TDataSet::UpdateRecord() {
  if (!Editing(state_)) DatabaseError("Dataset not in edit or insert mode");
  DataEvent(TDataEvent::deUpdateRecord);
}

void TDataSet::CheckRequiredFields() {
  for (const auto& field : fields_) {
    if (field->Required() && !field->ReadOnly() && GetFieldValue(*field).IsClear())
      throw EDatabaseError("Field '" + field->DisplayName() + "' must have a value");
  }
}

void TDataSet::Post() {
  UpdateRecord();
  DataEvent(TDataEvent::deCheckBrowseMode);
  DoBeforePost();
  CheckRequiredFields();
  // A failure leaves the state and the buffer for the user to correct or cancel.
  InternalPost();
  FreeEditBuffer();
  SetState(dsBrowse);
  Resync();
  DoAfterPost();
}

void TDataSet::Cancel() {
  if (!Editing(state_)) return;
  DataEvent(TDataEvent::deCheckBrowseMode);
  DoBeforeCancel();
  const bool scroll = state_ == dsInsert;
  if (scroll) DoBeforeScroll();
  InternalCancel();
  FreeEditBuffer();
  SetState(dsBrowse);
  Resync();
  DoAfterCancel();
  if (scroll) DoAfterScroll();
}

void TDataSet::Delete() {
  CheckActive();
  if (state_ == dsInsert) {
    Cancel();
    return;
  }
  if (InternalRecordCount() == 0)
    DatabaseError("Cannot perform this operation on an empty dataset");
  DataEvent(TDataEvent::deCheckBrowseMode);
  DoBeforeDelete();
  DoBeforeScroll();
  InternalDelete();
  FreeEditBuffer();
  SetState(dsBrowse);
  Resync();
  DoAfterDelete();
  DoAfterScroll();
}

void TDataSet::CheckBrowseMode() {
  CheckActive();
  DataEvent(TDataEvent::deCheckBrowseMode);
  if (Editing(state_)) {
    UpdateRecord();
    if (modified_)
      Post();
    else
      Cancel();
  }
}

void TDataSet::Resync() {
  if (!Active()) return;
  InternalResync();
  const int count = InternalRecordCount();
  if (count == 0) {
    bof_ = eof_ = true;
  } else if (state_ != dsInsert) {
    const int rec_no = InternalRecNo();
    if (bof_ && rec_no != 1) bof_ = false;
    if (eof_ && rec_no != count) eof_ = false;
  }
  DataEvent(TDataEvent::deDataSetChange);
}

// Master/detail.

void TDataSet::SetDataSource(TDataSource* source) {
  TDataSet* d = source != nullptr ? source->DataSet() : nullptr;
  for (int depth = 0; d != nullptr && depth < 1000; ++depth) {
    if (d == this) DatabaseError("Circular datalinks are not allowed");
    d = d->DataSource() != nullptr ? d->DataSource()->DataSet() : nullptr;
  }
  master_link_.SetDataSource(source);
}

void TDataSet::MasterChanged() {
  CheckBrowseMode();
}

void TDataSet::AddDataSource(TDataSource* source) {
  if (std::find(data_sources_.begin(), data_sources_.end(), source) == data_sources_.end())
    data_sources_.push_back(source);
}

void TDataSet::RemoveDataSource(TDataSource* source) {
  data_sources_.erase(std::remove(data_sources_.begin(), data_sources_.end(), source),
                      data_sources_.end());
}

}  // namespace larkspire
