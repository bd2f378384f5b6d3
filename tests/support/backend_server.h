// The servers the end-to-end tests run on both database backends: one larkspire-server per
// backend and test program, SQLite on its demonstration database and PostgreSQL on a fresh
// database of the throwaway cluster seeded with the same products table (connection name "pg").
//
//   INSTANTIATE_TEST_SUITE_P(Backends, MyTest,
//                            ::testing::Values(TBackend::bkSQLite, TBackend::bkPostgreSQL),
//                            BackendName);
//
// Thread-safety: the test's main thread.
#ifndef LARKSPIRE_TESTS_SUPPORT_BACKEND_SERVER_H_
#define LARKSPIRE_TESTS_SUPPORT_BACKEND_SERVER_H_

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "support/server_fixture.h"

namespace larkspire::test {

enum class TBackend { bkSQLite, bkPostgreSQL };

std::string BackendName(const ::testing::TestParamInfo<TBackend>& info);

struct TBackendServer {
  std::unique_ptr<TServerProcess> Server;
  // The ConnectionName that reaches the backend's database ("" or "pg").
  std::string ConnectionName;
  // The PostgreSQL database's name; empty for SQLite.
  std::string Database;
  // Why the backend could not be had (PostgreSQL missing or not starting).
  std::string Error;
};

// The server of a backend, started on first use; database_prefix names the PostgreSQL database.
TBackendServer& ServerFor(TBackend backend, const std::string& database_prefix);

}  // namespace larkspire::test

#endif  // LARKSPIRE_TESTS_SUPPORT_BACKEND_SERVER_H_
