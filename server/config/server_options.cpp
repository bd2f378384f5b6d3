#include "server/config/server_options.h"

#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>
#include <tuple>

#include "server/sql/seed.h"

namespace larkspire::server {

namespace {

// The first line of a password file that only its owner may read; raises Exception saying
// what is wrong with it.
std::string ReadPasswordFile(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    throw Exception("--password-file \"" + path + "\": " + std::strerror(errno));
  }
  if (!S_ISREG(info.st_mode)) throw Exception("--password-file \"" + path + "\" is not a file");
  if ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    throw Exception("--password-file \"" + path + "\" may be read or changed by others (mode " +
                    mode + "); make it the owner's only: chmod 600 " + path);
  }
  std::ifstream file(path, std::ios::binary);
  std::string line;
  if (!file || !std::getline(file, line)) {
    throw Exception("--password-file \"" + path + "\" cannot be read or is empty");
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.empty()) throw Exception("--password-file \"" + path + "\": its first line is empty");
  return line;
}

}  // namespace

std::pair<std::string, uint16_t> ParseMetricsAddress(const std::string& value) {
  const auto colon = value.rfind(':');
  if (colon == std::string::npos || colon == 0) {
    throw Exception("--metrics \"" + value + "\": expected HOST:PORT, as 127.0.0.1:9108");
  }
  std::string host = value.substr(0, colon);
  const std::string port_text = value.substr(colon + 1);
  if (host.front() == '[') {
    if (host.size() < 3 || host.back() != ']') {
      throw Exception("--metrics \"" + value +
                      "\": an IPv6 address goes in brackets, as [::1]:9108");
    }
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string::npos) {
    throw Exception("--metrics \"" + value + "\": an IPv6 address goes in brackets, as [::1]:9108");
  }
  unsigned long port = 0;
  const bool digits = !port_text.empty() && port_text.size() <= 5 &&
                      port_text.find_first_not_of("0123456789") == std::string::npos;
  if (digits) port = std::stoul(port_text);
  if (!digits || port > 65535) {
    throw Exception("--metrics \"" + value + "\": the port must be a number from 0 to 65535");
  }
  return {host, static_cast<uint16_t>(port)};
}

std::pair<std::string, TDatabaseLocator> ParseDatabaseOption(const std::string& value) {
  // "NAME=LOCATOR" when what follows the first "=" is a locator; otherwise the whole value is
  // one ("sqlite:/a=b.db", "host=h1,h2 dbname=erp", "postgresql://h/db?sslmode=require").
  const auto equals = value.find('=');
  if (equals != std::string::npos && FindBackend(value.substr(equals + 1)) != nullptr) {
    return {value.substr(0, equals), ParseDatabaseLocator(value.substr(equals + 1))};
  }
  if (FindBackend(value) != nullptr) return {std::string(), ParseDatabaseLocator(value)};
  if (equals == std::string::npos) {
    throw Exception("--database \"" + ShownLocator(value) +
                    "\": expected NAME=sqlite:PATH or sqlite:PATH, or a PostgreSQL "
                    "connection string");
  }
  return {value.substr(0, equals), ParseDatabaseLocator(value.substr(equals + 1))};
}

TOptionsParseResult ParseServerOptions(int argc, const char* const* argv) {
  TOptionsParseResult result;
  TServerOptions& options = result.Options;
  CLI::App app("larkspire-server: the Larkspire remote-database server", "larkspire-server");
  std::string password;
  std::vector<std::string> databases;
  app.add_option("--port", options.Port, "TCP port to listen on; 0 picks a free port")
      ->capture_default_str();
  app.add_option("--bind", options.Bind, "address to listen on")->capture_default_str();
  app.add_option("--max-connections", options.MaxConnections, "sessions served at once")
      ->check(CLI::Range(1, 100000))
      ->capture_default_str();
  app.add_option("--pool-size", options.PoolSize,
                 "database connections per database, shared by the sessions")
      ->check(CLI::Range(1, 10000))
      ->capture_default_str();
  std::string pool_mode = "transaction";
  app.add_option("--pool-mode", pool_mode,
                 "transaction: a connection per command or open transaction; session: one per "
                 "session for its life")
      ->check(CLI::IsMember({"transaction", "session"}))
      ->capture_default_str();
  double pool_timeout = options.PoolTimeoutMs / 1000.0;
  app.add_option("--pool-timeout", pool_timeout,
                 "seconds a command without a time-out of its own waits for a database "
                 "connection")
      ->check(CLI::Range(0.001, 86400.0))
      ->capture_default_str();
  app.add_option("--users", options.UsersFile,
                 "users file (NAME:HASH:ROLE lines); every session must log in");
  app.add_flag("--allow-plain-login", options.AllowPlainLogin,
               "accept log-ins over plaintext connections when TLS is configured");
  app.add_flag("--hash-password", options.HashPassword,
               "read a password from stdin, print its hash for the users file and exit");
  app.add_option("--udp-port", options.UdpPort,
                 "UDP port answering load queries (default: the TCP port; 0: none)")
      ->check(CLI::Range(0, 65535));
  app.add_option("--notify-udp-port", options.NotifyUdpPort,
                 "UDP port clients link to for notifications, when a port mapping or relay "
                 "stands in front of the datagram endpoint (default: the endpoint's own)")
      ->check(CLI::Range(0, 65535));
  app.add_option("--deny", options.Deny, "refuse this client identity or client name")->take_all();
  std::string password_file;
  auto* password_option =
      app.add_option("--password", password,
                     "password every command must carry (ps shows it: prefer --password-file)");
  auto* password_file_option = app.add_option(
      "--password-file", password_file,
      "file whose first line is the password; only its owner may read it (environment: "
      "LARKSPIRE_SERVER_PASSWORD)");
  password_file_option->excludes(password_option);
  app.add_option("--tls-cert", options.TlsCert,
                 "PEM certificate chain: the port then speaks TLS only");
  app.add_option("--tls-key", options.TlsKey, "PEM private key of --tls-cert");
  uint16_t plain_port = 0;
  auto* plain_port_option = app.add_option(
      "--plain-port", plain_port,
      "with TLS, a second port speaking plaintext (bind it to a trusted network only)");
  app.add_option("--database", databases,
                 "[NAME=]sqlite:PATH, [NAME=]postgresql://... or [NAME=]'host=... dbname=...'; no "
                 "name: the default database")
      ->take_all();
  app.add_option("--seed-demo", options.SeedDemo,
                 "create the products table in this database when it has none")
      ->take_all();
  app.add_option("--data-dir", options.DataDir, "folder of the demonstration database")
      ->capture_default_str();
  app.add_option("--max-frame", options.MaxFrame, "longest request frame in bytes")
      ->check(CLI::Range(uint32_t{64}, uint32_t{std::numeric_limits<int32_t>::max()}))
      ->capture_default_str();
  app.add_option("--max-message", options.MaxMessage, "most bytes a request may inflate to")
      ->check(CLI::Range(uint64_t{64}, uint64_t{0xFFFFFFFF}))
      ->capture_default_str();
  app.add_option("--max-inflight", options.MaxInflight,
                 "most bytes all requests in flight may hold together; past it a request waits "
                 "briefly, then is refused (retryable)")
      ->check(CLI::Range(uint64_t{64} * 1024, uint64_t{1} << 40))
      ->capture_default_str();
  app.add_option("--max-reply", options.MaxReply,
                 "longest compressed reply to a query in bytes; a larger result fails")
      ->check(CLI::Range(uint64_t{1024}, uint64_t{1} << 40))
      ->capture_default_str();
  app.add_option("--codepage", options.CodePage, "code page of texts on the wire")
      ->capture_default_str();
  app.add_option("--plugins", options.PluginDirs,
                 "folder of plug-in libraries (repeatable; default: the build's PluginSample)")
      ->take_all();
  app.add_option("--plugin-runner", options.PluginRunner, "the helper that runs plug-in calls");
  app.add_option("--plugin-timeout-ms", options.PluginTimeoutMs, "time limit of a plug-in call")
      ->check(CLI::Range(uint32_t{1}, uint32_t{86400000}))
      ->capture_default_str();
  app.add_option("--plugin-runners", options.PluginRunners,
                 "idle runner processes kept per plug-in (0: a fresh one for every call)")
      ->check(CLI::Range(uint32_t{0}, uint32_t{256}))
      ->capture_default_str();
  app.add_option("--files", options.FilesDir,
                 "folder served by the file commands (default: files in --data-dir)");
  app.add_option("--log-file", options.LogFile,
                 "append the log to this file instead of stderr; SIGHUP reopens it");
  app.add_option("--stop-grace-ms", options.StopGraceMs,
                 "how long requests in flight may take to finish on SIGTERM");
  double frame_timeout = options.FrameTimeoutMs / 1000.0;
  double idle_timeout = options.IdleTimeoutMs / 1000.0;
  app.add_option("--frame-timeout", frame_timeout,
                 "seconds a request may take from its first byte to its last")
      ->check(CLI::Range(0.001, 86400.0))
      ->capture_default_str();
  app.add_option("--idle-timeout", idle_timeout,
                 "close a session with no transaction open after this many idle seconds; 0: never")
      ->check(CLI::Range(0.0, 2592000.0))
      ->capture_default_str();
  std::string metrics;
  app.add_option("--metrics", metrics,
                 "HOST:PORT serving Prometheus metrics (/metrics) and a health check (/healthz)");

  std::ostringstream out;
  std::ostringstream err;
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    result.Exit = true;
    result.ExitCode = app.exit(e, out, err);
    result.Output = out.str() + err.str();
    return result;
  }
  if (!plain_port_option->empty()) options.PlainPort = plain_port;
  try {
    if (!password_option->empty()) {
      options.Password = password;
    } else if (!password_file_option->empty()) {
      options.Password = ReadPasswordFile(password_file);
    } else if (const char* from_env = std::getenv("LARKSPIRE_SERVER_PASSWORD");
               from_env != nullptr && *from_env != '\0') {
      options.Password = std::string(from_env);
    }
    if (options.TlsCert.empty() != options.TlsKey.empty()) {
      throw Exception("--tls-cert and --tls-key go together: give both or neither");
    }
    if (options.PlainPort && options.TlsCert.empty()) {
      throw Exception("--plain-port is for a TLS server: give --tls-cert and --tls-key too");
    }
    if (!metrics.empty()) {
      std::tie(options.MetricsHost, options.MetricsPort) = ParseMetricsAddress(metrics);
    }
  } catch (const Exception& e) {
    result.Exit = true;
    result.ExitCode = 2;
    result.Output = std::string(e.what()) + "\n";
    return result;
  }
  options.FrameTimeoutMs = static_cast<uint32_t>(frame_timeout * 1000 + 0.5);
  options.PoolTimeoutMs = static_cast<uint32_t>(pool_timeout * 1000 + 0.5);
  options.PoolMode = pool_mode == "session" ? TPoolMode::pmSession : TPoolMode::pmTransaction;
  options.IdleTimeoutMs = static_cast<uint32_t>(idle_timeout * 1000 + 0.5);
  try {
    for (const std::string& value : databases) {
      options.Databases.push_back(ParseDatabaseOption(value));
    }
  } catch (const std::exception& e) {
    result.Exit = true;
    result.ExitCode = 2;
    result.Output = std::string(e.what()) + "\n";
  }
  return result;
}

TDatabaseCatalog BuildDatabaseCatalog(const TServerOptions& options) {
  TDatabaseCatalog catalog;
  for (const auto& [name, locator] : options.Databases) catalog.Add(name, locator);
  if (!catalog.Has("") || !catalog.Has("demo")) {
    std::string path = EnsureDemoDatabase(options.DataDir);
    TDatabaseLocator demo;
    demo.Backend = FindBackend("sqlite:");
    demo.Location = path;
    demo.Text = "sqlite:" + path;
    demo.Journal = "wal";
    demo.Create = true;
    if (!catalog.Has("")) catalog.Add("", demo);
    if (!catalog.Has("demo")) catalog.Add("demo", demo);
  }
  for (const std::string& name : options.SeedDemo) {
    auto locator = catalog.Find(name);
    if (!locator) throw Exception("--seed-demo \"" + name + "\": no database of that name");
    try {
      auto database = OpenDatabase(*locator);
      SeedDemoTable(*database);
    } catch (const EDatabaseError& e) {
      throw Exception("--seed-demo \"" + name + "\": " + e.what());
    }
  }
  return catalog;
}

}  // namespace larkspire::server
