#include "server/database.h"

#include "server/server_errors.h"
#include "server/postgres_database.h"
#include "server/sqlite_database.h"

namespace larkspire::server {

namespace {

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

TDatabaseSpec ParseDatabaseSpec(const std::string& text) {
  TDatabaseSpec spec;
  spec.Text = text;
  if (StartsWith(text, "sqlite:")) {
    spec.Kind = TDatabaseKind::dkSQLite;
    spec.Location = text.substr(7);
    if (spec.Location.empty()) {
      throw Exception("database \"" + text + "\": the SQLite file path is empty");
    }
    return spec;
  }
  if (StartsWith(text, "postgresql://") || StartsWith(text, "postgres://")) {
    spec.Kind = TDatabaseKind::dkPostgreSQL;
    spec.Location = text;
    return spec;
  }
  throw Exception("database \"" + text +
                  "\": expected sqlite:PATH or postgresql://... (a PostgreSQL URI)");
}

std::unique_ptr<IDatabase> OpenDatabase(const TDatabaseSpec& spec) {
  switch (spec.Kind) {
    case TDatabaseKind::dkSQLite:
      return std::make_unique<TSQLiteDatabase>(spec.Location);
    case TDatabaseKind::dkPostgreSQL:
      return std::make_unique<TPostgresDatabase>(spec.Location);
  }
  throw EServerDatabaseError("unknown database kind for " + spec.Text);
}

TTransactionStack::~TTransactionStack() {
  try {
    RollbackAll();
  } catch (...) {
  }
}

std::string TTransactionStack::SavepointName(int level) {
  return "lk_" + std::to_string(level);
}

int TTransactionStack::Begin() {
  if (level_ >= kMaxLevel) {
    throw TServerError(kErrTransactionTooDeep, "Transactions cannot be nested deeper than " +
                                                   std::to_string(kMaxLevel) + " levels");
  }
  if (level_ == 0) {
    database_.Begin();
  } else {
    database_.Savepoint(SavepointName(level_ + 1));
  }
  return ++level_;
}

int TTransactionStack::Commit() {
  if (level_ == 0) throw TServerError(kErrNotInTransaction, "No transaction is open to commit");
  if (level_ == 1) {
    database_.Commit();
  } else {
    database_.ReleaseSavepoint(SavepointName(level_));
  }
  return --level_;
}

int TTransactionStack::Rollback() {
  if (level_ == 0) {
    throw TServerError(kErrNotInTransaction, "No transaction is open to roll back");
  }
  if (level_ == 1) {
    database_.Rollback();
  } else {
    database_.RollbackToSavepoint(SavepointName(level_));
  }
  return --level_;
}

bool TTransactionStack::SyncWithDatabase() {
  if (level_ > 0 && !database_.InTransaction()) {
    level_ = 0;
    return true;
  }
  return false;
}

void TTransactionStack::RollbackAll() {
  if (level_ == 0) return;
  level_ = 0;
  if (database_.InTransaction()) database_.Rollback();
}

std::optional<TDatabaseSpec> TDatabaseCatalog::Find(const std::string& name) const {
  auto found = specs_.find(name);
  if (found == specs_.end()) return std::nullopt;
  return found->second;
}

}  // namespace larkspire::server
