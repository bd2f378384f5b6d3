#include "server/base/log_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/exception.h"
#include "server/base/unique_fd.h"

namespace larkspire::server {

void RedirectLogTo(const std::string& path) {
  const TUniqueFd file(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640));
  if (!file.IsOpen()) {
    throw Exception("cannot open the log file " + path + ": " + std::strerror(errno));
  }
  std::fflush(stderr);
  const int rc = ::dup2(file.Fd(), STDERR_FILENO);
  const int saved = errno;
  if (rc < 0) throw Exception("cannot log to " + path + ": " + std::strerror(saved));
}

}  // namespace larkspire::server
