#include "server/commands/query_commands.h"

#include <algorithm>
#include <cctype>
#include <limits>

#include "protocol/param_encoding.h"
#include "protocol/query_description.h"
#include "server/base/server_errors.h"
#include "server/commands/paging.h"
#include "server/net/session.h"
#include "server/notify/table_changes.h"
#include "server/rowsets/reply_compression.h"
#include "server/rowsets/rowset_writer.h"

namespace larkspire::server {

namespace {

bool IsBlank(const std::string& text) {
  return std::all_of(text.begin(), text.end(),
                     [](unsigned char c) { return std::isspace(c) != 0; });
}

TQueryDescription ReadDescription(TRemoteCommand& request) {
  request.Data.SetPosition(0);
  TQueryDescription description = ReadQueryDescription(request.Data);
  if (IsBlank(description.CommandText)) {
    throw EServerError(kErrMalformedRequest, "The query description holds no SQL text");
  }
  // The databases read SQL text up to a NUL: SQLite would never get past it, PostgreSQL would
  // run only the text before it.
  if (const size_t nul = description.CommandText.find('\0'); nul != std::string::npos) {
    throw EServerError(kErrMalformedRequest,
                       "The SQL text holds a NUL character at byte " + std::to_string(nul));
  }
  return description;
}

TStatementOptions OptionsOf(const TQueryDescription& description) {
  TStatementOptions options;
  options.MaxRecords = description.MaxRecords;
  options.TimeoutSeconds = description.CommandTimeout;
  return options;
}

// The statement a description asks for: its text, or a whole table for cmdTable.
std::string StatementOf(const TQueryDescription& description) {
  if (description.CommandType == cmdTable || description.CommandType == cmdTableDirect) {
    return "SELECT * FROM " + description.CommandText;
  }
  return description.CommandText;
}

int32_t ClampToInt32(int64_t value) {
  return static_cast<int32_t>(std::clamp<int64_t>(value, std::numeric_limits<int32_t>::min(),
                                                  std::numeric_limits<int32_t>::max()));
}

}  // namespace

void HandleOpenQuery(TSession& session, TRemoteCommand& request, TRemoteCommand& reply) {
  TQueryDescription description = ReadDescription(request);
  const TStatementOptions options = OptionsOf(description);
  IDatabase& database =
      *session.DatabaseFor(request.ConnectionName, options.TimeoutSeconds).Database;
  // The rows go from the database through the XML writer into the compressed reply, within
  // the reply's size limit, whatever road they take.
  TDeflatedPayload& payload = session.ReplyPayload();
  payload.Clear();
  payload.SetLimit(session.Options().MaxReply);
  TRowsetXmlWriter writer(payload);
  if (request.Option == 1) {
    // The paging record follows the description.
    ServePagedQuery(database, description, StatementOf(description), options, request.Data, reply,
                    writer);
    return;
  }
  if (description.CommandType == cmdStoredProc) {
    database.StreamProcedure(description.CommandText, description.Parameters, options, writer);
    WriteParameterList(description.Parameters, reply.Params);
    return;
  }
  database.StreamQuery(StatementOf(description), description.Parameters, options, writer);
}

void HandleExecSQL(TSession& session, TRemoteCommand& request, TRemoteCommand& reply) {
  TQueryDescription description = ReadDescription(request);
  const TStatementOptions options = OptionsOf(description);
  IDatabase& database =
      *session.DatabaseFor(request.ConnectionName, options.TimeoutSeconds).Database;
  if (description.CommandType == cmdStoredProc) {
    database.CallProcedure(description.CommandText, description.Parameters, options);
    WriteParameterList(description.Parameters, reply.Params);
    reply.Value = 0;
    return;
  }
  const std::string sql = StatementOf(description);
  const int64_t changed = database.ExecuteStatement(sql, description.Parameters, options);
  reply.Value = ClampToInt32(changed);
  if (changed <= 0) return;
  if (const auto target = StatementTarget(sql)) {
    TTableChange change;
    (target->Kind == TStatementKind::skInsert   ? change.Inserted
     : target->Kind == TStatementKind::skUpdate ? change.Updated
                                                : change.Deleted) = changed;
    session.TableChanged(request.ConnectionName, target->Table, change);
  }
}

void RegisterQueryCommands(TDispatchTable& table) {
  table.Register(cmdOpenQuery, HandleOpenQuery);
  table.Register(cmdExecSQL, HandleExecSQL);
}

}  // namespace larkspire::server
