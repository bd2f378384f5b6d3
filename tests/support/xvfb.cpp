#include "support/xvfb.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace larkspire::test {

TXvfb::TXvfb(int width, int height) {
  const char* binary = "/usr/bin/Xvfb";
  if (::access(binary, X_OK) != 0) return;
  int fds[2];
  if (::pipe(fds) != 0) return;
  pid_ = ::fork();
  if (pid_ == 0) {
    ::close(fds[0]);
    const std::string fd = std::to_string(fds[1]);
    const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    ::execl(binary, binary, "-displayfd", fd.c_str(), "-screen", "0", screen.c_str(), "-wr",
            "-nolisten", "tcp", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(fds[1]);
  std::string number;
  char c;
  while (pid_ > 0 && ::read(fds[0], &c, 1) == 1 && c != '\n') number.push_back(c);
  ::close(fds[0]);
  if (!number.empty()) display_ = ":" + number;
}

TXvfb::~TXvfb() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  ::waitpid(pid_, nullptr, 0);
}

}  // namespace larkspire::test
