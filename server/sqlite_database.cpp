#include "server/sqlite_database.h"

#include <sqlite3.h>

namespace larkspire::server {

TSQLiteDatabase::TSQLiteDatabase(const std::string& path) : path_(path) {
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
  int rc = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
  if (rc != SQLITE_OK) {
    std::string message = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    sqlite3_close(db_);
    db_ = nullptr;
    throw EServerDatabaseError("cannot open SQLite database " + path + ": " + message);
  }
  sqlite3_extended_result_codes(db_, 1);
  sqlite3_busy_timeout(db_, kBusyTimeoutMs);
  try {
    ExecuteScript("PRAGMA journal_mode=WAL; PRAGMA foreign_keys=ON;");
  } catch (...) {
    sqlite3_close(db_);
    db_ = nullptr;
    throw;
  }
}

TSQLiteDatabase::~TSQLiteDatabase() {
  if (db_) sqlite3_close_v2(db_);
}

void TSQLiteDatabase::ExecuteScript(const std::string& sql) {
  char* error = nullptr;
  int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error);
  if (rc != SQLITE_OK) {
    std::string message = error ? error : sqlite3_errstr(rc);
    sqlite3_free(error);
    throw EServerDatabaseError(message);
  }
}

bool TSQLiteDatabase::InTransaction() {
  return sqlite3_get_autocommit(db_) == 0;
}

}  // namespace larkspire::server
