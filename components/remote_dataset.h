// The remote datasets: a dataset whose rows come from the server and live in a local recordset.
//
// TCustomLarkspireDataSet is the base: it owns the exchange between the ADO XML row documents
// the server sends and the local recordset (loading, saving, cutting the pending changes out as
// a delta, merging the rows the server returns), the client-side row-status field
// "@LocalRowStatus", the query description that commands 210 and 300 carry, and the parameters
// that the command text's ":name" placeholders make.
//
// TCustomLarkspireDataSetEx adds the connection: opening sends command 300 with the query
// description and attaches the rows of the reply (a re-entrant open: the outer open fetches, the
// attach runs a complete inner open over the rows), errors are raised as ELarkspireException
// through the connection's RaiseError, parameters are filled from a master dataset, and the
// provider interface runs transactions and statements through the connection.
//
// Posting and deleting: the row is first changed in the local recordset, where it becomes a
// pending change. A dataset sends its changes itself when its LockType is not
// ltBatchOptimistic and it has no UpdateObject: it then sends every pending change at once as
// command 301 (Value 2, the delta document in Data) and accepts them when the server took
// them. A refused post withdraws the row's pending change and leaves the dataset in its edit or
// insert state with the user's values; a refused delete brings the row back (as it was, with
// any change of its own still pending) and stands on it, leaving other pending changes alone;
// cancelling an insert whose post was refused removes the new row. After a successful post
// whose delta held inserts the dataset shows the rows the server returned (server-assigned keys
// filled in) and stands on the last row; a delete whose delta carried an insert left pending
// earlier shows them too and keeps its row number. Otherwise changes stay pending until the
// application calls ApplyUpdates.
//
// The query description (Data of commands 210 and 300) and the paging record are written and
// read by protocol/query_description.h and protocol/paging_record.h.
//
// Thread-safety: main thread only, like every dataset.
#ifndef LARKSPIRE_COMPONENTS_REMOTE_DATASET_H_
#define LARKSPIRE_COMPONENTS_REMOTE_DATASET_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "components/connection.h"
#include "dataset/ado_xml_row_stream.h"
#include "dataset/recordset_dataset.h"
#include "platform/parameters.h"
#include "platform/stream.h"
#include "protocol/query_description.h"
#include "protocol/remote_command.h"

namespace larkspire {

// The recordset's open option for a command type (ADO's CommandTypeEnum: text 1, table 2,
// stored procedure 4, unknown 8, file 256, table direct 512).
int AdoCommandTypeValue(TCommandType type);

// Options of the command's execution, combined with |.
enum TExecuteOption : unsigned {
  eoAsyncExecute = 1,
  eoAsyncFetch = 2,
  eoAsyncFetchNonBlocking = 4,
  eoExecuteNoRecords = 8,
};
using TExecuteOptions = unsigned;

// The name of the client-side row-status field.
inline constexpr const char* kRowStatusFieldName = "@LocalRowStatus";

// The field type that assigning a value of this kind gives a parameter of unknown type: Integer,
// Largeint, Float, BCD (currency), DateTime, Boolean, WideString (text), Blob (bytes); Unknown
// for Empty and Null.
TFieldType FieldTypeOfValue(const TVariant& value);

// The delta cut from a saved row document, as BuildDelta cuts it; returns ChangeKinds.
std::string CutDeltaDocument(const std::string& document, std::string& delta);

class TCustomLarkspireDataSet;
// BuildDelta as it was first written: saving every row, parsing the whole document and cutting
// the plain rows out. Kept for the tests that compare it with BuildDelta.
std::string BuildDeltaFromEveryRow(TCustomLarkspireDataSet& dataset, TStream& target);
// MergeReturnedRows as it was first written: saving every row, splicing the returned rows into
// the document and reloading the whole of it.
void MergeReturnedRowsByReloading(TCustomLarkspireDataSet& dataset, TStream& source);

class TCustomLarkspireDataSet : public TRecordsetDataSet {
 public:
  explicit TCustomLarkspireDataSet(TComponent* owner = nullptr);
  ~TCustomLarkspireDataSet() override;

  // The command: its text (UTF-8), type, time-out and options.
  const std::string& CommandText() const { return command_text_; }
  void SetCommandText(const std::string& text) { SetQueryText(text); }
  TCommandType CommandType() const { return command_type_; }
  void SetCommandType(TCommandType type) { command_type_ = type; }
  int CommandTimeout() const { return command_timeout_; }
  void SetCommandTimeout(int seconds) { command_timeout_ = seconds; }
  TExecuteOptions ExecuteOptions() const { return execute_options_; }
  void SetExecuteOptions(TExecuteOptions options) { execute_options_ = options; }
  // Whether setting the command text parses its ":name" placeholders into parameters.
  bool ParamCheck() const { return param_check_; }
  void SetParamCheck(bool check) { param_check_ = check; }
  bool Prepared() const { return prepared_; }
  void SetPrepared(bool prepared) { prepared_ = prepared; }
  TParameters& Parameters() { return parameters_; }
  const TParameters& Parameters() const { return parameters_; }

  // Whether the row-status field exists; takes effect at the next open.
  bool EnableStatusField() const { return enable_status_field_; }
  void SetEnableStatusField(bool enable) { enable_status_field_ = enable; }
  // One value per row present at the last open that fetched rows (all 0 then).
  std::vector<int32_t>& RowStatus() { return row_status_; }
  const std::vector<int32_t>& RowStatus() const { return row_status_; }
  // True while the paging object fetches a page; the open then sends the paging record.
  bool PagingFetch() const { return paging_fetch_; }
  void SetPagingFetch(bool fetch) { paging_fetch_ = fetch; }
  // The auxiliary dataset in which changes are cut out and returned rows merged; null in a
  // dataset that has none (only the datasets with a connection have one).
  TCustomLarkspireDataSet* DeltaDataSet() const { return delta_dataset_.get(); }
  // The last delta sent to the server held inserted rows.
  bool HasInserts() const { return has_inserts_; }
  void SetHasInserts(bool has) { has_inserts_ = has; }

  // Opens a new local recordset from the XML row document in the stream (read from its start)
  // and attaches it. Returns the error's message instead of raising an ordinary error; empty on
  // success. A failed attach leaves the dataset closed.
  std::string LoadRecordsetFromStream(TStream& stream);
  // Saves the rows with their pending changes as XML into the stream from its start, cuts the
  // stream there and rewinds it. False, and nothing raised, without a recordset or on failure.
  // There is no binary format: as_xml false gives false.
  bool SaveRecordsetToStream(TStream& stream, bool as_xml = true);
  // Writes the delta document at the target's position: the whole document whose rs:data holds
  // only the first rs:delete, the first rs:insert and every rs:update, in that order (anything
  // else that is not a plain row stays before them). Returns ChangeKinds: "3" per deleted, "2"
  // per inserted and "1" per updated row, in that order. A saved document without rs:data
  // raises EMalformedData.
  std::string BuildDelta(TStream& target);
  // Replaces the pending-change blocks of the rows by every child of the reply's rs:data and
  // reloads the dataset from the result (whose load error is not reported: the dataset then
  // keeps its rows). A reply that is not an XML row document raises EMalformedData.
  void MergeReturnedRows(TStream& source);

  // Appends the query description at the stream's position. A parameter whose value cannot be
  // encoded raises the conversion error (EVariantError). A parameter of unknown type that holds
  // a value first takes the type of the value's kind, as assigning a value does.
  void WriteQueryDescription(TStream& stream);
  // A new collection with copies of the parameters.
  std::unique_ptr<TParameters> CopyParameters() const;
  // Sets the command text; for a text command with ParamCheck, parses its placeholders into
  // parameters, keeping the values of the parameters whose names remain.
  void SetQueryText(const std::string& text);

  // The row-status field reads and writes RowStatus (outside the rows of the open, reading
  // gives Null and writing is ignored); every other field goes to the framework.
  TVariant GetFieldValue(const TField& field) const override;
  void SetFieldValue(TField& field, const TVariant& value) override;

 protected:
  void InternalInitFieldDefs() override;
  TVariant ReadFieldValue(const TField& field) const override;
  TVariant ReadRecordValue(int rec_no, const TField& field) const override;

  bool IsRowStatusField(const TField& field) const;
  // The index in RowStatus of a 1-based row number, or -1 outside it.
  int RowStatusIndex(int rec_no) const;
  void CreateDeltaDataSet();

 private:
  std::string command_text_;
  TCommandType command_type_ = cmdText;
  int command_timeout_ = 30;
  TExecuteOptions execute_options_ = 0;
  bool param_check_ = true;
  bool prepared_ = false;
  TParameters parameters_;

  bool paging_fetch_ = false;
  std::vector<int32_t> row_status_;
  bool enable_status_field_ = false;
  std::unique_ptr<TCustomLarkspireDataSet> delta_dataset_;
  bool has_inserts_ = false;
};

// The provider interface through which a dataset provider resolves updates.
class IProviderSupport {
 public:
  virtual void PSStartTransaction() = 0;
  virtual void PSEndTransaction(bool commit) = 0;
  virtual void PSExecute() = 0;
  // Runs a statement whose parameters are "?" marks, bound by position; returns the rows
  // affected. result_set is left untouched.
  virtual int PSExecuteStatement(const std::string& sql, const TParameters& params,
                                 TDataSet** result_set = nullptr) = 0;
  // The key fields, separated by ";".
  virtual std::string PSGetKeyFields() = 0;

 protected:
  ~IProviderSupport() = default;
};

class TLarkspireUpdateSQL;

// The scope that command 301 carries in Value: ADO's all-rows scope of affected rows (0 current
// row, 1 filtered group, 2 all rows, 3 all chapters).
inline constexpr uint8_t kScopeAllRows = 2;

class TCustomLarkspireDataSetEx : public TCustomLarkspireDataSet, public IProviderSupport {
 public:
  explicit TCustomLarkspireDataSetEx(TComponent* owner = nullptr);
  ~TCustomLarkspireDataSetEx() override;

  // The name of the property reported when the command text is missing.
  const std::string& CommandTextName() const { return command_text_name_; }
  void SetCommandTextName(const std::string& name) { command_text_name_ = name; }
  // The lock type the application chose. ltOptimistic makes the framework's lock type (the one
  // the recordset is opened with, FrameworkLockType) ltBatchOptimistic; any other value is used
  // for both.
  TLockType LockType() const { return published_lock_type_; }
  void SetLockType(TLockType lock_type);
  TLockType FrameworkLockType() const { return TRecordsetDataSet::LockType(); }
  const std::string& DeletedBookmark() const { return deleted_bookmark_; }
  TLarkspireConnection* Connection() const { return connection_; }
  void SetConnection(TLarkspireConnection* connection);
  // The update object whose presence keeps changes local; none until one is assigned.
  // Assigning one detaches the update object the dataset had and attaches the new one (which
  // leaves the dataset it served before); freeing it clears the reference.
  TLarkspireUpdateSQL* UpdateObject() const { return update_object_; }
  void SetUpdateObject(TLarkspireUpdateSQL* update_object);
  // Posts and deletes go to the server at once: LockType is not ltBatchOptimistic and there is
  // no UpdateObject.
  bool SendsOwnChanges() const;
  // Empty: commands run on the calling thread; any other text shows the wait window with it.
  const std::string& WaitMsg() const { return wait_msg_; }
  void SetWaitMsg(const std::string& msg) { wait_msg_ = msg; }

  // Raises ELarkspireException: through the connection's RaiseError naming this dataset, or,
  // without a connection, with the message "<Name>:<msg>.".
  [[noreturn]] void RaiseDataSetError(int32_t code, const std::string& msg);
  // Without a connection raises code 10001 "Missing Connection.".
  void CheckConnection();
  // With an empty command text raises EDatabaseError "<Name>: Missing <CommandTextName> property".
  void CheckCommandText();
  // Makes the input parameters named like a field of the master dataset the master field list
  // and gives them that field's type, size and current value. A field kind whose values the
  // wire form drops gives the nearest kind that carries them (AutoInc Integer, Currency BCD,
  // Date and Time DateTime, FixedChar, Memo, Guid and FMTBcd String).
  void FillParamsFromMaster();
  // The key columns of the attached recordset, separated by ";"; their fields get pfInKey.
  std::string GetKeyColumns();

  // Closes and opens (a new command 300).
  void Refresh() override;

  // The forward-only read: runs the command (command 300, the query description saying
  // forward-only) and hands each row to on_row as the reply arrives, keeping none, so any
  // number of rows is read in the memory of one; on_schema, when given, runs once before the
  // first row (also when there is none). The dataset itself is neither opened nor changed; a
  // stored procedure's output parameters are read back as Open reads them. Runs on the calling
  // thread (no wait window). Returns the rows handed out. A busy connection raises
  // EDatabaseError; a refusal, or rows that do not decode, raise ELarkspireException as Open
  // does (rows handed out before stay handed out). An exception from a handler ends the read,
  // closes the connection (the rest of the reply is not read) and propagates.
  //
  //   query.SQL().SetText("select * from orders");
  //   query.ReadForwardOnly([](TRecordsetRow& row) { Use(row.Values); });
  int64_t ReadForwardOnly(const TAdoXmlRowStream::TRowHandler& on_row,
                          const TAdoXmlRowStream::TSchemaHandler& on_schema = nullptr);

  // Posting: raises 10001 without a connection before the row is written; then writes the row
  // into the local recordset and, when the dataset sends its changes itself, sends them (see
  // the top comment). A busy connection, or a failed reply without a message, sends nothing
  // and raises nothing: the change stays pending and goes with the next one.
  void Post() override;
  // Sends every pending change of the local recordset at once (command 301 with the scope in
  // Value) and accepts them when the server took them; after inserts the dataset shows the
  // rows the server returned and stands on the last row. An edit in progress is posted first.
  // Nothing pending sends nothing. A refusal raises ELarkspireException and leaves the changes
  // pending; a busy connection or a closed dataset does nothing. This is how a dataset in
  // batch mode or with an UpdateObject sends its changes.
  void ApplyUpdates(uint8_t scope = kScopeAllRows);
  // Attaches a clone of the DeltaDataSet's rows (the merged rows after an insert), closes the
  // DeltaDataSet and moves to the last row, with data-aware controls disabled meanwhile.
  void TakeMergedRecordset();
  // Cancels any edit and discards the pending changes of the scope (2: every one; 0: the
  // current row's); a deleted row comes back. The buffers are re-read.
  void UndoPendingChanges(uint8_t scope = kScopeAllRows);

  // Provider interface.
  void PSStartTransaction() override;
  void PSEndTransaction(bool commit) override;
  void PSExecute() override {}
  int PSExecuteStatement(const std::string& sql, const TParameters& params,
                         TDataSet** result_set = nullptr) override;
  std::string PSGetKeyFields() override;

 protected:
  void Notification(TComponent* component, TOperation operation) override;
  void OpenCursor() override;
  void MasterChanged() override;
  // A query with parameters fetches the rows of the master's current row; one without them
  // filters its rows by the master fields.
  bool UsesDetailFilter() const override;
  void InternalPost() override;
  void DoBeforeDelete() override;
  void DoAfterDelete() override;
  void DoAfterCancel() override;

  // The exchange of command 301: clones the rows into the DeltaDataSet, cuts the delta out of
  // them and sends it; after inserts the server's rows are merged into the DeltaDataSet. True
  // when the pending changes are settled: the server took them, or there were none. False when
  // nothing went: the connection was busy, the dataset closed, or the reply failed without a
  // message. A refusal raises through RaiseDataSetError. Accepts nothing.
  bool SendPendingChanges(uint8_t scope);

  // Paging: the 16-byte record a page fetch sends (four 32-bit fields: 0, 0, page size, page
  // index; zeros without a paging object), and the total row count the reply reported.
  virtual void FillPagingRecord(int32_t record[4]) const;
  virtual void UpdatePagingRecordCount(int32_t count) {}

  // The query description written into a request's Data (cleared first).
  void WriteQuery(TRemoteCommand& request);
  // Loads the rows of the reply's Data; the error text lands in the reply's Message (code-page
  // bytes) and is returned (UTF-8).
  std::string ReadRecordset(TRemoteCommand& reply);

  TLarkspireUpdateSQL* update_object_ = nullptr;
  std::string deleted_bookmark_;

 private:
  std::string command_text_name_ = "CommandText";
  TLockType published_lock_type_ = ltOptimistic;
  TLarkspireConnection* connection_ = nullptr;
  std::string wait_msg_;
  // Puts back the row of the last delete as it was before (deleted_row_), and stands on it.
  void RestoreDeletedRow();

  // The last post was a refused insert: cancelling it removes a new row left behind.
  bool refused_insert_ = false;
  // The row the delete in progress removes, as it was before, while the dataset sends its own
  // changes.
  std::optional<TRecordsetRow> deleted_row_;
};

}  // namespace larkspire

#endif  // LARKSPIRE_COMPONENTS_REMOTE_DATASET_H_
