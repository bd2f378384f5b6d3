// TPostgresCluster: a throwaway PostgreSQL cluster for the tests of one program. The first call
// of Instance() runs initdb into a fresh temporary folder (as the unprivileged user "nobody" when
// the tests run as root), starts the server on a free loopback port with trust authentication,
// and stops it and removes the folder when the program exits.
//
// Thread-safety: Instance() may be called from any thread; the cluster is started once.
#ifndef LARKSPIRE_TESTS_SUPPORT_POSTGRES_CLUSTER_H_
#define LARKSPIRE_TESTS_SUPPORT_POSTGRES_CLUSTER_H_

#include <cstdint>
#include <string>

namespace larkspire::test {

class TPostgresCluster {
 public:
  // The running cluster, or null (with the reason in StartError()) when PostgreSQL is not
  // installed or would not start.
  static TPostgresCluster* Instance();
  static const std::string& StartError();

  uint16_t Port() const { return port_; }
  // "postgresql://postgres@127.0.0.1:PORT/DB".
  std::string Url(const std::string& database = "postgres") const;
  // libpq's key=value form.
  std::string ConnInfo(const std::string& database = "postgres") const;
  // Creates a fresh database and returns its name.
  std::string CreateDatabase(const std::string& prefix = "lk");
  // Runs SQL through psql in a database; returns psql's output (throws on failure).
  std::string Psql(const std::string& database, const std::string& sql) const;

  ~TPostgresCluster();

 private:
  TPostgresCluster() = default;
  bool Start(std::string& error);

  std::string bin_dir_;
  std::string root_;
  std::string data_dir_;
  uint16_t port_ = 0;
  int databases_ = 0;
  bool started_ = false;
};

}  // namespace larkspire::test

#endif  // LARKSPIRE_TESTS_SUPPORT_POSTGRES_CLUSTER_H_
