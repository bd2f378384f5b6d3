// TStatementSession: runs statements one after another on one connection, as the shell and a
// script given to query or exec do. "begin", "commit" and "rollback" (with their synonyms "start
// transaction", "end", "abort" and an optional "transaction" or "work") become the connection's
// transaction commands, so a transaction spans statements (each one held by a transaction guard,
// so a transaction the session leaves open is rolled back when the session ends); a statement that
// answers with rows (select, with, values, pragma, explain, show, table, or one with RETURNING) is
// opened and its rows printed; any other runs for its effect and prints "N rows affected".
//
// Parameter values given with --param, and Null given with --null, go to every statement that
// names them; a statement's parameter given neither way fails that statement.
//
// Thread-safety: main thread only.
#ifndef LARKSPIRE_CLI_STATEMENT_SESSION_H_
#define LARKSPIRE_CLI_STATEMENT_SESSION_H_

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "cli/output_options.h"
#include "cli/sql_source.h"
#include "cli/statements.h"
#include "components/connection.h"
#include "components/transaction.h"

namespace larkspire::cli {

class TStatementSession {
 public:
  TStatementSession(TLarkspireConnection& connection, const TOutputOptions& output,
                    const TParameterArgs& parameters, std::ostream& out, std::ostream& err);

  // Runs one statement; a failure throws (ELarkspireException from the server).
  void Run(const TSqlStatement& statement);
  // Throws EUsageError naming a --param or --null that no statement run so far has used.
  void CheckEveryParamUsed() const;
  TLarkspireConnection& Connection() { return connection_; }
  // Rolls back every transaction left open, innermost first; a refusal raises and leaves the
  // rest to the end of the session.
  void RollbackOpenTransactions();

 private:
  enum TControl { kNotControl, kBegin, kCommit, kRollback };
  static TControl ControlOf(const TSqlStatement& statement);
  void RunControl(TControl control);
  // Forgets the guards of transactions that have ended without them (lost on the server).
  void DropEndedTransactions();

  TLarkspireConnection& connection_;
  const TOutputOptions& output_;
  TParameterArgs parameters_;
  std::vector<bool> params_used_;
  std::vector<bool> nulls_used_;
  std::ostream& out_;
  std::ostream& err_;
  // The transactions begun, outermost first.
  std::vector<std::unique_ptr<TLarkspireTransaction>> transactions_;
};

}  // namespace larkspire::cli

#endif  // LARKSPIRE_CLI_STATEMENT_SESSION_H_
