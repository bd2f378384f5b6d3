#include "server/net/conn_stream.h"

#include <sys/socket.h>

#include <cerrno>

namespace larkspire::server {

bool TConnStream::ExportKeyingMaterial(uint8_t*, size_t, const std::string&,
                                       const std::string&) const {
  return false;
}

TConnStream::TOpen TConnStream::Open(std::chrono::steady_clock::time_point, std::string&) {
  return TOpen::osReady;
}

ssize_t TConnStream::ReadSome(void* buffer, size_t count) {
  return ::recv(socket_, buffer, count, MSG_DONTWAIT);
}

bool TConnStream::WriteAll(const void* bytes, size_t count, bool more) {
  const auto* data = static_cast<const uint8_t*>(bytes);
  size_t done = 0;
  while (done < count) {
    const ssize_t sent =
        ::send(socket_, data + done, count - done, MSG_NOSIGNAL | (more ? MSG_MORE : 0));
    if (sent > 0) {
      done += static_cast<size_t>(sent);
    } else if (sent < 0 && errno == EINTR) {
      continue;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace larkspire::server
