// The subcommands of the command-line client. Each Add*Command registers its subcommand on the
// application; when the subcommand is chosen, its run function is stored in `run` and main calls
// it after parsing. A run function returns the process exit code (cli/error_report.h) and may
// raise ELarkspireException or another exception, which main prints.
//
// Thread-safety: main thread only.
#ifndef LARKSPIRE_CLI_COMMANDS_H_
#define LARKSPIRE_CLI_COMMANDS_H_

#include <CLI/CLI.hpp>

#include <functional>

#include "cli/client_options.h"

namespace larkspire::cli {

using TRunFunction = std::function<int()>;

void AddStatusCommand(CLI::App& app, const TClientOptions& options, TRunFunction& run);
// ls [PATH] [--recursive]: a folder of the server's files.
void AddLsCommand(CLI::App& app, const TClientOptions& options, TRunFunction& run);
// get REMOTE [LOCAL]: downloads a file with a progress display, resuming an interrupted one.
void AddGetCommand(CLI::App& app, const TClientOptions& options, TRunFunction& run);

// query SQL|-f FILE|- [--param NAME=VALUE]... [--null NAME]... [--format table|csv|json]:
// prints the rows of a query; statements read from a file or standard input run one after
// another. Every parameter of a statement must be given a value or Null.
void AddQueryCommand(CLI::App& app, const TClientOptions& options, TRunFunction& run);
// exec SQL|-f FILE|- [--param NAME=VALUE]... [--null NAME]...: runs a statement and prints "N
// rows affected".
void AddExecCommand(CLI::App& app, const TClientOptions& options, TRunFunction& run);
// shell [--format F] [--param NAME=VALUE]... [--null NAME]...: an interactive session on one
// connection.
void AddShellCommand(CLI::App& app, const TClientOptions& options, TRunFunction& run);
// call PLUGIN NAME:TYPE=VALUE... [--out FILE]: calls a server plug-in and prints its answer.
void AddCallCommand(CLI::App& app, const TClientOptions& options, TRunFunction& run);

// listen CHANNEL... [--count N]: prints "CHANNEL: PAYLOAD" for each notification, flushed,
// until Ctrl-C or N of them.
void AddListenCommand(CLI::App& app, const TClientOptions& options, TRunFunction& run);
// notify CHANNEL [PAYLOAD]: sends one notification.
void AddNotifyCommand(CLI::App& app, const TClientOptions& options, TRunFunction& run);

// udp listen|send|load: the reliable datagram transport (needs no server options).
void AddUdpCommand(CLI::App& app, TRunFunction& run);

}  // namespace larkspire::cli

#endif  // LARKSPIRE_CLI_COMMANDS_H_
