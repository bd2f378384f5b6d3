// larkspire shell: an interactive session on one connection. Statements end with ";" and may
// span lines; begin, commit and rollback open and end a transaction on the server, which the
// prompt shows ("larkspire[1]=> "); an error is printed and the session goes on. "\q" (or quit,
// exit, the end of the input) ends it, rolling back a transaction left open.
//
// On a terminal the lines are edited through libedit with a history; from a pipe or a file
// they are read plainly without prompts, a statement left without ";" at the end still runs,
// and the exit code is that of the worst failure (0 when every statement succeeded).
#include <algorithm>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/error_report.h"
#include "cli/line_reader.h"
#include "cli/output_options.h"
#include "cli/sql_source.h"
#include "cli/statement_session.h"
#include "cli/statements.h"
#include "components/connection.h"

namespace larkspire::cli {
namespace {

struct TShellArgs {
  TOutputOptions output;
  TParameterArgs parameters;
};

const char kShellHelp[] =
    "Statements end with \";\" and may span lines.\n"
    "  begin, commit, rollback  open, commit or roll back a transaction (the prompt shows its "
    "level)\n"
    "  \\q                       quit (so do quit, exit and Ctrl-D)\n"
    "  \\?                       this help\n";

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

std::string Prompt(int32_t level, bool continuation) {
  std::string prompt = "larkspire";
  if (level > 0) prompt += "[" + std::to_string(level) + "]";
  return prompt + (continuation ? "-> " : "=> ");
}

int RunShell(const TClientOptions& options, const TShellArgs& args) {
  std::unique_ptr<TLineReader> reader = TLineReader::ForStandardInput();
  const bool interactive = reader->Interactive();
  TLarkspireConnection connection;
  options.Configure(connection);
  connection.SetConnected(true);
  if (!connection.Connected())
    return ReportError(std::cerr, connection.ErrorCode(), connection.ErrorText());
  if (interactive) {
    std::cout << "larkspire " << LARKSPIRE_VERSION << ", connected to "
              << connection.ConnectedServer() << ". Type \\? for help, \\q to quit.\n";
  }

  TStatementSession session(connection, args.output, args.parameters, std::cout, std::cerr);
  int exit_code = kExitSuccess;
  const auto run = [&](const TSqlStatement& statement) {
    try {
      session.Run(statement);
    } catch (...) {
      exit_code = std::max(exit_code, ReportException(std::cerr, std::current_exception()));
    }
  };

  TStatementSplitter splitter;
  std::string line;
  bool quit = false;
  while (!quit) {
    const bool continuation = splitter.Pending() || splitter.InsideLiteral();
    const TLineReader::TReadResult read =
        reader->ReadLine(Prompt(connection.TransactionLevel(), continuation), line);
    if (read == TLineReader::kEnd) break;
    if (read == TLineReader::kInterrupted) {
      splitter = TStatementSplitter();
      continue;
    }
    if (!splitter.InsideLiteral()) {
      const std::string command = Trim(line);
      if (!command.empty() && command[0] == '\\') {
        if (command == "\\q") {
          quit = true;
        } else if (command == "\\?" || command == "\\h") {
          std::cout << kShellHelp;
        } else {
          std::cerr << "error: unknown command " << command << "; \\? lists the commands\n";
          exit_code = std::max(exit_code, static_cast<int>(kExitConnectionOrUsage));
        }
        continue;
      }
      if (!continuation && (command == "quit" || command == "exit")) break;
    }
    splitter.Feed(line + "\n");
    TSqlStatement statement;
    while (splitter.Next(statement)) run(statement);
  }
  // A script's last statement may lack its ";"; what a person left unfinished is dropped.
  TSqlStatement statement;
  if (!quit && !interactive)
    while (splitter.Finish(statement)) run(statement);

  if (connection.InTransaction()) {
    std::cerr << "rolling back the open transaction\n";
    try {
      session.RollbackOpenTransactions();
    } catch (...) {
      exit_code = std::max(exit_code, ReportException(std::cerr, std::current_exception()));
    }
  }
  return interactive ? kExitSuccess : exit_code;
}

}  // namespace

void AddShellCommand(CLI::App& app, const TClientOptions& options, TRunFunction& run) {
  auto args = std::make_shared<TShellArgs>();
  CLI::App* shell =
      app.add_subcommand("shell", "An interactive session: statements end with \";\", \\q quits");
  args->output.AddTo(*shell);
  AddParameterOptions(
      *shell, args->parameters,
      "NAME=VALUE for the parameter :NAME of every statement naming it (repeatable)");
  shell->callback(
      [&options, &run, args] { run = [&options, args] { return RunShell(options, *args); }; });
}

}  // namespace larkspire::cli
