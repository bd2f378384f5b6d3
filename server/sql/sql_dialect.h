// What the server's commands need to know of a backend's SQL: how an identifier is quoted, how
// a stored date-time is compared with a bound one, how an insert answers its new key, how a
// page of a query is cut, and how the demonstration's seed script reads. The defaults are
// standard SQL; a backend overrides what its database does differently.
//
// Thread-safety: a dialect has no state; one instance serves every session.
#ifndef LARKSPIRE_SERVER_SQL_DIALECT_H_
#define LARKSPIRE_SERVER_SQL_DIALECT_H_

#include <cstdint>
#include <string>

namespace larkspire::server {

class ISqlDialect {
 public:
  virtual ~ISqlDialect() = default;

  virtual std::string QuoteIdentifier(const std::string& name) const;
  // The test that column holds the date-time bound (as text) at placeholder.
  virtual std::string DateTimeEquals(const std::string& column,
                                     const std::string& placeholder) const;
  // Whether a date-time before the first day (a time of day alone) is bound as "HH:MM:SS"
  // rather than as a whole date and time, because the database keeps what it is given.
  virtual bool BindsTimeOfDayAsTime() const { return false; }
  // An INSERT (or UPDATE, DELETE) that also answers the given columns of the rows it wrote (a
  // list of quoted names).
  virtual std::string InsertReturning(const std::string& insert,
                                      const std::string& key_columns) const;

  // The rows first .. first + count - 1 (0-based) of a parenthesised subquery.
  virtual std::string PageQuery(const std::string& subquery, int64_t first, int64_t count) const;
  // The demonstration's seed script (written for SQLite) in this dialect.
  virtual std::string SeedScript(const std::string& script) const { return script; }
};

}  // namespace larkspire::server

#endif  // LARKSPIRE_SERVER_SQL_DIALECT_H_
