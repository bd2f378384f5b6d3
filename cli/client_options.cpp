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
  app.add_option("-U,--user", user, "User to log in as (a server with a users file)")
      ->envname("LARKSPIRE_USER");
  app.add_option("--connection", connection, "Database connection name on the server")
      ->envname("LARKSPIRE_CONNECTION");
  app.add_flag("--tls", tls, "Connect with TLS, checking the server's certificate")
      ->envname("LARKSPIRE_TLS");
  app.add_option("--tls-ca", tls_ca,
                 "PEM file of the CA that signs the server's certificate (default: the system's)")
      ->envname("LARKSPIRE_TLS_CA");
  app.add_option("--tls-server-name", tls_server_name,
                 "Name the server's certificate must carry (default: --host)")
      ->envname("LARKSPIRE_TLS_SERVER_NAME");
  app.add_option("--client-name", client_name, "The name this client gives itself");
  app.add_option("--codepage", codepage, "Code page of texts on the wire (must match the server)")
      ->capture_default_str();
}

void TClientOptions::Configure(TLarkspireConnection& connection_component) const {
  SetAnsiCodePage(codepage);
  connection_component.SetName("Connection");
  connection_component.SetRemoteIP(host);
  connection_component.SetRemotePort(port);
  connection_component.SetUserName(user);
  connection_component.SetLoginPassword(password);
  connection_component.SetConnectionName(connection);
  connection_component.SetClientName(client_name);
  // A CA file alone asks for TLS too: it has no other use.
  connection_component.SetUseTls(tls || !tls_ca.empty());
  connection_component.SetTlsCaFile(tls_ca);
  connection_component.SetTlsServerName(tls_server_name);
}

}  // namespace larkspire::cli
