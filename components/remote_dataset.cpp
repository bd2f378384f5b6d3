#include "components/remote_dataset.h"

#include <pugixml.hpp>

#include <algorithm>
#include <cstring>
#include <string>

#include "components/query.h"
#include "components/update_sql.h"
#include "dataset/ado_xml.h"
#include "dataset/param_parser.h"
#include "platform/codepage.h"
#include "platform/exception.h"
#include "protocol/paging_record.h"
#include "protocol/param_encoding.h"

namespace larkspire {
namespace {

// Raw attribute characters are kept, as the recordset's own reader keeps them.
constexpr unsigned kParseOptions = pugi::parse_default & ~pugi::parse_wnorm_attribute &
                                   ~pugi::parse_wconv_attribute & ~pugi::parse_eol;
constexpr unsigned kFormatOptions = pugi::format_raw | pugi::format_no_declaration;

std::string ReadAll(TStream& stream) {
  const int64_t size = stream.Size();
  std::string text(static_cast<size_t>(size), '\0');
  stream.SetPosition(0);
  if (size > 0) stream.ReadBuffer(text.data(), size);
  return text;
}

void Parse(pugi::xml_document& document, const std::string& text, const char* what) {
  const pugi::xml_parse_result result =
      document.load_buffer(text.data(), text.size(), kParseOptions, pugi::encoding_auto);
  if (!result)
    throw EMalformedData(std::string(what) + ": not an XML row document (" + result.description() +
                         " at offset " + std::to_string(result.offset) + ")");
}

pugi::xml_node RowsElement(pugi::xml_document& document, const char* what) {
  const pugi::xml_node root = document.document_element();
  if (!root) throw EMalformedData(std::string(what) + ": no document element");
  const pugi::xml_node rows = root.child("rs:data");
  if (!rows)
    throw EMalformedData(std::string(what) + ": the document element <" + root.name() +
                         "> has no rs:data child");
  return rows;
}

class TStreamWriter : public pugi::xml_writer {
 public:
  explicit TStreamWriter(TStream& stream) : stream_(stream) {}
  void write(const void* data, size_t size) override {
    stream_.WriteBuffer(data, static_cast<int64_t>(size));
  }

 private:
  TStream& stream_;
};

class TStringWriter : public pugi::xml_writer {
 public:
  explicit TStringWriter(std::string& out) : out_(out) {}
  void write(const void* data, size_t size) override {
    out_.append(static_cast<const char*>(data), size);
  }

 private:
  std::string& out_;
};

int CountRows(const pugi::xml_node& block) {
  int count = 0;
  for (pugi::xml_node row = block.child("z:row"); row; row = row.next_sibling("z:row")) ++count;
  return count;
}

// The framework's ordinals of the recordset's ADO values.
uint8_t CursorTypeOrdinal(TCursorType type) {
  return type == ctUnspecified ? 0 : static_cast<uint8_t>(static_cast<int>(type) + 1);
}

uint8_t LockTypeOrdinal(TLockType type) {
  return type == ltUnspecified ? 0 : static_cast<uint8_t>(type);
}

// The type a parameter filled from a master field takes: the field's own, except for the kinds
// whose values the wire form would drop (they travel as Null), which take the nearest kind that
// carries the value.
TFieldType ParameterTypeOfField(TFieldType type) {
  switch (type) {
    case ftAutoInc:
      return ftInteger;
    case ftCurrency:
      return ftBCD;
    case ftDate:
    case ftTime:
    case ftTimeStamp:
      return ftDateTime;
    case ftFixedChar:
    case ftMemo:
    case ftFmtMemo:
    case ftGuid:
    case ftFMTBcd:
      return ftString;
    default:
      return type;
  }
}

// Runs at scope exit, even when an exception leaves the scope.
template <class F>
class TFinally {
 public:
  explicit TFinally(F f) : f_(std::move(f)) {}
  ~TFinally() { f_(); }
  TFinally(const TFinally&) = delete;
  TFinally& operator=(const TFinally&) = delete;

 private:
  F f_;
};

// Leaves in rs:data only the change blocks: the first rs:delete, the first rs:insert and every
// rs:update, moved to its end in that order. Returns the change kinds.
std::string CutDelta(pugi::xml_document& document) {
  std::string kinds;
  pugi::xml_node rows = RowsElement(document, "delta");
  for (pugi::xml_node row = rows.child("z:row"); row;) {
    const pugi::xml_node next = row.next_sibling("z:row");
    rows.remove_child(row);
    row = next;
  }
  const pugi::xml_node deleted = rows.child("rs:delete");
  const pugi::xml_node inserted = rows.child("rs:insert");
  std::vector<pugi::xml_node> updates;
  for (pugi::xml_node u = rows.child("rs:update"); u; u = u.next_sibling("rs:update"))
    updates.push_back(u);
  // Moving a node to the end of rs:data detaches it from its place.
  if (deleted) {
    rows.append_move(deleted);
    kinds.append(static_cast<size_t>(CountRows(deleted)), '3');
  }
  if (inserted) {
    rows.append_move(inserted);
    kinds.append(static_cast<size_t>(CountRows(inserted)), '2');
  }
  for (const pugi::xml_node& u : updates) {
    rows.append_move(u);
    kinds += '1';
  }
  return kinds;
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

// --- TCustomLarkspireDataSet
// ----------------------------------------------------------------------

TCustomLarkspireDataSet::TCustomLarkspireDataSet(TComponent* owner) : TRecordsetDataSet(owner) {}

TCustomLarkspireDataSet::~TCustomLarkspireDataSet() {
  BeginDestroy();
  row_status_.clear();
  delta_dataset_.reset();
}

void TCustomLarkspireDataSet::CreateDeltaDataSet() {
  if (delta_dataset_ == nullptr) delta_dataset_ = std::make_unique<TCustomLarkspireDataSet>();
}

std::string TCustomLarkspireDataSet::LoadRecordsetFromStream(TStream& stream) {
  try {
    auto recordset = std::make_unique<TRecordset>();
    stream.SetPosition(0);
    recordset->Open(stream, CursorType(), LockType(), AdoCommandTypeValue(command_type_));
    stream.SetPosition(0);
    if (!recordset->Bof()) recordset->MoveFirst();
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

std::string CutDeltaDocument(const std::string& document, std::string& delta) {
  pugi::xml_document tree;
  Parse(tree, document, "delta");
  const std::string kinds = CutDelta(tree);
  delta.clear();
  TStringWriter writer(delta);
  tree.save(writer, "", kFormatOptions, pugi::encoding_utf8);
  return kinds;
}

std::string TCustomLarkspireDataSet::BuildDelta(TStream& target) {
  // Only the rows with a pending change are written and cut: the cost follows the changes. A
  // recordset that cannot be written gives an empty text, which the cut refuses as before.
  std::string changes;
  if (Recordset() != nullptr && Recordset()->Active()) {
    try {
      changes = WriteAdoXml(Recordset()->Data(), [](const TRecordsetRow& row) {
        return row.Status != TRowStatus::rsUnmodified;
      });
    } catch (const std::exception&) {
      changes.clear();
    }
  }
  std::string delta;
  const std::string kinds = CutDeltaDocument(changes, delta);
  target.WriteBuffer(delta.data(), static_cast<int64_t>(delta.size()));
  return kinds;
}

std::string BuildDeltaFromEveryRow(TCustomLarkspireDataSet& dataset, TStream& target) {
  pugi::xml_document document;
  {
    TMemoryStream scratch;
    dataset.SaveRecordsetToStream(scratch);
    Parse(document, ReadAll(scratch), "delta");
  }
  const std::string kinds = CutDelta(document);
  TStreamWriter writer(target);
  document.save(writer, "", kFormatOptions, pugi::encoding_utf8);
  return kinds;
}

void TCustomLarkspireDataSet::MergeReturnedRows(TStream& source) {
  pugi::xml_document reply;
  Parse(reply, ReadAll(source), "returned rows");
  const pugi::xml_node returned = RowsElement(reply, "returned rows");
  TRecordset* recordset = Recordset();
  if (recordset == nullptr || !recordset->Active())
    throw EMalformedData("merge: the dataset has no rows to merge into");
  // The returned rows are read under the rows' own schema, as one document of them alone.
  TRecordsetData empty;
  empty.Schema = recordset->Schema();
  std::string text = WriteAdoXml(empty);
  std::string children;
  TStringWriter writer(children);
  for (pugi::xml_node child = returned.first_child(); child; child = child.next_sibling())
    child.print(writer, "", kFormatOptions, pugi::encoding_utf8);
  text.insert(text.rfind("</rs:data>"), children);
  TRecordsetData merged;
  try {
    merged = ReadAdoXmlInPlace(text);
  } catch (const Exception&) {
    return;  // as a failed load: the dataset keeps its rows
  }
  recordset->ReplaceChangedRows(std::move(merged.Rows));
  SetRecordset(recordset->Clone());
}

void MergeReturnedRowsByReloading(TCustomLarkspireDataSet& dataset, TStream& source) {
  pugi::xml_document reply;
  Parse(reply, ReadAll(source), "returned rows");
  const pugi::xml_node returned = RowsElement(reply, "returned rows");

  pugi::xml_document document;
  TMemoryStream scratch;
  dataset.SaveRecordsetToStream(scratch);
  Parse(document, ReadAll(scratch), "merge");
  pugi::xml_node rows = RowsElement(document, "merge");
  for (pugi::xml_node child = rows.first_child(); child;) {
    const pugi::xml_node next = child.next_sibling();
    const char* name = child.name();
    if (std::strcmp(name, "rs:insert") == 0 || std::strcmp(name, "rs:update") == 0 ||
        std::strcmp(name, "rs:delete") == 0)
      rows.remove_child(child);
    child = next;
  }
  for (pugi::xml_node child = returned.first_child(); child; child = child.next_sibling())
    rows.append_copy(child);
  scratch.Clear();
  TStreamWriter writer(scratch);
  document.save(writer, "", kFormatOptions, pugi::encoding_utf8);
  dataset.LoadRecordsetFromStream(scratch);
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

// --- TCustomLarkspireDataSetEx
// --------------------------------------------------------------------

TCustomLarkspireDataSetEx::TCustomLarkspireDataSetEx(TComponent* owner)
    : TCustomLarkspireDataSet(owner) {
  SetLockType(ltOptimistic);
  SetCursorType(ctKeyset);
  SetPagingFetch(false);
  CreateDeltaDataSet();
}

TCustomLarkspireDataSetEx::~TCustomLarkspireDataSetEx() {
  BeginDestroy();
  if (connection_ != nullptr) RemoveFreeNotification(connection_);
}

void TCustomLarkspireDataSetEx::SetLockType(TLockType lock_type) {
  published_lock_type_ = lock_type;
  TRecordsetDataSet::SetLockType(lock_type == ltOptimistic ? ltBatchOptimistic : lock_type);
}

void TCustomLarkspireDataSetEx::SetConnection(TLarkspireConnection* connection) {
  if (connection == connection_) return;
  if (connection != nullptr) FreeNotification(connection);
  if (connection_ != nullptr) RemoveFreeNotification(connection_);
  connection_ = connection;
}

void TCustomLarkspireDataSetEx::Notification(TComponent* component, TOperation operation) {
  TCustomLarkspireDataSet::Notification(component, operation);
  if (operation != TOperation::opRemove || component == nullptr) return;
  if (component == connection_) connection_ = nullptr;
  // The update object is being destroyed: only the pointer may be compared.
  if (component == static_cast<TComponent*>(update_object_)) update_object_ = nullptr;
}

void TCustomLarkspireDataSetEx::SetUpdateObject(TLarkspireUpdateSQL* update_object) {
  if (update_object == update_object_) return;
  TLarkspireUpdateSQL* previous = update_object_;
  update_object_ = update_object;
  if (previous != nullptr) {
    RemoveFreeNotification(previous);
    if (previous->DataSet() == this) previous->AttachDataSet(nullptr);
  }
  if (update_object != nullptr) {
    FreeNotification(update_object);
    update_object->AttachDataSet(this);
  }
}

bool TCustomLarkspireDataSetEx::SendsOwnChanges() const {
  return published_lock_type_ != ltBatchOptimistic && update_object_ == nullptr;
}

void TCustomLarkspireDataSetEx::RaiseDataSetError(int32_t code, const std::string& msg) {
  TLarkspireConnection::RaiseFor(connection_, *this, code, msg);
}

void TCustomLarkspireDataSetEx::CheckConnection() {
  TLarkspireConnection::Required(connection_, *this);
}

void TCustomLarkspireDataSetEx::CheckCommandText() {
  if (CommandText().empty()) DatabaseError("Missing " + command_text_name_ + " property");
}

void TCustomLarkspireDataSetEx::FillParamsFromMaster() {
  TParameters& params = Parameters();
  if (params.Count() == 0) return;
  TDataSource* source = DataSource();
  if (source == nullptr || source->DataSet() == nullptr) return;
  TDataSet& master = *source->DataSet();
  std::string names;
  std::vector<std::pair<TParameter*, TField*>> matches;
  for (int i = 0; i < params.Count(); ++i) {
    TParameter& p = params[i];
    if (p.Direction != pdInput && p.Direction != pdInputOutput) continue;
    TField* field = master.FindField(p.Name);
    if (field == nullptr) continue;
    if (!names.empty()) names += ';';
    names += p.Name;
    matches.emplace_back(&p, field);
  }
  SetMasterFields(names);
  for (auto& [p, field] : matches) {
    p->DataType = ParameterTypeOfField(field->DataType());
    p->Size = field->Size();
    p->Value = field->Value();
  }
}

std::string TCustomLarkspireDataSetEx::GetKeyColumns() {
  std::string result;
  TRecordset* recordset = Recordset();
  if (recordset == nullptr || !recordset->Active()) return result;
  for (int i = 0; i < recordset->FieldCount(); ++i) {
    const TRecordsetField& column = recordset->Field(i);
    const TVariant key = column.Property("KEYCOLUMN");
    if (key.Type() != TVarType::vtBoolean || !key.AsBoolean()) continue;
    result += column.Name + ";";
    if (FieldCount() > 0) {
      if (TField* field = FindField(column.Name))
        field->SetProviderFlags(field->ProviderFlags() | pfInKey);
    }
  }
  if (!result.empty()) result.pop_back();
  return result;
}

void TCustomLarkspireDataSetEx::FillPagingRecord(int32_t record[4]) const {
  record[0] = record[1] = record[2] = record[3] = 0;
}

void TCustomLarkspireDataSetEx::WriteQuery(TRemoteCommand& request) {
  request.Data.Clear();
  WriteQueryDescription(request.Data);
}

std::string TCustomLarkspireDataSetEx::ReadRecordset(TRemoteCommand& reply) {
  const std::string error = LoadRecordsetFromStream(reply.Data);
  reply.Message = WideToAnsi(error);
  return error;
}

void TCustomLarkspireDataSetEx::OpenCursor() {
  if (IsLoading()) return;
  if (Recordset() != nullptr) {
    // The inner open over the attached rows.
    TCustomLarkspireDataSet::OpenCursor();
    GetKeyColumns();
    return;
  }
  CheckConnection();
  CheckCommandText();
  TLarkspireConnection& connection = *connection_;
  if (connection.Busy()) return;
  FillParamsFromMaster();

  std::string message;
  {
    TRemoteCommand request;
    request.Code = cmdOpenQuery;
    request.Option = PagingFetch() ? 1 : 0;
    WriteQuery(request);
    if (PagingFetch()) {
      int32_t fields[4];
      FillPagingRecord(fields);
      TPagingRecord record{fields[0], fields[1], fields[2], fields[3]};
      WritePagingRecord(record, request.Data);
    }
    TRemoteCommand& reply = connection.ExecuteCommand(request, wait_msg_);
    TFinally reset([&reply] { reply.Reset(); });
    if (reply.Success) try {
        SetExecuteOptions(0);
        const std::string load_error = ReadRecordset(reply);
        if (CommandType() == cmdStoredProc) reply.ReadParameters(Parameters());
        if (PagingFetch()) {
          if (CommandType() != cmdStoredProc) reply.Params.SetPosition(0);
          UpdatePagingRecordCount(ReadPagingRecord(reply.Params, "in the reply").RecordCount);
        }
        if (EnableStatusField() && load_error.empty() && Active())
          RowStatus().assign(static_cast<size_t>(RecordCount()), 0);
        else
          RowStatus().clear();
        message = load_error;
      } catch (...) {
        // A reply whose parameters or paging record cannot be read leaves the dataset closed.
        Close();
        throw;
      }
    else {
      message = AnsiToWide(reply.Message);
    }
  }
  if (!message.empty()) RaiseDataSetError(connection.ErrorCode(), message);
}

// Applying updates.

bool TCustomLarkspireDataSetEx::SendPendingChanges(uint8_t scope) {
  CheckConnection();
  TLarkspireConnection& connection = *connection_;
  if (connection.Busy() || !Active() || Recordset() == nullptr) return false;
  TCustomLarkspireDataSet& delta = *DeltaDataSet();
  delta.Close();
  delta.Clone(*this);
  std::string message;
  bool sent = false;
  {
    TRemoteCommand request;
    request.Code = cmdApplyUpdates;
    request.Value = scope;
    const std::string kinds = delta.BuildDelta(request.Data);
    SetHasInserts(kinds.find('2') != std::string::npos);
    if (kinds.empty()) {
      delta.Close();
      return true;
    }
    TRemoteCommand& reply = connection.ExecuteCommand(request, wait_msg_);
    TFinally reset([&reply] { reply.Reset(); });
    if (!reply.Success) {
      message = AnsiToWide(reply.Message);
    } else {
      sent = true;
      if (HasInserts()) {
        try {
          delta.MergeReturnedRows(reply.Data);
        } catch (const EMalformedData&) {
          // The server took the changes; the dataset goes on with its own copy of the rows.
        }
      }
    }
  }
  if (!HasInserts() || !sent) delta.Close();
  if (!message.empty()) RaiseDataSetError(connection.ErrorCode(), message);
  if (!sent) SetHasInserts(false);
  return sent;
}

void TCustomLarkspireDataSetEx::ApplyUpdates(uint8_t scope) {
  CheckConnection();
  if (!Active() || connection_->Busy()) return;
  CheckBrowseMode();
  SetHasInserts(false);
  if (!SendPendingChanges(scope)) return;
  Recordset()->AcceptChanges(TAffectRecords::arAll);
  if (HasInserts())
    TakeMergedRecordset();
  else
    Resync();
}

void TCustomLarkspireDataSetEx::TakeMergedRecordset() {
  TCustomLarkspireDataSet& delta = *DeltaDataSet();
  DisableControls();
  try {
    if (delta.Recordset() != nullptr && delta.Recordset()->Active())
      SetRecordset(delta.Recordset()->Clone(ltBatchOptimistic));
    delta.Close();
    if (Active()) Last();
  } catch (...) {
    EnableControls();
    throw;
  }
  EnableControls();
}

void TCustomLarkspireDataSetEx::UndoPendingChanges(uint8_t scope) {
  CheckActive();
  Cancel();
  TRecordset* recordset = Recordset();
  if (recordset == nullptr) return;
  recordset->CancelBatch(scope == 0 ? TAffectRecords::arCurrent : TAffectRecords::arAll);
  if (recordset->Bof() && recordset->Eof() && recordset->RecordCount() > 0)
    recordset->MoveFirst();
  else
    InternalResync();
  Resync();
}

void TCustomLarkspireDataSetEx::Post() {
  CheckConnection();
  SetHasInserts(false);
  refused_insert_ = false;
  TCustomLarkspireDataSet::Post();
  if (HasInserts()) TakeMergedRecordset();
}

void TCustomLarkspireDataSetEx::InternalPost() {
  const bool inserting = State() == dsInsert;
  // The row becomes a pending change of the local recordset (or nothing changes on failure).
  TCustomLarkspireDataSet::InternalPost();
  if (!SendsOwnChanges()) return;
  try {
    if (SendPendingChanges(kScopeAllRows)) Recordset()->AcceptChanges(TAffectRecords::arAll);
  } catch (...) {
    TRecordset& recordset = *Recordset();
    try {
      // The cursor is still on the posted row: withdraw its pending change.
      recordset.CancelUpdate();
      if (HasInserts() && recordset.RecordCount() > 0) recordset.MoveLast();
    } catch (...) {
      // The first failure is the one to report.
    }
    refused_insert_ = inserting;
    throw;
  }
}

void TCustomLarkspireDataSetEx::DoBeforeDelete() {
  deleted_bookmark_ = Bookmark();
  deleted_row_.reset();
  if (const TRecordset* recordset = Recordset(); recordset != nullptr && SendsOwnChanges()) {
    const TBookmark id = recordset->Bookmark();
    for (const TRecordsetRow* row : recordset->ViewRows())
      if (row->Id == id) deleted_row_ = *row;
  }
  TCustomLarkspireDataSet::DoBeforeDelete();
}

void TCustomLarkspireDataSetEx::DoAfterDelete() {
  if (SendsOwnChanges()) {
    bool settled = false;
    try {
      settled = SendPendingChanges(kScopeAllRows);
      if (settled) Recordset()->AcceptChanges(TAffectRecords::arAll);
    } catch (...) {
      // Only this delete is undone: changes left pending before (by a busy connection) stay.
      try {
        RestoreDeletedRow();
      } catch (...) {
        UndoPendingChanges(kScopeAllRows);
        if (BookmarkValid(deleted_bookmark_)) SetBookmark(deleted_bookmark_);
      }
      deleted_row_.reset();
      throw;
    }
    deleted_row_.reset();
    if (settled && HasInserts()) {
      // The delta carried an insert left pending earlier: show the rows the server gave it, on
      // the row number the delete left.
      const int rec_no = RecNo();
      TakeMergedRecordset();
      if (Active() && rec_no > 0) SetRecNo(std::min(rec_no, RecordCount()));
    }
  }
  TCustomLarkspireDataSet::DoAfterDelete();
}

void TCustomLarkspireDataSetEx::RestoreDeletedRow() {
  TRecordset* recordset = Recordset();
  if (recordset == nullptr || !deleted_row_) throw EDatabaseError("no deleted row to restore");
  const TRecordsetRow& before = *deleted_row_;
  TBookmark id = before.Id;
  if (before.Status == TRowStatus::rsNew) {
    // A new row goes away at once when it is deleted: add it again.
    recordset->AddNew();
    for (int i = 0; i < recordset->FieldCount() && i < static_cast<int>(before.Values.size()); ++i)
      recordset->SetValue(i, before.Values[i]);
    recordset->Update();
    id = recordset->Bookmark();
  } else {
    // The deletion is the row's pending change now; withdrawing it gives the original values.
    recordset->SetFilter(TFilterGroup::fgPendingRecords);
    if (recordset->BookmarkValid(id)) {
      recordset->SetBookmark(id);
      recordset->CancelUpdate();
    }
    recordset->SetFilter(TFilterGroup::fgNone);
    recordset->SetBookmark(id);
    if (before.Status == TRowStatus::rsModified) {
      for (int i = 0; i < recordset->FieldCount() && i < static_cast<int>(before.Modified.size());
           ++i)
        if (before.Modified[i]) recordset->SetValue(i, before.Values[i]);
      recordset->Update();
    }
  }
  Resync();
  SetBookmark(std::to_string(id));
}

void TCustomLarkspireDataSetEx::DoAfterCancel() {
  TCustomLarkspireDataSet::DoAfterCancel();
  const bool refused_insert = refused_insert_;
  refused_insert_ = false;
  if (!refused_insert || !SendsOwnChanges() || !Active()) return;
  if (RecordStatus() == TRowStatus::rsNew && RecNo() >= 0) {
    InternalDelete();
    Resync();
  }
}

void TCustomLarkspireDataSetEx::Refresh() {
  Close();
  Open();
}

void TCustomLarkspireDataSetEx::MasterChanged() {
  if (Parameters().Count() == 0) {
    TCustomLarkspireDataSet::MasterChanged();
    return;
  }
  DisableControls();
  try {
    TDataSource* source = DataSource();
    if (source != nullptr && source->DataSet() != nullptr && source->DataSet()->Active()) {
      Close();
      Open();
    }
  } catch (...) {
    EnableControls();
    throw;
  }
  EnableControls();
}

bool TCustomLarkspireDataSetEx::UsesDetailFilter() const {
  return Parameters().Count() == 0;
}

void TCustomLarkspireDataSetEx::PSStartTransaction() {
  CheckConnection();
  connection_->StartTransaction();
}

void TCustomLarkspireDataSetEx::PSEndTransaction(bool commit) {
  CheckConnection();
  if (commit)
    connection_->CommitTransaction();
  else
    connection_->RollbackTransaction();
}

int TCustomLarkspireDataSetEx::PSExecuteStatement(const std::string& sql, const TParameters& params,
                                                  TDataSet** result_set) {
  TLarkspireQuery query;
  query.SetConnection(connection_);
  query.SQL().SetText(NumberQuestionMarks(sql));
  TParameters& own = query.Parameters();
  for (int i = 0; i < own.Count() && i < params.Count(); ++i) own[i].Value = params[i].Value;
  return query.ExecSQL();
}

std::string TCustomLarkspireDataSetEx::PSGetKeyFields() {
  if (!Active()) return GetKeyColumns();
  std::string result;
  for (const auto& field : FieldList()) {
    if ((field->ProviderFlags() & pfInKey) == 0) continue;
    if (!result.empty()) result += ';';
    result += field->FieldName();
  }
  return result;
}

}  // namespace larkspire
