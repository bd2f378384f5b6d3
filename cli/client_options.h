// The options every subcommand of the command-line client shares, and the connection they
// configure.
//
// Thread-safety: used on the main thread.
#ifndef LARKSPIRE_CLI_CLIENT_OPTIONS_H_
#define LARKSPIRE_CLI_CLIENT_OPTIONS_H_

#include <CLI/CLI.hpp>

#include <string>

#include "components/connection.h"

namespace larkspire::cli {

struct TClientOptions {
  std::string host = "127.0.0.1";
  int port = 8008;
  std::string password;
  std::string user;
  std::string connection;
  std::string client_name;
  std::string codepage = "UTF-8";
  bool tls = false;
  std::string tls_ca;
  std::string tls_server_name;

  void AddTo(CLI::App& app);
  // Applies the code page and the connection settings.
  void Configure(TLarkspireConnection& connection) const;
};

}  // namespace larkspire::cli

#endif  // LARKSPIRE_CLI_CLIENT_OPTIONS_H_
