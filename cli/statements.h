// What the statement commands share (query, exec, shell): binding the --param values to a
// statement and printing the rows of an open query. Defined in query_command.cpp.
//
// Thread-safety: main thread only.
#ifndef LARKSPIRE_CLI_STATEMENTS_H_
#define LARKSPIRE_CLI_STATEMENTS_H_

#include <ostream>
#include <string>
#include <vector>

#include "cli/output_options.h"
#include "components/query.h"

namespace larkspire::cli {

// Gives the parameters of the query the NAME=VALUE texts; throws for one the query lacks.
void BindStatementParameters(TLarkspireQuery& query, const std::vector<std::string>& params);
// Prints the rows of an open query in the chosen format.
void PrintRows(TLarkspireQuery& query, const TOutputOptions& output, std::ostream& out);

}  // namespace larkspire::cli

#endif  // LARKSPIRE_CLI_STATEMENTS_H_
