// SQLite's SQL as the server's commands write it: date-times are compared as julian days
// (the same instant may be stored as "2026-01-02 03:04:05" or "2026-01-02T03:04:05"), and a
// time of day alone is bound as a time, since SQLite keeps the text it was given.
//
// Thread-safety: stateless.
#ifndef LARKSPIRE_SERVER_BACKENDS_SQLITE_SQLITE_DIALECT_H_
#define LARKSPIRE_SERVER_BACKENDS_SQLITE_SQLITE_DIALECT_H_

#include <string>

#include "server/sql/sql_dialect.h"

namespace larkspire::server {

class TSQLiteDialect : public ISqlDialect {
 public:
  std::string DateTimeEquals(const std::string& column,
                             const std::string& placeholder) const override;
  bool BindsTimeOfDayAsTime() const override { return true; }

  static const TSQLiteDialect& Instance();
};

}  // namespace larkspire::server

#endif  // LARKSPIRE_SERVER_BACKENDS_SQLITE_SQLITE_DIALECT_H_
