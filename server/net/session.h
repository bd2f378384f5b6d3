// One client connection: the handshake, then request frames answered one by one until the
// client goes away or the server stops. A session borrows a pooled database connection for each
// command and gives it back after the command, unless a transaction is open on it, which keeps
// it to the transaction's end (so a client's transactions are its own); in session mode it keeps
// what it borrowed until it ends. With a users file the session must log in (command 602) before
// anything but the handshake, and runs its statements under the user's database role.
//
// On a TLS port the TLS handshake comes first, within the handshake time too. The handshake
// body is "Auth:", the client identity, "/" and the client name; it must be whole
// within the handshake time of the connection's start. Its reply body is "Auth:", a status
// byte (1 accepted, 3 refused) and a 4-byte little-endian code (0, or 100021 refused client;
// the limit refusal 100022 is sent by the server itself). Every later frame holds one
// TRemoteCommand and gets one reply frame, and must be whole within --frame-timeout of its
// first byte; a frame longer than --max-frame is read to its end without being kept and
// answered with a failed reply (kErrRequestTooLarge), and the session goes on. With
// --idle-timeout, a session with no transaction open that sends nothing for that long ends.
//
// Thread-safety: a session runs on its own thread; only the shared context is read by
// several sessions, and it does not change while the server runs.
#ifndef LARKSPIRE_SERVER_SESSION_H_
#define LARKSPIRE_SERVER_SESSION_H_

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "server/base/password_hash.h"
#include "server/base/server_log.h"
#include "server/config/server_options.h"
#include "server/config/users_file.h"
#include "server/net/conn_stream.h"
#include "server/notify/table_changes.h"
#include "server/rowsets/reply_compression.h"
#include "server/sql/connection_pool.h"
#include "server/sql/database.h"

namespace larkspire::server {

class TCommandWatch;
class TDispatchTable;
class TGuessGuard;
class TInflightBudget;
class TNotificationHub;
class TNotificationLinks;
class TNotificationMailbox;
class TPluginHost;
class TServerMetrics;

// What every session reads.
struct TServerContext {
  const TServerOptions& Options;
  const TDatabaseCatalog& Catalog;
  const TDispatchTable& Dispatch;
  const std::atomic<bool>& Stopping;
  TPluginHost& Plugins;
  const TConnectionPools& Pools;
  // Null without --users.
  const TUsers* Users = nullptr;
  // Holds password guessing back across sessions; null: no hold (each session still ends
  // after its third wrong password).
  TGuessGuard* Guesses = nullptr;
  // Stops a command's statements when its client goes away; null: they run to their end.
  TCommandWatch* Watch = nullptr;
  // The memory of all requests in flight (--max-inflight); null: only each request's limits.
  TInflightBudget* Inflight = nullptr;
  // The server's notifications; null: the notification commands are refused.
  TNotificationHub* Notifications = nullptr;
  // Datagram delivery of notifications; null: the server has no datagram endpoint.
  TNotificationLinks* NotifyLinks = nullptr;
  // What is counted for --metrics; null: nothing.
  TServerMetrics* Metrics = nullptr;
};

// A database connection the session holds, with its transaction nesting (given back, the
// connection's levels are all closed).
struct TSessionDatabase {
  explicit TSessionDatabase(TPooledConnection connection)
      : Database(std::move(connection)), Transactions(*Database) {}
  TPooledConnection Database;
  TTransactionStack Transactions;
};

class TSession {
 public:
  // stream and its socket stay owned by the caller, who closes them after Run has returned.
  TSession(const TServerContext& context, TConnStream& stream, std::string peer);
  TSession(const TSession&) = delete;
  TSession& operator=(const TSession&) = delete;
  ~TSession();

  // Serves the connection to its end and writes its log line. Never throws.
  void Run();

  const TServerOptions& Options() const { return context_.Options; }
  TPluginHost& Plugins() const { return context_.Plugins; }
  const std::string& Peer() const { return peer_; }
  const std::string& Identity() const { return identity_; }
  const std::string& ClientName() const { return client_name_; }
  void SetClientName(const std::string& name) { client_name_ = name; }
  uint64_t CommandsServed() const { return commands_; }

  // Whether a request's password (code-page text) is the server's, compared in constant time;
  // true when the server has none. Until the session has once given the right one, a check
  // from an address with wrong passwords behind it waits its turn (TGuessGuard). A wrong
  // password fails reply (20002, or 20040 when it was not even checked) and is logged; after
  // the third, the connection ends once the reply is out.
  bool CheckPassword(const std::string& given, TRemoteCommand& reply);
  static constexpr int kMaxWrongPasswords = 3;
  // The server's users, or null when it has no users file.
  const TUsers* Users() const { return context_.Users; }
  // The user logged in, or null.
  const TUser* User() const { return user_ ? &*user_ : nullptr; }
  // Binds the session to a user after a successful log-in with password.
  void LogIn(const TUser& user, const std::string& password);
  // Whether a command's password is the one the session logged in with (constant time).
  bool PasswordMatchesLogIn(const std::string& password) const;
  // Whether this session's bytes travel under TLS, and whether the server has TLS configured.
  bool UnderTls() const { return stream_.IsTls(); }
  bool TlsConfigured() const { return !context_.Options.TlsCert.empty(); }
  // Datagram delivery of notifications, or null when the server has no datagram endpoint.
  TNotificationLinks* NotifyLinks() const { return context_.NotifyLinks; }

  // Whether the server is stopping.
  bool Stopping() const { return context_.Stopping; }
  // Whether the client has closed its side of the connection (checked without reading).
  bool PeerGone() const;
  // The server's notifications, or null.
  TNotificationHub* Notifications() const { return context_.Notifications; }
  // The session's mailbox, registered with the hub on first use and unregistered when the
  // session ends. Null when the server has no hub. Called from the session's thread only.
  std::shared_ptr<TNotificationMailbox> NotificationMailbox();

  // A statement of this session changed rows of table on the database the request names: the
  // change is published on "table:NAME" now, or when the transaction open there commits.
  void TableChanged(const std::string& connection_name, const std::string& table,
                    const TTableChange& change);
  // The outermost transaction on the named database ended (committed, or rolled back).
  void TransactionEnded(const std::string& connection_name, bool committed);

  // Whether the identity or name is on the deny list.
  bool IsDenied(const std::string& name) const;

  // Stops the statements running on the session's databases (from another thread: the
  // client is gone).
  void InterruptDatabases();
  // The connection to the database a request names by its ConnectionName (code-page text):
  // the one the session holds, or one borrowed from the pool, waiting for it up to
  // timeout_seconds (0 or less: --pool-timeout), under the user's role. Raises EServerError
  // 20005 for an unknown name, EServerDatabaseBusy when no connection came free in time,
  // EServerDatabaseError when one cannot be opened.
  TSessionDatabase& DatabaseFor(const std::string& connection_name, int32_t timeout_seconds = 0);
  // Gives back every connection without an open transaction (after each command, unless the
  // pool mode is session).
  void ReleaseIdleConnections();
  // After a database error: whether a database ended an open transaction by itself (the
  // session then forgets its levels there).
  bool TransactionLost();
  // Whether the database a request names has an open transaction in this session (a database
  // not opened yet has none).
  bool InTransaction(const std::string& connection_name) const;

  // For a handler that answers with raw bytes instead of a reply frame (the file download):
  // the connection's socket, the mark that no reply frame follows this command, and the mark
  // that the connection ends after it (with the reason for the log).
  int Socket() const { return stream_.Fd(); }
  // What every byte of the connection goes through (plain or TLS): a handler that answers with
  // raw bytes writes them here.
  TConnStream& Stream() { return stream_; }
  // Whether the connection runs under TLS (its SSL object: Stream().Ssl()).
  bool UsesTls() const { return stream_.IsTls(); }
  // The reply's Data compressed as a handler writes it (server/rowsets/reply_compression.h).
  TDeflatedPayload& ReplyPayload() { return reply_payload_; }
  void SkipReply() { skip_reply_ = true; }
  void EndAfterCommand(const std::string& reason) {
    skip_reply_ = true;
    end_reason_ = reason;
  }

 private:
  enum class THandshake { hsAccepted, hsRefused, hsFailed };
  // Readies the stream (the TLS handshake); a plaintext client on a TLS port is answered with
  // the refusal 100023 in plaintext. False when the session ends here.
  bool OpenStream();
  THandshake Handshake();
  void ServeCommands();
  bool AnyTransactionOpen() const;
  std::string Describe() const;

  const TServerContext& context_;
  TConnStream& stream_;
  std::string peer_;
  std::string identity_;     // UTF-8
  std::string client_name_;  // UTF-8
  std::string outcome_ = "not accepted";
  std::string ending_;
  uint64_t commands_ = 0;
  bool skip_reply_ = false;
  std::string end_reason_;
  bool authenticated_ = false;
  int wrong_passwords_ = 0;
  // Set: the connection ends once the reply is out, for this reason.
  std::string end_after_reply_;
  // Changed by the session's thread only, under databases_mutex_, which InterruptDatabases
  // holds while it reads from another.
  std::mutex databases_mutex_;
  std::map<std::string, std::unique_ptr<TSessionDatabase>> databases_;
  std::optional<TUser> user_;
  TPasswordDigest password_digest_{};
  TDeflatedPayload reply_payload_;
  std::shared_ptr<TNotificationMailbox> mailbox_;
  // Table changes inside open transactions, by database (code-page name as the requests give it).
  TPendingTableChanges pending_changes_;
};

}  // namespace larkspire::server

#endif  // LARKSPIRE_SERVER_SESSION_H_
