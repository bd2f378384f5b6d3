// TServerProcess: runs the real larkspire-server binary for a test, on a free loopback port,
// with a fresh data folder of its own.
//
//   TServerProcess server({"--password", "secret"});
//   client.Connect(server.Port());
//   ...                          // the destructor stops the server and removes its folder
//
// The server is started with --port 0 and --data-dir in a new temporary folder (unless the
// extra arguments give --port or --data-dir), its stdout is read until the "listening on" line (at
// most kServerStartMs), and its stderr goes to a log file in the folder (Log()). Stop sends
// SIGTERM and, if the server has not exited within the bound, SIGKILL.
//
// Thread-safety: one thread at a time.
#ifndef LARKSPIRE_TESTS_SUPPORT_SERVER_FIXTURE_H_
#define LARKSPIRE_TESTS_SUPPORT_SERVER_FIXTURE_H_

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace larkspire::test {

constexpr int kServerStartMs = 10000;
constexpr int kServerStopMs = 5000;

class TServerProcess {
 public:
  // Raises std::runtime_error (with the server's log) when the server does not come up.
  explicit TServerProcess(std::vector<std::string> extra_args = {});
  TServerProcess(const TServerProcess&) = delete;
  TServerProcess& operator=(const TServerProcess&) = delete;
  ~TServerProcess();

  uint16_t Port() const { return port_; }
  pid_t Pid() const { return pid_; }
  // The temporary folder (removed by the destructor) and the server's data folder in it.
  const std::string& Folder() const { return folder_; }
  const std::string& DataDir() const { return data_dir_; }
  // What the server wrote on stderr so far.
  std::string Log() const;
  bool Running();

  // SIGTERM, then SIGKILL after timeout_ms. Returns the exit code, or 128 + the signal when a
  // signal ended it; once stopped, the same value again.
  int Stop(int timeout_ms = kServerStopMs);

 private:
  pid_t pid_ = -1;
  int stdout_fd_ = -1;
  uint16_t port_ = 0;
  std::string folder_;
  std::string data_dir_;
  std::string log_path_;
  int exit_code_ = -1;
};

// The path of the larkspire-server binary the tests were built with.
std::string ServerBinaryPath();

}  // namespace larkspire::test

#endif  // LARKSPIRE_TESTS_SUPPORT_SERVER_FIXTURE_H_
