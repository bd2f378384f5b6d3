// larkspire: the command-line client. Each subcommand connects through TLarkspireConnection,
// does its work and prints what happened. Without arguments it prints its help. Exit codes:
// 0 success, 1 a failed statement, 2 a connection failure or bad usage (cli/error_report.h),
// 130 after Ctrl-C.
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include <exception>
#include <iostream>
#include <string>

#include "cli/client_options.h"
#include "cli/commands.h"
#include "cli/error_report.h"
#include "protocol/remote_command.h"

namespace {

// Ctrl-C while a statement runs ends the program at once: the connection closes with it, and
// the server stops the statement instead of letting it run on. (The shell catches Ctrl-C
// itself while it reads a line.)
void EndOnInterrupt(int) {
  const char newline = '\n';
  ssize_t ignored = ::write(STDERR_FILENO, &newline, 1);
  (void)ignored;
  ::_exit(130);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace larkspire;
  struct sigaction on_interrupt {};
  on_interrupt.sa_handler = EndOnInterrupt;
  sigemptyset(&on_interrupt.sa_mask);
  sigaction(SIGINT, &on_interrupt, nullptr);
  using namespace larkspire::cli;
  CLI::App app{"larkspire: command-line client of the Larkspire server", "larkspire"};
  app.require_subcommand(1);
  // Connection options may also follow the subcommand: larkspire query "select 1" -p 8008.
  app.fallthrough();
  app.set_version_flag("--version", std::string("larkspire ") + LARKSPIRE_VERSION + " (protocol " +
                                        kProtocolVersion + ")");
  app.footer(
      "Environment: LARKSPIRE_HOST, LARKSPIRE_PORT, LARKSPIRE_USER, LARKSPIRE_PASSWORD, "
      "LARKSPIRE_CONNECTION, LARKSPIRE_TLS (1 or 0), LARKSPIRE_TLS_CA and "
      "LARKSPIRE_TLS_SERVER_NAME stand in for the options; the command line wins.\n"
      "Exit codes: 0 success, 1 a failed statement, 2 a connection failure or bad usage.");
  TClientOptions options;
  options.AddTo(app);
  TRunFunction run;
  AddStatusCommand(app, options, run);
  AddLsCommand(app, options, run);
  AddGetCommand(app, options, run);
  AddQueryCommand(app, options, run);
  AddExecCommand(app, options, run);
  AddShellCommand(app, options, run);
  AddCallCommand(app, options, run);
  AddListenCommand(app, options, run);
  AddNotifyCommand(app, options, run);
  AddUdpCommand(app, run);
  if (argc <= 1) {
    std::cout << app.help();
    return kExitSuccess;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // Help and version end the parse "successfully"; every other parse error is bad usage.
    return app.exit(e) == 0 ? kExitSuccess : kExitConnectionOrUsage;
  }
  try {
    return run ? run() : kExitSuccess;
  } catch (...) {
    return ReportException(std::cerr, std::current_exception());
  }
}
