// TCustomLarkspireDataSet: a dataset whose rows come from the server and live in a local
// recordset. It attaches the ADO XML row documents the server sends, asks the rowset layer for
// the delta of its pending changes and merges the rows the server returns for it
// (dataset/recordset_delta.h), and keeps the client-side row-status field "@LocalRowStatus",
// the query description that commands 210 and 300 carry, and the parameters that the command
// text's ":name" placeholders make. The connected dataset (components/remote_dataset_ex.h) adds
// the exchanges with the server.
//
// The query description (Data of commands 210 and 300) and the paging record are written and
// read by protocol/query_description.h and protocol/paging_record.h.
//
// Thread-safety: main thread only, like every dataset.
#ifndef LARKSPIRE_COMPONENTS_REMOTE_DATASET_H_
#define LARKSPIRE_COMPONENTS_REMOTE_DATASET_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dataset/recordset_dataset.h"
#include "platform/parameters.h"
#include "platform/stream.h"
#include "protocol/query_description.h"

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
  // Writes the delta of the pending changes at the target's position and returns its change
  // kinds (dataset/recordset_delta.h). Without rows raises EMalformedData.
  std::string BuildDelta(TStream& target);
  // Replaces the pending changes of the rows by the rows of the server's reply (read from the
  // stream's start) and attaches the result. A reply that is not an XML row document, or whose
  // rows do not fit the schema, raises EMalformedData and leaves the dataset as it was.
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

  // Reads the XML row document in the stream (from its start) into a new open recordset;
  // null, with the error's message, when it cannot be read.
  std::unique_ptr<TRecordset> ReadRecordsetFromStream(TStream& stream, std::string& error);
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

}  // namespace larkspire

#endif  // LARKSPIRE_COMPONENTS_REMOTE_DATASET_H_
