#include "components/remote_dataset.h"

#include <string>

#include "dataset/param_parser.h"
#include "dataset/recordset_delta.h"
#include "platform/exception.h"
#include "protocol/param_encoding.h"

namespace larkspire {
namespace {

std::string ReadAll(TStream& stream) {
  const int64_t size = stream.Size();
  std::string text(static_cast<size_t>(size), '\0');
  stream.SetPosition(0);
  if (size > 0) stream.ReadBuffer(text.data(), size);
  return text;
}

// The framework's ordinals of the recordset's ADO values.
uint8_t CursorTypeOrdinal(TCursorType type) {
  return type == ctUnspecified ? 0 : static_cast<uint8_t>(static_cast<int>(type) + 1);
}

uint8_t LockTypeOrdinal(TLockType type) {
  return type == ltUnspecified ? 0 : static_cast<uint8_t>(type);
}

}  // namespace

int AdoCommandTypeValue(TCommandType type) {
  switch (type) {
    case cmdText:
      return 1;
    case cmdTable:
      return 2;
    case cmdStoredProc:
      return 4;
    case cmdFile:
      return 256;
    case cmdTableDirect:
      return 512;
    case cmdUnknown:
      break;
  }
  return 8;
}

TFieldType FieldTypeOfValue(const TVariant& value) {
  switch (value.Type()) {
    case TVarType::vtBoolean:
      return ftBoolean;
    case TVarType::vtInteger:
      return ftInteger;
    case TVarType::vtInt64:
      return ftLargeint;
    case TVarType::vtDouble:
      return ftFloat;
    case TVarType::vtCurrency:
      return ftBCD;
    case TVarType::vtDateTime:
      return ftDateTime;
    case TVarType::vtString:
      return ftWideString;
    case TVarType::vtBytes:
      return ftBlob;
    case TVarType::vtEmpty:
    case TVarType::vtNull:
      break;
  }
  return ftUnknown;
}
TCustomLarkspireDataSet::TCustomLarkspireDataSet(TComponent* owner) : TRecordsetDataSet(owner) {}

TCustomLarkspireDataSet::~TCustomLarkspireDataSet() {
  BeginDestroy();
  row_status_.clear();
  delta_dataset_.reset();
}

void TCustomLarkspireDataSet::CreateDeltaDataSet() {
  if (delta_dataset_ == nullptr) delta_dataset_ = std::make_unique<TCustomLarkspireDataSet>();
}

std::unique_ptr<TRecordset> TCustomLarkspireDataSet::ReadRecordsetFromStream(TStream& stream,
                                                                             std::string& error) {
  error.clear();
  try {
    auto recordset = std::make_unique<TRecordset>();
    stream.SetPosition(0);
    recordset->Open(stream, CursorType(), LockType(), AdoCommandTypeValue(command_type_));
    stream.SetPosition(0);
    if (!recordset->Bof()) recordset->MoveFirst();
    return recordset;
  } catch (const Exception& e) {
    error = e.what();
  }
  return nullptr;
}

std::string TCustomLarkspireDataSet::LoadRecordsetFromStream(TStream& stream) {
  std::string error;
  std::unique_ptr<TRecordset> recordset = ReadRecordsetFromStream(stream, error);
  if (recordset == nullptr) return error;
  try {
    SetRecordset(std::move(recordset));
  } catch (const Exception& e) {
    return e.what();
  }
  return std::string();
}

bool TCustomLarkspireDataSet::SaveRecordsetToStream(TStream& stream, bool as_xml) {
  if (Recordset() == nullptr || !as_xml) return false;
  try {
    stream.SetPosition(0);
    Recordset()->Save(stream);
    stream.SetSize(stream.Position());
    stream.SetPosition(0);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

std::string TCustomLarkspireDataSet::BuildDelta(TStream& target) {
  std::string delta;
  const std::string kinds = Recordset() != nullptr ? WriteRecordsetDelta(*Recordset(), delta)
                                                   : CutDeltaDocument(std::string(), delta);
  target.WriteBuffer(delta.data(), static_cast<int64_t>(delta.size()));
  return kinds;
}

void TCustomLarkspireDataSet::MergeReturnedRows(TStream& source) {
  const std::string reply = ReadAll(source);
  TRecordset* recordset = Recordset();
  if (recordset == nullptr) throw EMalformedData("merge: the dataset has no rows to merge into");
  larkspire::MergeReturnedRows(*recordset, reply);
  SetRecordset(recordset->Clone());
}

void TCustomLarkspireDataSet::WriteQueryDescription(TStream& stream) {
  TRecordset* recordset = Recordset();
  const TCursorType cursor_type = recordset != nullptr ? recordset->CursorType() : CursorType();
  const TLockType lock_type = recordset != nullptr ? recordset->LockType() : LockType();
  TQueryDescription description;
  description.CursorLocation = static_cast<uint8_t>(CursorLocation());
  description.CursorType = CursorTypeOrdinal(cursor_type);
  description.LockType = LockTypeOrdinal(lock_type);
  description.CacheSize = CacheSize();
  description.MaxRecords = MaxRecords();
  description.CommandType = static_cast<uint8_t>(command_type_);
  description.CommandTimeout = command_timeout_;
  description.CommandText = command_text_;
  for (int i = 0; i < parameters_.Count(); ++i) {
    TParameter& p = parameters_[i];
    if (p.DataType == ftUnknown) p.DataType = FieldTypeOfValue(p.Value);
  }
  larkspire::WriteQueryDescription(description, parameters_, stream);
}

std::unique_ptr<TParameters> TCustomLarkspireDataSet::CopyParameters() const {
  return std::make_unique<TParameters>(parameters_);
}

void TCustomLarkspireDataSet::SetQueryText(const std::string& text) {
  command_text_ = text;
  if (command_type_ != cmdText || text.empty() || !param_check_) return;
  if (parameters_.Count() == 0) {
    ParseSQLParameters(text, parameters_);
    return;
  }
  const std::unique_ptr<TParameters> copy = CopyParameters();
  ParseSQLParameters(text, parameters_);
  for (int i = 0; i < parameters_.Count(); ++i) {
    TParameter& p = parameters_[i];
    if (const TParameter* old = copy->FindParam(p.Name)) p.Value = old->Value;
  }
}

// The row-status field.

bool TCustomLarkspireDataSet::IsRowStatusField(const TField& field) const {
  return field.FieldName() == kRowStatusFieldName;
}

int TCustomLarkspireDataSet::RowStatusIndex(int rec_no) const {
  if (rec_no < 1 || rec_no > static_cast<int>(row_status_.size())) return -1;
  return rec_no - 1;
}

void TCustomLarkspireDataSet::InternalInitFieldDefs() {
  TRecordsetDataSet::InternalInitFieldDefs();
  if (!enable_status_field_) return;
  TFieldDef def;
  def.Name = kRowStatusFieldName;
  def.DataType = ftInteger;
  def.Size = 10;
  def.Precision = 0;
  FieldDefsForInit().Add(std::move(def));
}

TVariant TCustomLarkspireDataSet::GetFieldValue(const TField& field) const {
  if (!IsRowStatusField(field) || field.DataSet() != this)
    return TRecordsetDataSet::GetFieldValue(field);
  if (!Active() || State() == dsInsert) return TVariant::Null();
  const int index = RowStatusIndex(InternalRecNo());
  return index < 0 ? TVariant::Null() : TVariant(row_status_[index]);
}

void TCustomLarkspireDataSet::SetFieldValue(TField& field, const TVariant& value) {
  if (!IsRowStatusField(field) || field.DataSet() != this) {
    TRecordsetDataSet::SetFieldValue(field, value);
    return;
  }
  if (!Active() || State() == dsInsert) return;
  const int index = RowStatusIndex(InternalRecNo());
  if (index < 0) return;
  row_status_[index] = value.IsClear() ? 0 : value.AsInteger();
}

TVariant TCustomLarkspireDataSet::ReadFieldValue(const TField& field) const {
  if (!IsRowStatusField(field)) return TRecordsetDataSet::ReadFieldValue(field);
  const int index = RowStatusIndex(InternalRecNo());
  return index < 0 ? TVariant::Null() : TVariant(row_status_[index]);
}

TVariant TCustomLarkspireDataSet::ReadRecordValue(int rec_no, const TField& field) const {
  if (!IsRowStatusField(field)) return TRecordsetDataSet::ReadRecordValue(rec_no, field);
  const int index = RowStatusIndex(rec_no);
  return index < 0 ? TVariant::Null() : TVariant(row_status_[index]);
}

}  // namespace larkspire
