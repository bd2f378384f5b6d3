// How the statement commands (query, exec with a script, shell) print rows: the format, whether
// a header is printed, the text shown for Null and the line end of CSV.
//
// Thread-safety: a plain value; AddTo is called on the main thread.
#ifndef LARKSPIRE_CLI_OUTPUT_OPTIONS_H_
#define LARKSPIRE_CLI_OUTPUT_OPTIONS_H_

#include <CLI/CLI.hpp>

#include <string>

namespace larkspire::cli {

struct TOutputOptions {
  std::string format = "table";  // table, csv or json
  bool header = true;
  // Null is shown as this text in a table and in CSV; JSON keeps null.
  std::string null_text;
  // CSV records end with CRLF instead of LF.
  bool crlf = false;

  void AddTo(CLI::App& command);
  const char* CsvLineEnd() const { return crlf ? "\r\n" : "\n"; }
};

}  // namespace larkspire::cli

#endif  // LARKSPIRE_CLI_OUTPUT_OPTIONS_H_
