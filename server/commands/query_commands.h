// The SQL commands: 300 opens a query and answers its rows, 210 executes a statement and
// answers the rows it changed.
//
//   300  request Data: the query description (protocol/query_description.h)
//        reply   Data: the rows as an ADO XML rowset; Params: for a stored procedure, the
//                request's parameter list with the output values filled in
//        with Option 1 a paging record follows the description, and the reply holds one
//        page and the paging record with the total count (server/commands/paging.h)
//   210  request Data: the query description
//        reply   Value: the rows affected (for a stored procedure: 0, and Params as above)
//
// Both run on the session's handle of the request's database, inside its transaction when
// one is open. A description that does not decode fails with 20003, an SQL error with 20004
// and the database's text.
//
// Thread-safety: the handlers run on the session's thread.
#ifndef LARKSPIRE_SERVER_QUERY_COMMANDS_H_
#define LARKSPIRE_SERVER_QUERY_COMMANDS_H_

#include "protocol/remote_command.h"
#include "server/commands/dispatch.h"

namespace larkspire::server {

class TSession;

void HandleOpenQuery(TSession& session, TRemoteCommand& request, TRemoteCommand& reply);
void HandleExecSQL(TSession& session, TRemoteCommand& request, TRemoteCommand& reply);

// Registers 300 and 210.
void RegisterQueryCommands(TDispatchTable& table);

}  // namespace larkspire::server

#endif  // LARKSPIRE_SERVER_QUERY_COMMANDS_H_
