#include "server/sql/sql_dialect.h"

#include "server/sql/sql_text.h"

namespace larkspire::server {

std::string ISqlDialect::QuoteIdentifier(const std::string& name) const {
  return server::QuoteIdentifier(name);
}

std::string ISqlDialect::DateTimeEquals(const std::string& column,
                                        const std::string& placeholder) const {
  return column + " = " + placeholder;
}

std::string ISqlDialect::InsertReturning(const std::string& insert,
                                         const std::string& key_columns) const {
  return insert + " RETURNING " + key_columns;
}

std::string ISqlDialect::PageQuery(const std::string& subquery, int64_t first,
                                   int64_t count) const {
  return "SELECT * FROM " + subquery + " AS lk_page LIMIT " + std::to_string(count) + " OFFSET " +
         std::to_string(first);
}

}  // namespace larkspire::server
