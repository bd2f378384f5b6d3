// PostgreSQL's SQL as the server's commands write it: standard SQL, and the seed script's
// auto-increment key made an identity column.
//
// Thread-safety: stateless.
#ifndef LARKSPIRE_SERVER_BACKENDS_POSTGRES_POSTGRES_DIALECT_H_
#define LARKSPIRE_SERVER_BACKENDS_POSTGRES_POSTGRES_DIALECT_H_

#include <string>

#include "server/sql/sql_dialect.h"

namespace larkspire::server {

class TPostgresDialect : public ISqlDialect {
 public:
  std::string SeedScript(const std::string& script) const override;

  static const TPostgresDialect& Instance();
};

}  // namespace larkspire::server

#endif  // LARKSPIRE_SERVER_BACKENDS_POSTGRES_POSTGRES_DIALECT_H_
