// The PostgreSQL backend's entry in the registry: a libpq connection URI,
// "postgresql://user@host:port/db" or "postgres://...".
#include <memory>

#include "server/sql/backend_registry.h"
#include "server/sql/backends/postgres/postgres_database.h"
#include "server/sql/database.h"

namespace larkspire::server {

namespace {

void ReadLocator(TDatabaseLocator& locator) {
  locator.Location = locator.Text;
}

std::unique_ptr<IDatabase> Open(const TDatabaseLocator& locator) {
  return std::make_unique<TPostgresDatabase>(locator.Location);
}

}  // namespace

const TBackend& PostgresBackend() {
  // Not opened at start: the database server may come up after this one.
  static const TBackend backend{"PostgreSQL",
                                {"postgresql://", "postgres://"},
                                "postgresql://... (a PostgreSQL URI)",
                                &ReadLocator,
                                &Open,
                                false};
  return backend;
}

}  // namespace larkspire::server
