#include "support/server_fixture.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace larkspire::test {

namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int DecodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

std::string ServerBinaryPath() {
  return LARKSPIRE_SERVER_PATH;
}

TServerProcess::TServerProcess(std::vector<std::string> extra_args) {
  std::string binary = ServerBinaryPath();
  if (binary.empty() || !std::filesystem::exists(binary)) {
    throw std::runtime_error("larkspire-server has not been built (" + binary + ")");
  }
  std::string pattern =
      (std::filesystem::temp_directory_path() / "larkspire-server-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) {
    throw std::runtime_error(std::string("mkdtemp failed: ") + std::strerror(errno));
  }
  folder_ = pattern;
  data_dir_ = folder_ + "/data";
  log_path_ = folder_ + "/server.log";

  std::vector<std::string> args = {binary};
  if (std::find(extra_args.begin(), extra_args.end(), "--port") == extra_args.end()) {
    args.insert(args.end(), {"--port", "0"});
  }
  if (std::find(extra_args.begin(), extra_args.end(), "--data-dir") == extra_args.end()) {
    args.insert(args.end(), {"--data-dir", data_dir_});
  }
  args.insert(args.end(), extra_args.begin(), extra_args.end());
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) {
    std::filesystem::remove_all(folder_);
    throw std::runtime_error(std::string("pipe failed: ") + std::strerror(errno));
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log_path_.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  int rc = ::posix_spawn(&pid_, binary.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  stdout_fd_ = out[0];
  if (rc != 0) {
    pid_ = -1;
    ::close(stdout_fd_);
    std::filesystem::remove_all(folder_);
    throw std::runtime_error(std::string("cannot start larkspire-server: ") + std::strerror(rc));
  }

  // Read stdout until the "listening on HOST:PORT" line.
  std::string seen;
  int64_t deadline = NowMs() + kServerStartMs;
  std::string failure;
  while (true) {
    auto newline = seen.find('\n');
    if (newline != std::string::npos) {
      std::string line = seen.substr(0, newline);
      auto colon = line.rfind(':');
      if (line.rfind("listening on ", 0) == 0 && colon != std::string::npos) {
        port_ = static_cast<uint16_t>(std::atoi(line.c_str() + colon + 1));
        if (port_ != 0) break;
      }
      failure = "unexpected first line \"" + line + "\"";
      break;
    }
    int64_t left = deadline - NowMs();
    if (left <= 0) {
      failure = "no \"listening on\" line within " + std::to_string(kServerStartMs) + " ms";
      break;
    }
    pollfd fd{stdout_fd_, POLLIN, 0};
    int ready = ::poll(&fd, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
    char buffer[256];
    ssize_t got = ::read(stdout_fd_, buffer, sizeof buffer);
    if (got <= 0) {
      failure = "the server exited before listening";
      break;
    }
    seen.append(buffer, static_cast<size_t>(got));
  }
  if (!failure.empty()) {
    int code = Stop(1000);
    std::string log = Log();
    ::close(stdout_fd_);
    stdout_fd_ = -1;
    std::filesystem::remove_all(folder_);
    throw std::runtime_error("larkspire-server did not start: " + failure + " (exit " +
                             std::to_string(code) + "); its log:\n" + log);
  }
}

TServerProcess::~TServerProcess() {
  Stop();
  if (stdout_fd_ >= 0) ::close(stdout_fd_);
  std::error_code ignored;
  if (!folder_.empty()) std::filesystem::remove_all(folder_, ignored);
}

std::string TServerProcess::Log() const {
  std::ifstream file(log_path_);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

bool TServerProcess::Running() {
  if (pid_ < 0) return false;
  int status = 0;
  pid_t done = ::waitpid(pid_, &status, WNOHANG);
  if (done == pid_) {
    exit_code_ = DecodeStatus(status);
    pid_ = -1;
    return false;
  }
  return true;
}

int TServerProcess::Stop(int timeout_ms) {
  if (!Running()) return exit_code_;
  ::kill(pid_, SIGTERM);
  int64_t deadline = NowMs() + timeout_ms;
  int status = 0;
  while (NowMs() < deadline) {
    pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      pid_ = -1;
      exit_code_ = DecodeStatus(status);
      return exit_code_;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
  exit_code_ = DecodeStatus(status);
  return exit_code_;
}

}  // namespace larkspire::test
