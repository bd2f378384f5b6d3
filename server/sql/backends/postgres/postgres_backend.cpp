// The PostgreSQL backend's entry in the registry: a libpq connection string, as a URI
// ("postgresql://user@host:port/db", "postgres://...", several hosts as "h1:p1,h2:p2") or in
// the key=value form ("host=h1,h2 port=p1,p2 dbname=db target_session_attrs=read-write"), which
// is taken whole and handed to libpq.
#include <libpq-fe.h>

#include <cctype>
#include <memory>
#include <string>

#include "server/sql/backend_registry.h"
#include "server/sql/backends/postgres/postgres_database.h"
#include "server/sql/database.h"

namespace larkspire::server {

namespace {

// Whether text begins with one of libpq's setting names followed by "=" ("host=", "dbname =").
bool Claims(const std::string& text) {
  size_t end = 0;
  while (end < text.size() &&
         (std::islower(static_cast<unsigned char>(text[end])) != 0 || text[end] == '_')) {
    ++end;
  }
  size_t equals = end;
  while (equals < text.size() && text[equals] == ' ') ++equals;
  if (end == 0 || equals >= text.size() || text[equals] != '=') return false;
  const std::string name = text.substr(0, end);
  PQconninfoOption* options = PQconndefaults();
  if (options == nullptr) return false;
  bool known = false;
  for (const PQconninfoOption* option = options; option->keyword != nullptr && !known; ++option) {
    known = name == option->keyword;
  }
  PQconninfoFree(options);
  return known;
}

void ReadLocator(TDatabaseLocator& locator) {
  char* error = nullptr;
  PQconninfoOption* options = PQconninfoParse(locator.Text.c_str(), &error);
  if (options == nullptr) {
    std::string why = error != nullptr ? error : "libpq is out of memory";
    PQfreemem(error);
    while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) why.pop_back();
    // libpq's text may quote a piece of a password that was written wrongly.
    if (ShownLocator(locator.Text) != locator.Text) why = "it does not parse";
    throw Exception("database \"" + ShownLocator(locator.Text) +
                    "\" is no PostgreSQL connection string: " + why);
  }
  PQconninfoFree(options);
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
                                "postgresql://... or host=... (a libpq connection string)",
                                &ReadLocator,
                                &Open,
                                false,
                                &Claims};
  return backend;
}

}  // namespace larkspire::server
