// The SQLite backend: one sqlite3 handle on a database file, in WAL mode with a busy
// time-out so that several sessions can read while one writes.
//
// Thread-safety: a handle belongs to one session thread.
#ifndef LARKSPIRE_SERVER_SQLITE_DATABASE_H_
#define LARKSPIRE_SERVER_SQLITE_DATABASE_H_

#include <string>

#include "server/database.h"

struct sqlite3;

namespace larkspire::server {

class TSQLiteDatabase : public IDatabase {
 public:
  static constexpr int kBusyTimeoutMs = 5000;

  // Opens (creating when missing) the file; raises EServerDatabaseError with SQLite's text.
  explicit TSQLiteDatabase(const std::string& path);
  ~TSQLiteDatabase() override;

  void ExecuteScript(const std::string& sql) override;
  bool InTransaction() override;

  const std::string& Path() const { return path_; }
  sqlite3* Handle() { return db_; }

 private:
  std::string path_;
  sqlite3* db_ = nullptr;
};

}  // namespace larkspire::server

#endif  // LARKSPIRE_SERVER_SQLITE_DATABASE_H_
