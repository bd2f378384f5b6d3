#include "components/remote_dataset_ex.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "components/query.h"
#include "components/update_sql.h"
#include "dataset/param_parser.h"
#include "platform/codepage.h"
#include "platform/exception.h"
#include "protocol/paging_record.h"

namespace larkspire {
namespace {

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

}  // namespace

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
  if (!CommandText().empty()) return;
  const std::string text = "Missing " + command_text_name_ + " property";
  throw ELarkspireLocalError(kNoErrorCode, text, Name().empty() ? text : Name() + ": " + text);
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

std::unique_ptr<TRecordset> TCustomLarkspireDataSetEx::ReadRecordset(TRemoteCommand& reply,
                                                                     std::string& error) {
  std::unique_ptr<TRecordset> rows = ReadRecordsetFromStream(reply.Data, error);
  reply.Message = WideToAnsi(error);
  return rows;
}

void TCustomLarkspireDataSetEx::OpenCursor() {
  if (IsLoading()) return;
  // Without rows attached the open fetches them and opens over them at once (CreateRecordset
  // hands them over); with rows attached it opens over those.
  const bool fetching = Recordset() == nullptr;
  if (fetching) {
    fetched_ = FetchRecordset();
    if (fetched_ == nullptr) return;
    // Fetched rows are opened over as attached rows always are: with a round of open events of
    // their own inside the open that fetched them, which then completes with its own.
    DoBeforeOpen();
  }
  try {
    TCustomLarkspireDataSet::OpenCursor();
  } catch (...) {
    fetched_.reset();
    throw;
  }
  GetKeyColumns();
  if (!fetching) return;
  OpenCursorComplete();
  if (EnableStatusField() && Recordset() != nullptr)
    RowStatus().assign(static_cast<size_t>(Recordset()->RecordCount()), 0);
  else
    RowStatus().clear();
}

std::unique_ptr<TRecordset> TCustomLarkspireDataSetEx::FetchRecordset() {
  CheckConnection();
  CheckCommandText();
  TLarkspireConnection& connection = *connection_;
  if (connection.Busy()) return nullptr;
  FillParamsFromMaster();

  std::string message;
  std::unique_ptr<TRecordset> rows;
  try {
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
    const TLarkspireReply reply = connection.Exchange(request, wait_msg_);
    if (reply->Success) {
      SetExecuteOptions(0);
      rows = ReadRecordset(*reply, message);
      // A reply whose parameters or paging record cannot be read leaves the dataset closed.
      if (CommandType() == cmdStoredProc) reply->ReadParameters(Parameters());
      if (PagingFetch()) {
        if (CommandType() != cmdStoredProc) reply->Params.SetPosition(0);
        UpdatePagingRecordCount(ReadPagingRecord(reply->Params, "in the reply").RecordCount);
      }
    } else {
      message = AnsiToWide(reply->Message);
    }
  } catch (...) {
    RethrowAtComponentBoundary(Name());
  }
  if (!message.empty()) RaiseDataSetError(connection.ErrorCode(), message);
  return rows;
}

// Applying updates.

bool TCustomLarkspireDataSetEx::SendPendingChanges(uint8_t scope) {
  CheckConnection();
  TLarkspireConnection& connection = *connection_;
  if (connection.Busy() || !Active() || Recordset() == nullptr) return false;
  merge_failure_.clear();
  TCustomLarkspireDataSet& delta = *DeltaDataSet();
  std::string message;
  bool sent = false;
  try {
    delta.Close();
    delta.Clone(*this);
    TRemoteCommand request;
    request.Code = cmdApplyUpdates;
    request.Value = scope;
    const std::string kinds = delta.BuildDelta(request.Data);
    SetHasInserts(kinds.find('2') != std::string::npos);
    if (kinds.empty()) {
      delta.Close();
      return true;
    }
    const TLarkspireReply reply = connection.Exchange(request, wait_msg_);
    if (!reply->Success) {
      message = AnsiToWide(reply->Message);
    } else {
      sent = true;
      if (HasInserts()) {
        try {
          delta.MergeReturnedRows(reply->Data);
        } catch (const EMalformedData& e) {
          // The server committed the changes: they are accepted as they stand (never sent
          // again) and the failure is raised once the operation is over.
          merge_failure_ = e.what();
          SetHasInserts(false);
        }
      }
    }
  } catch (...) {
    RethrowAtComponentBoundary(Name());
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
  RaiseMergeFailure();
}

void TCustomLarkspireDataSetEx::RaiseMergeFailure() {
  if (merge_failure_.empty()) return;
  const std::string cause = std::move(merge_failure_);
  merge_failure_.clear();
  RaiseDataSetError(kErrMergeFailed,
                    "The server applied the changes, but the rows it returned could not be "
                    "merged (" +
                        cause + "); refresh to see them");
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
  RaiseMergeFailure();
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
  RaiseMergeFailure();
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
