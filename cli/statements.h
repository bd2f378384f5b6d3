// What the statement commands share (query, exec, shell): the --param and --null options,
// binding their values to a statement and printing the rows of an open query. Defined in
// query_command.cpp.
//
// Thread-safety: main thread only.
#ifndef LARKSPIRE_CLI_STATEMENTS_H_
#define LARKSPIRE_CLI_STATEMENTS_H_

#include <CLI/CLI.hpp>

#include <ostream>
#include <string>
#include <vector>

#include "cli/output_options.h"
#include "components/query.h"

namespace larkspire::cli {

// The values given for the parameters of statements: every parameter needs one, so that none
// is bound as Null without anyone asking for it.
struct TParameterArgs {
  std::vector<std::string> params;  // --param NAME=VALUE: the text VALUE
  std::vector<std::string> nulls;   // --null NAME: Null
};

// Registers --param (described by param_help) and --null on the command.
void AddParameterOptions(CLI::App& command, TParameterArgs& args, const std::string& param_help);
// The NAME of a "NAME=VALUE" or "NAME" text, without a leading ":".
std::string ParameterName(const std::string& given);
// Gives the parameters of the query their values (a name in either list binds every parameter
// of that name, case-insensitively). Throws EDatabaseError for a name the query lacks, a name
// given twice, a --param without "=", and a parameter of the query left without a value ("no
// value for parameter :price").
void BindStatementParameters(TLarkspireQuery& query, const TParameterArgs& args);
// Prints the rows of an open query in the chosen format.
void PrintRows(TLarkspireQuery& query, const TOutputOptions& output, std::ostream& out);
// Runs the query forward-only and prints each row as it arrives, in the same text as PrintRows,
// keeping no more than a batch of rows (and, for the table, the rows that size its columns).
// A result without columns prints nothing unless print_without_columns; returns whether
// anything was printed.
bool StreamRows(TLarkspireQuery& query, const TOutputOptions& output, std::ostream& out,
                bool print_without_columns);

}  // namespace larkspire::cli

#endif  // LARKSPIRE_CLI_STATEMENTS_H_
