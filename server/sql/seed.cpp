#include "server/sql/seed.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "platform/exception.h"
#include "server/sql/backends/sqlite/sqlite_database.h"
#include "server/sql/seed_products_sql.h"

namespace larkspire::server {

namespace {

void RemoveQuietly(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove(path, ignored);
  std::filesystem::remove(path + "-wal", ignored);
  std::filesystem::remove(path + "-shm", ignored);
  std::filesystem::remove(path + "-journal", ignored);
}

}  // namespace

const std::string& DemoSeedScript() {
  static const std::string script(kSeedProductsSql);
  return script;
}

bool SeedDemoTable(IDatabase& database) {
  try {
    database.ExecuteStatement("SELECT 1 FROM products WHERE 1 = 0", TParameters(),
                              TStatementOptions());
    return false;
  } catch (const EServerDatabaseError&) {
    // No products table yet.
  }
  database.Begin();
  try {
    database.ExecuteScript(database.Dialect().SeedScript(DemoSeedScript()));
    database.Commit();
  } catch (...) {
    try {
      database.Rollback();
    } catch (...) {
    }
    throw;
  }
  return true;
}

std::string EnsureDemoDatabase(const std::string& data_dir) {
  namespace fs = std::filesystem;
  std::error_code error;
  fs::create_directories(data_dir, error);
  if (error) {
    throw Exception("cannot create the data folder " + data_dir + ": " + error.message());
  }
  std::string path = (fs::path(data_dir) / kDemoDatabaseFile).string();
  if (fs::exists(path, error)) return path;

  std::string building = path + ".seeding-" + std::to_string(::getpid());
  RemoveQuietly(building);
  try {
    TSQLiteDatabase database(building);
    database.ExecuteScript("BEGIN");
    database.ExecuteScript(DemoSeedScript());
    database.ExecuteScript("COMMIT");
  } catch (...) {
    RemoveQuietly(building);
    throw;
  }
  // Closing the last handle folded the write-ahead log into the file. link() does not
  // replace a database another server made meanwhile.
  if (::link(building.c_str(), path.c_str()) != 0 && errno != EEXIST) {
    int code = errno;
    RemoveQuietly(building);
    throw Exception("cannot create the demonstration database " + path + ": " +
                    std::strerror(code));
  }
  RemoveQuietly(building);
  return path;
}

}  // namespace larkspire::server
