#include "support/run_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

namespace larkspire::test {
namespace {

// stdin_text is written to a pipe when piped is true; otherwise stdin is /dev/null.
TProgramResult Run(const std::string& path, const std::vector<std::string>& args,
                   const TProgramInput& input, bool piped, int timeout_ms) {
  TProgramResult result;
  int in_pipe[2] = {-1, -1}, out_pipe[2], err_pipe[2];
  if (::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0) return result;
  if (piped) {
    if (::pipe2(in_pipe, O_CLOEXEC) != 0) return result;
    // A program that exits without reading all of its input must not end the test.
    ::signal(SIGPIPE, SIG_IGN);
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int in_fd = piped ? in_pipe[0] : ::open("/dev/null", O_RDONLY);
    ::dup2(in_fd, 0);
    ::dup2(out_pipe[1], 1);
    ::dup2(err_pipe[1], 2);
    for (const std::string& setting : input.environment) {
      const size_t eq = setting.find('=');
      ::setenv(setting.substr(0, eq).c_str(), setting.substr(eq + 1).c_str(), 1);
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(path.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  size_t written = 0;
  if (piped) {
    ::close(in_pipe[0]);
    ::fcntl(in_pipe[1], F_SETFL, O_NONBLOCK);
    if (input.stdin_text.empty()) {
      ::close(in_pipe[1]);
      in_pipe[1] = -1;
    }
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  pollfd fds[3] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}, {in_pipe[1], POLLOUT, 0}};
  int open_fds = 2;
  bool killed = false;
  while (open_fds > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) {
      ::kill(pid, SIGKILL);
      killed = true;
      break;
    }
    if (::poll(fds, 3, static_cast<int>(left)) <= 0) continue;
    if (fds[2].fd >= 0 && fds[2].revents != 0) {
      const ssize_t n =
          ::write(fds[2].fd, input.stdin_text.data() + written, input.stdin_text.size() - written);
      if (n > 0) written += static_cast<size_t>(n);
      if (n < 0 || written == input.stdin_text.size()) {
        ::close(fds[2].fd);
        fds[2].fd = -1;
      }
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n <= 0) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open_fds;
      } else {
        (i == 0 ? result.out : result.err).append(buffer, n);
      }
    }
  }
  for (auto& f : fds)
    if (f.fd >= 0) ::close(f.fd);
  int status = 0;
  ::waitpid(pid, &status, 0);
  result.exit_code = killed ? -9 : WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

}  // namespace

TProgramResult RunProgram(const std::string& path, const std::vector<std::string>& args,
                          int timeout_ms) {
  return Run(path, args, TProgramInput(), false, timeout_ms);
}

TProgramResult RunProgram(const std::string& path, const std::vector<std::string>& args,
                          const TProgramInput& input, int timeout_ms) {
  return Run(path, args, input, true, timeout_ms);
}

TProgramResult RunCli(const std::vector<std::string>& args, int timeout_ms) {
  return RunProgram(LARKSPIRE_CLI_PATH, args, timeout_ms);
}

TProgramResult RunCli(const std::vector<std::string>& args, const TProgramInput& input,
                      int timeout_ms) {
  return RunProgram(LARKSPIRE_CLI_PATH, args, input, timeout_ms);
}

}  // namespace larkspire::test
