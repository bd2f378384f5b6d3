// The server's settings: what the command line gives, with the defaults, and the database
// catalog made from them.
//
// Command line:
//   --port N              TCP port (default 8008; 0 picks a free port)
//   --bind ADDRESS        address to listen on (default 127.0.0.1)
//   --max-connections N   sessions served at once (default 1000); more are refused (100022)
//   --udp-port N          UDP port of the datagram endpoint that answers load queries
//                         (default: the TCP port bound; 0: no endpoint)
//   --notify-udp-port N   UDP port clients are told to link to for notifications, when a port
//                         mapping or relay stands in front of the endpoint (default: its own)
//   --deny NAME           refuse a client identity or client name (100021); repeatable
//   --password TEXT       commands must carry this password (seen by ps: prefer the next two)
//   --password-file FILE  the password is the file's first line; the file must not be
//                         readable or writable by group or others
//   (environment LARKSPIRE_SERVER_PASSWORD: the password, when neither option is given)
//   --tls-cert FILE       PEM certificate chain: the port speaks TLS (1.2 or 1.3) only
//   --tls-key FILE        PEM private key of --tls-cert (required with it)
//   --plain-port N        with TLS, a second port that speaks plaintext (for a trusted
//                         network only; 0 picks a free port)
//   --database [NAME=]LOCATOR  serve LOCATOR (sqlite:PATH, postgresql://... or libpq's
//                         "host=... dbname=..." form, several hosts allowed) as NAME; without a
//                         name (or with "=") it is the default database; repeatable. A SQLite
//                         file must exist unless the locator ends in "?create=1", and keeps its
//                         journal mode unless the locator names one ("?journal=wal")
//   --pool-size N         database connections per database, shared by the sessions (default 16)
//   --pool-mode MODE      transaction (default): a session holds a connection for a command, or
//                         from a transaction's begin to its end; session: a connection of its
//                         own for the session's life, as many as there are sessions
//   --pool-timeout S      seconds a command without a time-out of its own waits for a pooled
//                         connection before it fails with 20030, to be sent again (default 30)
//   --users FILE          log-ins: lines NAME:HASH:ROLE; sessions must log in (command 602)
//                         and run their statements under ROLE
//   --allow-plain-login   accept log-ins on plaintext connections when TLS is configured
//   --hash-password       read a password on stdin, print its hash for a users file, exit
//   --data-dir DIR        where the demonstration database lives (default ./larkspire-data)
//   --seed-demo NAME      create and fill the products table in database NAME when it has
//                         none (a PostgreSQL database, say); repeatable
//   --max-frame BYTES     longest request frame accepted (default 256 MiB)
//   --max-message BYTES   most bytes a request may inflate to (default 256 MiB); a request
//                         past it is answered with a failed reply (20016), never inflated whole
//   --max-inflight BYTES  most bytes all requests in flight may hold together (default 1 GiB);
//                         a request past it waits up to 2 s, then is refused (20041, retryable)
//   --max-reply BYTES     longest compressed reply to a query (default 1 GiB); a larger result
//                         is answered with a failed reply (20031) instead
//   --codepage NAME       code page of texts on the wire (default UTF-8)
//   --plugins DIR         a folder of plug-in libraries; repeatable (default: the folder where
//                         the build puts PluginSample)
//   --plugin-timeout-ms N time limit of one plug-in call (default 30000)
//   --plugin-runners N    idle runner processes kept per plug-in (default 16; 0: one per call)
//   --files DIR           folder served by the file commands (default "files" in --data-dir,
//                         created with sample files on first start)
//   --log-file PATH       append the log to PATH instead of stderr; SIGHUP reopens it
//   --stop-grace-ms N     on SIGTERM, how long requests in flight may take to finish before
//                         their connections are cut (default 10000)
//   --frame-timeout S     seconds a request frame may take from its first byte to its last,
//                         and that a client may take no byte of a reply (default 30)
//   --idle-timeout S      close a session with no transaction open after S seconds without
//                         a request (default 0: never)
//   --metrics HOST:PORT   serve Prometheus metrics (GET /metrics) and a health check
//                         (GET /healthz) over HTTP there ("[::1]:9108" for IPv6; port 0 picks
//                         a free one); default: none
//
// Thread-safety: plain values, read by every session once the server runs.
#ifndef LARKSPIRE_SERVER_SERVER_OPTIONS_H_
#define LARKSPIRE_SERVER_SERVER_OPTIONS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "server/sql/connection_pool.h"
#include "server/sql/database.h"

namespace larkspire::server {

struct TServerOptions {
  std::string Bind = "127.0.0.1";
  uint16_t Port = 8008;
  // Each session costs a thread that sleeps in a read while its client is idle (a small stack
  // touched, some kilobytes of buffers) and no database connection between commands.
  int MaxConnections = 1000;
  // Database connections per database, and how sessions hold them.
  int PoolSize = 16;
  TPoolMode PoolMode = TPoolMode::pmTransaction;
  // How long a command without a time-out of its own waits for a pooled connection.
  uint32_t PoolTimeoutMs = 30000;
  // The users file; empty: no log-ins, --password alone.
  std::string UsersFile;
  // Log-ins on a plaintext connection are accepted even when TLS is configured.
  bool AllowPlainLogin = false;
  // --hash-password: the program prints a hash and exits instead of serving.
  bool HashPassword = false;
  // The datagram endpoint's port: -1 follows the TCP port bound, 0 opens none.
  int UdpPort = -1;
  // The port told to clients for notifications; 0: the datagram endpoint's own.
  int NotifyUdpPort = 0;
  std::vector<std::string> Deny;        // UTF-8, compared whole with identity and client name
  std::optional<std::string> Password;  // UTF-8
  // PEM files; both set or both empty. Set: the port speaks TLS.
  std::string TlsCert;
  std::string TlsKey;
  // With TLS, a second plaintext port; empty: none.
  std::optional<uint16_t> PlainPort;
  // (name, locator) in command-line order; the empty name is the default database.
  std::vector<std::pair<std::string, TDatabaseLocator>> Databases;
  std::string DataDir = "./larkspire-data";
  // Databases (by name) that get the products table when they have none.
  std::vector<std::string> SeedDemo;
  uint32_t MaxFrame = 256u * 1024 * 1024;
  uint64_t MaxMessage = uint64_t{256} * 1024 * 1024;
  uint64_t MaxReply = uint64_t{1} << 30;
  uint64_t MaxInflight = uint64_t{1} << 30;
  std::string CodePage = "UTF-8";
  // Folders of plug-in libraries; empty: DefaultPluginFolder() (server/plugins/plugin_host.h).
  std::vector<std::string> PluginDirs;
  // The helper that runs plug-in calls; empty: DefaultPluginRunner().
  std::string PluginRunner;
  uint32_t PluginTimeoutMs = 30000;
  // Idle plug-in runners kept per plug-in; 0 starts a runner for every call.
  uint32_t PluginRunners = 16;
  // The folder served by the file commands; empty: "files" in DataDir.
  std::string FilesDir;
  // Where the log goes; empty: stderr.
  std::string LogFile;
  // How long Stop lets the requests in flight finish before it cuts their connections.
  uint32_t StopGraceMs = 10000;
  // How long a new connection may take to send its whole handshake.
  uint32_t HandshakeTimeoutMs = 10000;
  // How long a request frame may take from its first byte to its last, and how long a client
  // may take no byte of a reply or download.
  uint32_t FrameTimeoutMs = 30000;
  // How long a session with no transaction open may wait for its next request; 0: for ever.
  // Off by default: the client has an idle policy of its own (its idle watch disconnects after
  // the application's SmartDCTime), which a server default would override; a closed session
  // costs the next command a new handshake and a new database connection (a new backend on
  // PostgreSQL); and with every handshake and frame bounded in time, an idle session holds a
  // thread and a place and no more. Operators short of places turn it on.
  uint32_t IdleTimeoutMs = 0;
  // Refused connections (over the limit) whose peers have their refusal but have not closed
  // yet; past this the oldest is closed.
  int MaxPendingRefusals = 256;
  // --metrics: where the HTTP listener for metrics and health binds; an empty host: none.
  std::string MetricsHost;
  uint16_t MetricsPort = 0;
};

// What parsing the command line decided.
struct TOptionsParseResult {
  TServerOptions Options;
  bool Exit = false;  // --help, or an error: print Output and exit with ExitCode
  int ExitCode = 0;
  std::string Output;
};

TOptionsParseResult ParseServerOptions(int argc, const char* const* argv);

// Splits a --database value into its name and locator: "NAME=LOCATOR", "=LOCATOR" or a bare
// "LOCATOR" (the default database). Raises Exception for a locator that does not parse.
std::pair<std::string, TDatabaseLocator> ParseDatabaseOption(const std::string& value);

// Splits a --metrics value "HOST:PORT" ("[ADDRESS]:PORT" for an IPv6 address) into host and
// port. Raises Exception saying what is wrong with it.
std::pair<std::string, uint16_t> ParseMetricsAddress(const std::string& value);

// The names served: every --database, and the demonstration database in DataDir (created on
// first start) as the default when no default was given, and as "demo" when no database
// of that name was given. Seeds the --seed-demo databases; raises Exception naming the
// database when one cannot be seeded.
TDatabaseCatalog BuildDatabaseCatalog(const TServerOptions& options);

}  // namespace larkspire::server

#endif  // LARKSPIRE_SERVER_SERVER_OPTIONS_H_
