// Command 301: applying a delta, the pending row changes of a client's rowset, to the table
// its rows come from.
//
//   request Data: an ADO XML rowset whose rs:data holds only change blocks (rs:delete,
//                 rs:insert, rs:update), with the schema of the query that gave the rows
//   reply   Data: an ADO XML rowset with the same schema whose z:row children are the rows
//                 the client merges after its unchanged rows: when the delta inserts rows, the
//                 updated rows and then the inserted rows as the database holds them now
//                 (server-assigned keys and defaults filled in); otherwise no rows
//
// The delta is applied whole or not at all, inside one more level of the session's
// transactions (a transaction of its own, or a savepoint when the client holds one open).
// The table is the base table of the schema's key columns (rs:keycolumn with rs:basetable
// and rs:basecolumn); only the base columns of that table are written, other columns
// (expressions, columns of joined tables) are left out. A deleted or updated row is found by
// its key columns' original values; an update also requires the original values of the
// columns it changes, so a row another client changed meanwhile is a conflict (code 20011,
// naming the table and key) instead of being overwritten. A statement that matches more than
// one row is refused too, as the key does not identify the row. An insert writes the columns
// that hold a value, so that the database fills in its defaults and auto-increment keys. A
// delta without a base table or key columns is refused with code 20010.
//
// The changes run in the delta's order; consecutive changes of the same statement go to the
// database together, in batches of at most a thousand rows (PostgreSQL: inserts as one
// statement of many rows, updates and deletes sent together in pipeline mode; SQLite: one
// prepared statement run for each row). Each statement answers the rows it wrote
// (RETURNING): how many rows a delete or update changed, and the rows merged back.
//
// Values are bound as parameters of the kinds the rowset reader produced; a Null original
// compares with IS NULL, SQLite's date-times through julianday() so that the stored text's
// form does not matter.
//
// Thread-safety: the handler runs on the session's thread; ApplyDelta uses only the handles
// passed in.
#ifndef LARKSPIRE_SERVER_APPLY_UPDATES_H_
#define LARKSPIRE_SERVER_APPLY_UPDATES_H_

#include <string>

#include "dataset/recordset.h"
#include "protocol/remote_command.h"
#include "server/commands/dispatch.h"
#include "server/notify/table_changes.h"
#include "server/sql/database.h"

namespace larkspire::server {

class TSession;

// A statement of the delta waits at most this long (a row locked by another client).
inline constexpr int kApplyTimeoutSeconds = 30;

// Applies the delta on database within one more level of transactions, and answers the reply
// document. On any failure every change of the delta is rolled back and the error raised:
// EServerError (20010 refused delta, 20011 conflict) or the database's error.
// What an applied delta changed: its table and the rows inserted, updated and deleted.
struct TDeltaOutcome {
  std::string Table;
  TTableChange Changes;
};

// outcome, when given, learns what was changed.
std::string ApplyDelta(IDatabase& database, TTransactionStack& transactions,
                       const TRecordsetData& delta, TDeltaOutcome* outcome = nullptr);

void HandleApplyUpdates(TSession& session, TRemoteCommand& request, TRemoteCommand& reply);

// Registers 301.
void RegisterApplyUpdates(TDispatchTable& table);

}  // namespace larkspire::server

#endif  // LARKSPIRE_SERVER_APPLY_UPDATES_H_
