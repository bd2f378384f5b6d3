#include "server/sql/backends/sqlite/sqlite_dialect.h"

namespace larkspire::server {

std::string TSQLiteDialect::DateTimeEquals(const std::string& column,
                                           const std::string& placeholder) const {
  return "julianday(" + column + ") = julianday(" + placeholder + ")";
}

const TSQLiteDialect& TSQLiteDialect::Instance() {
  static const TSQLiteDialect dialect;
  return dialect;
}

}  // namespace larkspire::server
