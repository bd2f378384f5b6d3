#include "cli/client_options.h"

#include "platform/codepage.h"

namespace larkspire::cli {

void TClientOptions::AddTo(CLI::App& app) {
  app.add_option("-H,--host", host,
                 "Server host name or address, or several: host[:port][,host[:port]...]")
      ->envname("LARKSPIRE_HOST")
      ->capture_default_str();
  app.add_option("-p,--port", port, "Server TCP port")
      ->envname("LARKSPIRE_PORT")
      ->check(CLI::Range(1, 65535))
      ->capture_default_str();
  app.add_option("--password", password, "Login password (better kept in the environment)")
      ->envname("LARKSPIRE_PASSWORD");
  app.add_option("--connection", connection, "Database connection name on the server")
      ->envname("LARKSPIRE_CONNECTION");
  app.add_option("--client-name", client_name, "The name this client gives itself");
  app.add_option("--codepage", codepage, "Code page of texts on the wire (must match the server)")
      ->capture_default_str();
}

void TClientOptions::Configure(TLarkspireConnection& connection_component) const {
  SetAnsiCodePage(codepage);
  connection_component.SetName("Connection");
  connection_component.SetRemoteIP(host);
  connection_component.SetRemotePort(port);
  connection_component.SetLoginPassword(password);
  connection_component.SetConnectionName(connection);
  connection_component.SetClientName(client_name);
}

}  // namespace larkspire::cli
