// larkspire: the command-line client. Each subcommand connects through TLarkspireConnection,
// does its work and prints what happened; a failure prints the error's message and exits 1.
#include <CLI/CLI.hpp>

#include <iostream>

#include "cli/client_options.h"
#include "cli/commands.h"
#include "components/exception.h"

int main(int argc, char** argv) {
  using namespace larkspire;
  using namespace larkspire::cli;
  CLI::App app{"larkspire: command-line client of the Larkspire server"};
  app.require_subcommand(1);
  TClientOptions options;
  options.AddTo(app);
  TRunFunction run;
  AddStatusCommand(app, options, run);
  AddLsCommand(app, options, run);
  AddGetCommand(app, options, run);
  AddQueryCommand(app, options, run);
  AddExecCommand(app, options, run);
  AddCallCommand(app, options, run);
  AddUdpCommand(app, run);
  CLI11_PARSE(app, argc, argv);
  try {
    return run ? run() : 0;
  } catch (const ELarkspireException& e) {
    std::cerr << e.what() << "\n";
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "error: " << e.what() << "\n";
    return 2;
  }
}
