#include "cli/output_options.h"

namespace larkspire::cli {

void TOutputOptions::AddTo(CLI::App& command) {
  command.add_option("--format", format, "Output format: table, csv or json")
      ->check(CLI::IsMember({"table", "csv", "json"}))
      ->capture_default_str();
  command.add_flag_callback(
      "--no-header", [this] { header = false; },
      "Leave out the column names (and a table's rule and row count)");
  command
      .add_option("--nullvalue", null_text,
                  "Show Null as TEXT in a table or CSV (default: nothing; CSV writes an empty "
                  "string as \"\"). Not --null, which binds a parameter to Null")
      ->type_name("TEXT");
  command.add_flag("--crlf", crlf, "End CSV records with CRLF, as RFC 4180 asks (default LF)");
}

}  // namespace larkspire::cli
