// TUniqueFd: the one owner of a file descriptor (a socket, a file, a pipe end), which closes it
// when it goes. Moving hands the descriptor on; Release gives it up without closing.
//
// Thread-safety: an owner is used by one thread at a time; Fd may be read by another while the
// owner is alive (shutdown of a session's socket from the server's thread).
#ifndef LARKSPIRE_SERVER_UNIQUE_FD_H_
#define LARKSPIRE_SERVER_UNIQUE_FD_H_

#include <unistd.h>

#include <utility>

namespace larkspire::server {

class TUniqueFd {
 public:
  TUniqueFd() = default;
  explicit TUniqueFd(int fd) : fd_(fd) {}
  TUniqueFd(TUniqueFd&& other) noexcept : fd_(other.Release()) {}
  TUniqueFd& operator=(TUniqueFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  TUniqueFd(const TUniqueFd&) = delete;
  TUniqueFd& operator=(const TUniqueFd&) = delete;
  ~TUniqueFd() { Reset(); }

  int Fd() const { return fd_; }
  bool IsOpen() const { return fd_ >= 0; }
  // Closes the descriptor held, if any, and holds fd instead.
  void Reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  int Release() { return std::exchange(fd_, -1); }

 private:
  int fd_ = -1;
};

}  // namespace larkspire::server

#endif  // LARKSPIRE_SERVER_UNIQUE_FD_H_
