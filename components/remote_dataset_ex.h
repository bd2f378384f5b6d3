// TCustomLarkspireDataSetEx: the remote dataset with its connection. Opening sends command 300
// with the query description, reads the rows of the reply into a recordset and opens over them
// in the same open; errors are raised as ELarkspireException through the connection's
// RaiseError, parameters are filled from a master dataset, and the provider interface runs
// transactions and statements through the connection.
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
// When the server took the changes but the rows it returned cannot be merged, what the server
// committed stands: the post (or delete, or ApplyUpdates) completes with the changes accepted
// locally, nothing is sent again, and then ELarkspireMergeError (code 10008) is raised. The
// dataset shows the rows as the user entered them (without server-assigned values); Refresh
// reads the true rows.
//
// Thread-safety: main thread only, like every dataset.
#ifndef LARKSPIRE_COMPONENTS_REMOTE_DATASET_EX_H_
#define LARKSPIRE_COMPONENTS_REMOTE_DATASET_EX_H_

#include <cstdint>
#include <optional>
#include <string>

#include "components/connection.h"
#include "components/provider_support.h"
#include "components/remote_dataset.h"
#include "dataset/ado_xml_row_stream.h"
#include "protocol/remote_command.h"

namespace larkspire {

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
  // With an empty command text raises ELarkspireLocalError "<Name>: Missing <CommandTextName>
  // property".
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
  // Reads the rows of the reply's Data; null when they cannot be read, the error text then in
  // error (UTF-8) and in the reply's Message (code-page bytes).
  std::unique_ptr<TRecordset> ReadRecordset(TRemoteCommand& reply, std::string& error);
  // The open's rows: those FetchRecordset brought, taken once.
  std::unique_ptr<TRecordset> CreateRecordset() override { return std::move(fetched_); }

  TLarkspireUpdateSQL* update_object_ = nullptr;
  std::string deleted_bookmark_;

 private:
  std::string command_text_name_ = "CommandText";
  TLockType published_lock_type_ = ltOptimistic;
  TLarkspireConnection* connection_ = nullptr;
  std::string wait_msg_;
  // Puts back the row of the last delete as it was before (deleted_row_), and stands on it.
  void RestoreDeletedRow();

  // Command 300: sends the query and reads the rows of its reply. Null, and nothing sent, when
  // the connection is busy; a refusal or rows that cannot be read raise.
  std::unique_ptr<TRecordset> FetchRecordset();
  // The rows fetched for the open in progress, until the open takes them.
  std::unique_ptr<TRecordset> fetched_;
  // Raises the merge failure of the last exchange, if any, as ELarkspireMergeError.
  void RaiseMergeFailure();
  // Why the rows the server returned for committed changes could not be merged.
  std::string merge_failure_;
  // The last post was a refused insert: cancelling it removes a new row left behind.
  bool refused_insert_ = false;
  // The row the delete in progress removes, as it was before, while the dataset sends its own
  // changes.
  std::optional<TRecordsetRow> deleted_row_;
};

}  // namespace larkspire

#endif  // LARKSPIRE_COMPONENTS_REMOTE_DATASET_EX_H_
