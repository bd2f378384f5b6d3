#include "support/backend_server.h"

#include <vector>

#include "support/postgres_cluster.h"

namespace larkspire::test {

std::string BackendName(const ::testing::TestParamInfo<TBackend>& info) {
  return info.param == TBackend::bkSQLite ? "SQLite" : "PostgreSQL";
}

TBackendServer& ServerFor(TBackend backend, const std::string& database_prefix) {
  static TBackendServer servers[2];
  TBackendServer& entry = servers[backend == TBackend::bkSQLite ? 0 : 1];
  if (entry.Server || !entry.Error.empty()) return entry;
  if (backend == TBackend::bkSQLite) {
    entry.Server = std::make_unique<TServerProcess>();
    return entry;
  }
  TPostgresCluster* cluster = TPostgresCluster::Instance();
  if (cluster == nullptr) {
    entry.Error = TPostgresCluster::StartError();
    return entry;
  }
  entry.Database = cluster->CreateDatabase(database_prefix);
  entry.Server = std::make_unique<TServerProcess>(std::vector<std::string>{
      "--database", "pg=" + cluster->Url(entry.Database), "--seed-demo", "pg"});
  entry.ConnectionName = "pg";
  return entry;
}

}  // namespace larkspire::test
