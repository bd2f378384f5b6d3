// TStatementSession: runs statements one after another on one connection, as the shell and a
// script given to query or exec do. "begin", "commit" and "rollback" (with their synonyms "start
// transaction", "end", "abort" and an optional "transaction" or "work") become the connection's
// transaction commands, so a transaction spans statements; a statement that answers with rows
// (select, with, values, pragma, explain, show, table, or one with RETURNING) is opened and its
// rows printed; any other runs for its effect and prints "N rows affected".
//
// Parameter values given with --param, and Null given with --null, go to every statement that
// names them; a statement's parameter given neither way fails that statement.
//
// Thread-safety: main thread only.
#ifndef LARKSPIRE_CLI_STATEMENT_SESSION_H_
#define LARKSPIRE_CLI_STATEMENT_SESSION_H_

#include <ostream>
#include <string>
#include <vector>

#include "cli/output_options.h"
#include "cli/sql_source.h"
#include "cli/statements.h"
#include "components/connection.h"

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

 private:
  enum TControl { kNotControl, kBegin, kCommit, kRollback };
  static TControl ControlOf(const TSqlStatement& statement);
  void RunControl(TControl control);

  TLarkspireConnection& connection_;
  const TOutputOptions& output_;
  TParameterArgs parameters_;
  std::vector<bool> params_used_;
  std::vector<bool> nulls_used_;
  std::ostream& out_;
  std::ostream& err_;
};

}  // namespace larkspire::cli

#endif  // LARKSPIRE_CLI_STATEMENT_SESSION_H_
