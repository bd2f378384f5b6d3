// TPostgresCluster: a throwaway PostgreSQL cluster for the tests of one program. The first call
// of Instance() runs initdb into a fresh temporary folder (as the unprivileged user "nobody" when
// the tests run as root), starts the server on a free loopback port with trust authentication,
// and stops it and removes the folder when the program exits. A test that stops or promotes its
// servers makes clusters of its own (Create, CreateStandby), removed with the object.
//
// Thread-safety: Instance() may be called from any thread; the cluster is started once. A
// cluster of a test's own belongs to that test's thread.
#ifndef LARKSPIRE_TESTS_SUPPORT_POSTGRES_CLUSTER_H_
#define LARKSPIRE_TESTS_SUPPORT_POSTGRES_CLUSTER_H_

#include <cstdint>
#include <memory>
#include <string>

namespace larkspire::test {

class TPostgresCluster {
 public:
  // The running cluster, or null (with the reason in StartError()) when PostgreSQL is not
  // installed or would not start.
  static TPostgresCluster* Instance();
  static const std::string& StartError();
  // A cluster of the caller's own, started; null (with the reason in error) when PostgreSQL is
  // not installed or would not start.
  static std::unique_ptr<TPostgresCluster> Create(std::string& error);
  // A streaming standby of this running cluster (pg_basebackup -R into a new folder), started
  // on a port of its own; null with the reason in error.
  std::unique_ptr<TPostgresCluster> CreateStandby(std::string& error) const;
  // Stops the server at once, as a crash would (pg_ctl stop -m immediate).
  void Kill();
  // Makes a standby the primary, and returns once it takes writes (pg_ctl promote -w).
  void Promote();

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
  // A fresh temporary folder the server's user may write in.
  bool MakeRoot(std::string& error);
  // Starts the server of data_dir_ on a free loopback port.
  bool Launch(std::string& error);
  // The shell command that runs pg_ctl on this cluster's folder, as the server's user.
  std::string PgCtl(const std::string& arguments) const;

  std::string bin_dir_;
  std::string root_;
  std::string data_dir_;
  uint16_t port_ = 0;
  int databases_ = 0;
  bool started_ = false;
};

}  // namespace larkspire::test

#endif  // LARKSPIRE_TESTS_SUPPORT_POSTGRES_CLUSTER_H_
