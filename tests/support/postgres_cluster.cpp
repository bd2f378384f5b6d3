#include "support/postgres_cluster.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "support/scripted_peer.h"

namespace larkspire::test {
namespace {

std::string g_error;

std::string FindBinDir() {
  if (const char* env = std::getenv("LARKSPIRE_PG_BIN")) return env;
  std::error_code ec;
  std::string best;
  for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/postgresql", ec)) {
    const auto bin = entry.path() / "bin";
    if (std::filesystem::exists(bin / "initdb") && bin.string() > best) best = bin.string();
  }
  return best;
}

// Runs a shell command and returns its exit status; output goes to out.
int Run(const std::string& command, std::string* out = nullptr) {
  std::string text;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return -1;
  std::array<char, 4096> buffer;
  size_t n;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) text.append(buffer.data(), n);
  const int status = ::pclose(pipe);
  if (out != nullptr) *out = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'')
      quoted += "'\\''";
    else
      quoted.push_back(c);
  }
  return quoted + "'";
}

// The prefix that runs a command as the unprivileged user when we are root.
std::string AsUser() {
  return ::geteuid() == 0 ? "runuser -u nobody -- " : "";
}

}  // namespace

TPostgresCluster* TPostgresCluster::Instance() {
  static std::once_flag once;
  static std::unique_ptr<TPostgresCluster> cluster;
  std::call_once(once, [] {
    std::unique_ptr<TPostgresCluster> c(new TPostgresCluster());
    if (c->Start(g_error)) cluster = std::move(c);
  });
  return cluster.get();
}

const std::string& TPostgresCluster::StartError() {
  return g_error;
}

std::unique_ptr<TPostgresCluster> TPostgresCluster::Create(std::string& error) {
  std::unique_ptr<TPostgresCluster> cluster(new TPostgresCluster());
  if (!cluster->Start(error)) return nullptr;
  return cluster;
}

bool TPostgresCluster::MakeRoot(std::string& error) {
  bin_dir_ = FindBinDir();
  if (bin_dir_.empty()) {
    error = "PostgreSQL is not installed (no initdb under /usr/lib/postgresql)";
    return false;
  }
  char pattern[] = "/tmp/lk-pg-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) {
    error = "cannot make a temporary folder";
    return false;
  }
  root_ = pattern;
  data_dir_ = root_ + "/data";
  ::chmod(root_.c_str(), 0777);
  if (::geteuid() == 0) Run("chown nobody " + Quote(root_));
  return true;
}

bool TPostgresCluster::Start(std::string& error) {
  if (!MakeRoot(error)) return false;
  std::string out;
  if (Run(AsUser() + Quote(bin_dir_ + "/initdb") + " -D " + Quote(data_dir_) +
              " -U postgres --auth=trust -E UTF8 --locale=C.UTF-8 --no-sync",
          &out) != 0) {
    error = "initdb failed: " + out;
    return false;
  }
  return Launch(error);
}

bool TPostgresCluster::Launch(std::string& error) {
  std::string out;
  for (int attempt = 0; attempt < 5 && !started_; ++attempt) {
    port_ = FreeLoopbackPort();
    const std::string options = "-c listen_addresses=127.0.0.1 -c port=" + std::to_string(port_) +
                                " -c unix_socket_directories=" + root_ +
                                " -c fsync=off -c synchronous_commit=off -c full_page_writes=off"
                                " -c max_connections=100";
    started_ =
        Run(PgCtl("-l " + Quote(root_ + "/log") + " -w -t 60 -o " + Quote(options) + " start"),
            &out) == 0;
  }
  if (!started_) {
    error = "PostgreSQL would not start: " + out;
    return false;
  }
  return true;
}

std::unique_ptr<TPostgresCluster> TPostgresCluster::CreateStandby(std::string& error) const {
  std::unique_ptr<TPostgresCluster> standby(new TPostgresCluster());
  if (!standby->MakeRoot(error)) return nullptr;
  // -R writes the primary's address into the copy and marks it a standby.
  std::string out;
  if (Run(AsUser() + Quote(bin_dir_ + "/pg_basebackup") + " -R -D " + Quote(standby->data_dir_) +
              " -h 127.0.0.1 -p " + std::to_string(port_) + " -U postgres -X stream -c fast",
          &out) != 0) {
    error = "pg_basebackup failed: " + out;
    return nullptr;
  }
  if (!standby->Launch(error)) return nullptr;
  return standby;
}

std::string TPostgresCluster::PgCtl(const std::string& arguments) const {
  return AsUser() + Quote(bin_dir_ + "/pg_ctl") + " -D " + Quote(data_dir_) + " " + arguments;
}

void TPostgresCluster::Kill() {
  std::string out;
  if (Run(PgCtl("-m immediate -w -t 30 stop"), &out) != 0) {
    throw std::runtime_error("pg_ctl stop failed: " + out);
  }
  started_ = false;
}

void TPostgresCluster::Promote() {
  std::string out;
  if (Run(PgCtl("-w -t 30 promote"), &out) != 0) {
    throw std::runtime_error("pg_ctl promote failed: " + out);
  }
}

TPostgresCluster::~TPostgresCluster() {
  if (started_) Run(PgCtl("-m immediate -w -t 30 stop"));
  if (!root_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
}

std::string TPostgresCluster::Url(const std::string& database) const {
  return "postgresql://postgres@127.0.0.1:" + std::to_string(port_) + "/" + database;
}

std::string TPostgresCluster::ConnInfo(const std::string& database) const {
  return "host=127.0.0.1 port=" + std::to_string(port_) + " user=postgres dbname=" + database;
}

std::string TPostgresCluster::CreateDatabase(const std::string& prefix) {
  const std::string name =
      prefix + "_" + std::to_string(::getpid()) + "_" + std::to_string(++databases_);
  Psql("postgres", "CREATE DATABASE " + name + " ENCODING 'UTF8' TEMPLATE template0");
  return name;
}

std::string TPostgresCluster::Psql(const std::string& database, const std::string& sql) const {
  std::string out;
  const std::string command = Quote(bin_dir_ + "/psql") + " -X -q -A -t -v ON_ERROR_STOP=1 " +
                              Quote(ConnInfo(database)) + " -c " + Quote(sql);
  if (Run(command, &out) != 0) throw std::runtime_error("psql failed: " + out);
  return out;
}

}  // namespace larkspire::test
