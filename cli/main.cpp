// larkspire: the command-line client. Each subcommand connects through TLarkspireConnection,
// does its work and prints what happened; a failure prints the error's message and exits 1.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <functional>
#include <iostream>

#include "cli/client_options.h"
#include "components/connection.h"

namespace larkspire::cli {
namespace {

int RunStatus(const TClientOptions& options) {
  TLarkspireConnection connection;
  options.Configure(connection);
  connection.SetConnected(true);
  if (!connection.Connected()) {
    std::cerr << connection.Name() << ":" << connection.ErrorText() << "\n";
    return 1;
  }
  std::cout << "connected to " << connection.RemoteIP() << ":" << connection.RemotePort()
            << " as \"" << connection.GetClientIdentity() << "/" << connection.ClientName()
            << "\"\n";
  if (!options.client_name.empty()) {
    connection.SetClientName(options.client_name);
    std::cout << "client name set to \"" << connection.ClientName() << "\"\n";
  }
  const int32_t level = connection.StartTransaction();
  std::cout << "transaction started, level " << level << "\n";
  connection.CommitTransaction();
  std::cout << "transaction committed, level " << connection.TransactionLevel() << "\n";
  return 0;
}

}  // namespace
}  // namespace larkspire::cli

int main(int argc, char** argv) {
  using namespace larkspire;
  using namespace larkspire::cli;
  CLI::App app{"larkspire: command-line client of the Larkspire server"};
  app.require_subcommand(1);
  TClientOptions options;
  options.AddTo(app);
  std::function<int()> run;
  CLI::App* status = app.add_subcommand(
      "status", "Connect, set the client name, open and commit a transaction");
  status->callback([&] { run = [&] { return RunStatus(options); }; });
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
