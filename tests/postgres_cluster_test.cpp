// The throwaway PostgreSQL cluster that the end-to-end tests run their second backend on.
#include "support/postgres_cluster.h"

#include <gtest/gtest.h>

namespace larkspire::test {
namespace {

TEST(TPostgresCluster, StartsAndServesAFreshDatabase) {
  TPostgresCluster* cluster = TPostgresCluster::Instance();
  ASSERT_NE(cluster, nullptr) << TPostgresCluster::StartError();
  const std::string db = cluster->CreateDatabase();
  cluster->Psql(db, "CREATE TABLE t (id serial primary key, name text)");
  cluster->Psql(db, "INSERT INTO t (name) VALUES ('产品')");
  EXPECT_EQ(cluster->Psql(db, "SELECT name FROM t"), "产品\n");
}

}  // namespace
}  // namespace larkspire::test
