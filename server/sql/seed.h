// The demonstration database: the seed script compiled into the server and the file made
// from it on first start.
//
// Thread-safety: call before the server starts its sessions.
#ifndef LARKSPIRE_SERVER_SEED_H_
#define LARKSPIRE_SERVER_SEED_H_

#include <string>

#include "server/sql/database.h"

namespace larkspire::server {

inline constexpr const char* kDemoDatabaseFile = "larkspire-demo.db";

// The SQL script that creates and fills the products table (SQLite's dialect).
const std::string& DemoSeedScript();

// Creates and fills the products table in a database that has none, in one transaction, with
// the script in the database's dialect. Returns whether it did. Raises EServerDatabaseError
// when the script fails.
bool SeedDemoTable(IDatabase& database);

// Makes data_dir (and its parents) when missing and, when it holds no demonstration
// database yet, creates one from the seed script. The file appears whole or not at all: it
// is built under a temporary name and linked into place. Returns the database file's path.
// Raises Exception (or EServerDatabaseError) with a message naming the path.
std::string EnsureDemoDatabase(const std::string& data_dir);

}  // namespace larkspire::server

#endif  // LARKSPIRE_SERVER_SEED_H_
