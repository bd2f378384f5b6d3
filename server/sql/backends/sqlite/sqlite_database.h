// The SQLite backend: one sqlite3 handle on a database file, with a busy time-out so that
// several sessions can wait for one writer. The demonstration database runs in WAL mode so that
// they can read while it writes; a user's file keeps its own journal mode unless its locator
// names one.
//
// Placeholders are bound natively (":name", "@name", "$name" by name; "?" and "?NNN" by
// position in the request's list). Column kinds come from the declared types (INT → int,
// BIGINT → i8, REAL/FLOAT/DOUBLE → float, DECIMAL(p,s)/NUMERIC → number, MONEY → currency,
// BOOLEAN, DATE/DATETIME/TIMESTAMP → dateTime, CHAR/VARCHAR(n)/TEXT → string, BLOB →
// bin.hex); an expression without one takes the kind of its first value. The schema's key,
// base table and NOT NULL facts come from SQLite's column metadata; an INTEGER PRIMARY KEY
// (the rowid) and an AUTOINCREMENT key are auto-increment columns.
//
// A transaction takes the write lock with its first statement (BEGIN IMMEDIATE), so a
// transaction that reads and then writes waits for another writer instead of failing; a lock
// held past the busy time-out raises the retryable EServerDatabaseBusy.
//
// Thread-safety: a handle belongs to one session thread; Interrupt may come from any.
#ifndef LARKSPIRE_SERVER_BACKENDS_SQLITE_SQLITE_DATABASE_H_
#define LARKSPIRE_SERVER_BACKENDS_SQLITE_SQLITE_DATABASE_H_

#include <string>

#include "server/sql/database.h"

struct sqlite3;

namespace larkspire::server {

class TSQLiteDatabase : public IDatabase {
 public:
  static constexpr int kBusyTimeoutMs = 5000;

  // Opens the file, creating it when missing only if create is true, and sets its journal
  // mode when one is given (an empty mode leaves the file's own). A statement waits up to
  // busy_timeout_ms for a lock another session holds, then raises EServerDatabaseBusy. Raises
  // EServerDatabaseError with SQLite's text.
  explicit TSQLiteDatabase(const std::string& path, const std::string& journal_mode = "wal",
                           bool create = true, int busy_timeout_ms = kBusyTimeoutMs);
  ~TSQLiteDatabase() override;

  void ExecuteScript(const std::string& sql) override;
  bool InTransaction() override;
  // The transaction begins (BEGIN IMMEDIATE, taking the write lock) with its first statement;
  // a commit or rollback before any statement ends it without touching the file.
  void Begin() override;
  void Commit() override;
  void Rollback() override;
  // Rolls back, and drops the temporary tables, views and triggers one session made.
  void ResetSession() override;
  TRecordsetData OpenQuery(const std::string& sql, const TParameters& parameters,
                           const TStatementOptions& options) override;
  // One prepared statement, bound and run again for each run.
  void ExecuteBatch(const std::string& sql, const std::vector<TParameters>& runs,
                    const TStatementOptions& options, TBatchResult& result) override;
  int64_t ExecuteStatement(const std::string& sql, const TParameters& parameters,
                           const TStatementOptions& options) override;
  // One read-only statement is streamed; anything else is built whole.
  void StreamQuery(const std::string& sql, const TParameters& parameters,
                   const TStatementOptions& options, TRowsetXmlWriter& writer) override;
  TRecordsetData CallProcedure(const std::string& name, TParameters& parameters,
                               const TStatementOptions& options) override;
  const ISqlDialect& Dialect() const override;
  // sqlite3_interrupt: the running statement stops at its next step.
  void Interrupt() override;

  const std::string& Path() const { return path_; }
  sqlite3* Handle() { return db_; }

 private:
  // Runs sql without starting a pending transaction first.
  void Exec(const std::string& sql);
  void StartPendingTransaction();

  std::string path_;
  int busy_timeout_ms_;
  sqlite3* db_ = nullptr;
  bool pending_begin_ = false;
};

}  // namespace larkspire::server

#endif  // LARKSPIRE_SERVER_BACKENDS_SQLITE_SQLITE_DATABASE_H_
