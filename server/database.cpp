#include "server/database.h"

#include <algorithm>
#include <iterator>

#include "server/backends/postgres/postgres_database.h"
#include "server/server_errors.h"
#include "server/backends/sqlite/sqlite_database.h"

namespace larkspire::server {

namespace {

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// Reads the options after the "?" of a SQLite locator into it.
void ReadSQLiteOptions(const std::string& text, const std::string& options,
                       TDatabaseLocator& locator) {
  static const char* const kJournalModes[] = {"wal",     "delete", "truncate",
                                              "persist", "memory", "off"};
  size_t start = 0;
  while (start <= options.size()) {
    size_t end = options.find('&', start);
    if (end == std::string::npos) end = options.size();
    const std::string option = options.substr(start, end - start);
    const size_t equals = option.find('=');
    const std::string key = option.substr(0, equals);
    const std::string value = equals == std::string::npos ? "" : option.substr(equals + 1);
    if (key == "journal" && std::find(std::begin(kJournalModes), std::end(kJournalModes), value) !=
                                std::end(kJournalModes)) {
      locator.Journal = value;
    } else if (key == "create" && (value == "1" || value == "0")) {
      locator.Create = value == "1";
    } else {
      throw Exception("database \"" + text + "\": unknown option \"" + option +
                      "\" (expected journal=wal|delete|truncate|persist|memory|off or create=1)");
    }
    start = end + 1;
  }
}

}  // namespace

TDatabaseLocator ParseDatabaseLocator(const std::string& text) {
  TDatabaseLocator locator;
  locator.Text = text;
  if (StartsWith(text, "sqlite:")) {
    locator.Kind = TDatabaseKind::dkSQLite;
    locator.Location = text.substr(7);
    const size_t question = locator.Location.find('?');
    if (question != std::string::npos) {
      ReadSQLiteOptions(text, locator.Location.substr(question + 1), locator);
      locator.Location.resize(question);
    }
    if (locator.Location.empty()) {
      throw Exception("database \"" + text + "\": the SQLite file path is empty");
    }
    return locator;
  }
  if (StartsWith(text, "postgresql://") || StartsWith(text, "postgres://")) {
    locator.Kind = TDatabaseKind::dkPostgreSQL;
    locator.Location = text;
    return locator;
  }
  throw Exception("database \"" + text +
                  "\": expected sqlite:PATH or postgresql://... (a PostgreSQL URI)");
}

std::unique_ptr<IDatabase> OpenDatabase(const TDatabaseLocator& locator) {
  switch (locator.Kind) {
    case TDatabaseKind::dkSQLite:
      return std::make_unique<TSQLiteDatabase>(locator.Location, locator.Journal, locator.Create);
    case TDatabaseKind::dkPostgreSQL:
      return std::make_unique<TPostgresDatabase>(locator.Location);
  }
  throw EServerDatabaseError("unknown database kind for " + locator.Text);
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

std::optional<TDatabaseLocator> TDatabaseCatalog::Find(const std::string& name) const {
  auto found = locators_.find(name);
  if (found == locators_.end()) return std::nullopt;
  return found->second;
}

}  // namespace larkspire::server
