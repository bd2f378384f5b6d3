// The PostgreSQL backend: one libpq connection per session, opened from a libpq connection
// string ("postgresql://user@host:port/db", "host=h1,h2 port=p1,p2 dbname=db ...").
//
// ":name" placeholders are rewritten to "$n" (server/sql/sql_parameters.h) and bound as typed
// values; results arrive as text and are converted into the column's kind. Column kinds come
// from the result's type OIDs and modifiers (varchar(n), numeric(p,s)); base table and
// column from PQftable/PQftablecol, keys from the primary key index, auto-increment from
// identity columns and nextval() defaults, NOT NULL from pg_attribute.
//
// A connection that broke (its server stopped, a standby took over) fails the statement that
// met the break with EServerDatabaseLost; so does the next statement when the break is found
// before it while a transaction was open (the transaction is gone, which InTransaction then
// reports). After that the connection is made again before the next statement, libpq choosing
// among the locator's hosts (target_session_attrs=read-write: the primary), at most once per
// pause, which doubles from 200 ms to 5 s while no host accepts. Unless the locator says
// otherwise, each host gets 5 s to accept, and TCP keep-alives and a 60 s TCP user time-out
// notice a host that vanished without closing its connections.
//
// Inside a transaction every statement runs under a savepoint of its own, so a failed
// statement leaves the transaction usable, as SQLite does. Stored procedures are called with
// CALL and functions with SELECT * FROM, chosen by pg_proc.prokind; their OUT and INOUT
// values come back in the parameters.
//
// Thread-safety: a connection belongs to one session thread; Interrupt may come from any.
#ifndef LARKSPIRE_SERVER_BACKENDS_POSTGRES_POSTGRES_DATABASE_H_
#define LARKSPIRE_SERVER_BACKENDS_POSTGRES_POSTGRES_DATABASE_H_

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "server/sql/backends/postgres/postgres_procedure.h"
#include "server/sql/database.h"

struct pg_conn;
struct pg_result;
struct pg_cancel;

namespace larkspire::server {

class TPostgresDatabase : public IDatabase {
 public:
  // Connects; raises EServerDatabaseLost with libpq's text when it cannot.
  explicit TPostgresDatabase(const std::string& conninfo);
  ~TPostgresDatabase() override;

  void ExecuteScript(const std::string& sql) override;
  bool InTransaction() override;
  void Rollback() override;
  void RollbackToSavepoint(const std::string& name) override;
  // Rolls back, then DISCARD ALL (settings, roles, temporary tables, prepared statements,
  // listeners, advisory locks), then the settings every connection needs again.
  void ResetSession() override;
  void SetRole(const std::string& role) override;
  // Reads what the server sent while the connection sat idle: false once it closed it.
  bool LooksAlive() override;
  // The host and port the connection reached.
  std::string Where() override;

  TRecordsetData OpenQuery(const std::string& sql, const TParameters& parameters,
                           const TStatementOptions& options) override;
  // The rows are converted and written one by one from libpq's result.
  void StreamQuery(const std::string& sql, const TParameters& parameters,
                   const TStatementOptions& options, TRowsetXmlWriter& writer) override;
  int64_t ExecuteStatement(const std::string& sql, const TParameters& parameters,
                           const TStatementOptions& options) override;
  TRecordsetData CallProcedure(const std::string& name, TParameters& parameters,
                               const TStatementOptions& options) override;
  void StreamProcedure(const std::string& name, TParameters& parameters,
                       const TStatementOptions& options, TRowsetXmlWriter& writer) override;
  // The rows go as one statement of one JSON parameter for up to a thousand rows, each value
  // cast from its text to its column's type as a text parameter would be.
  void InsertRows(const std::string& table, const std::vector<std::string>& columns,
                  const std::string& returning, const std::vector<TParameters>& runs,
                  const TStatementOptions& options, TBatchResult& result) override;
  // The runs go out together in libpq's pipeline mode and their results are read after.
  void ExecuteBatch(const std::string& sql, const std::vector<TParameters>& runs,
                    const TStatementOptions& options, TBatchResult& result) override;
  const ISqlDialect& Dialect() const override;
  // PQcancel: the server cancels the running statement.
  void Interrupt() override;

 private:
  class TResult;

  // Runs a statement whose $n placeholders take values[n-1] (null: NULL).
  TResult Run(const std::string& sql, const std::vector<const TParameter*>& values,
              const TStatementOptions& options);
  TResult RunNamed(const std::string& sql, const TParameters& parameters,
                   const TStatementOptions& options);
  // Session settings every connection needs (UTF-8, ISO dates, hex bytea).
  void Configure();
  // Before a statement: finds a connection the server closed, and connects again (raising
  // EServerDatabaseLost instead when a transaction was open on it, or while the pause after a
  // failed attempt lasts, or when no host accepts).
  void EnsureConnected();
  // Raises EServerDatabaseLost when the connection is broken, EServerDatabaseError otherwise.
  [[noreturn]] void Fail(const std::string& message);
  void SetTimeout(int32_t seconds);
  // Writes a result's rowset into writer, row by row; whole when a value changes a kind.
  void StreamResult(pg_result* result, const TStatementOptions& options, TRowsetXmlWriter& writer);
  // The result's rowset; describe_tables looks up what the catalog says of the columns' base
  // tables (keys, NOT NULL, auto-increment), which takes a statement of its own.
  TRecordsetData RowsetOf(pg_result* result, const TStatementOptions& options,
                          TRowsetXmlWriter* stream = nullptr, bool describe_tables = true);
  // The routine a client's name means, with the overload that takes the request's parameters.
  TRoutine FindRoutine(const std::string& name, const TParameters& parameters,
                       const TStatementOptions& options);

  pg_conn* connection_ = nullptr;
  // The cancel request of the current connection, renewed when it is made again; guarded by
  // cancel_mutex_ (Interrupt comes from another thread).
  std::mutex cancel_mutex_;
  pg_cancel* cancel_ = nullptr;
  // The statement_timeout in force; -1 when unknown (a rollback may have restored another).
  int32_t timeout_ = -1;
  // After a failed attempt to connect again: no new attempt before reconnect_at_; the pause
  // doubles with each failure.
  std::chrono::steady_clock::time_point reconnect_at_{};
  std::chrono::milliseconds reconnect_pause_{0};
  std::string reconnect_error_;
};

}  // namespace larkspire::server

#endif  // LARKSPIRE_SERVER_BACKENDS_POSTGRES_POSTGRES_DATABASE_H_
