#include <iostream>

#include "cli/commands.h"
#include "cli/error_report.h"
#include "components/connection.h"

namespace larkspire::cli {
namespace {

int RunStatus(const TClientOptions& options) {
  TLarkspireConnection connection;
  options.Configure(connection);
  connection.SetConnected(true);
  if (!connection.Connected())
    return ReportError(std::cerr, connection.ErrorCode(), connection.ErrorText());
  std::cout << "connected to " << connection.ConnectedServer() << " as \""
            << connection.GetClientIdentity() << "/" << connection.ClientName() << "\"\n";
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

void AddStatusCommand(CLI::App& app, const TClientOptions& options, TRunFunction& run) {
  CLI::App* status =
      app.add_subcommand("status", "Connect, set the client name, open and commit a transaction");
  status->callback([&options, &run] { run = [&options] { return RunStatus(options); }; });
}

}  // namespace larkspire::cli
