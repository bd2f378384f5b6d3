#include "server/net/command_watch.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/exception.h"

namespace larkspire::server {

namespace {

// How soon a socket watched anew is polled: a statement shorter than this is not worth
// stopping, and the sessions need not wake the watch for every command.
constexpr int kPollMs = 100;

}  // namespace

TCommandWatch::TCommandWatch(const std::atomic<bool>& stopping) : stopping_(stopping) {
  int wake[2];
  if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    throw Exception(std::string("cannot create the command watch's pipe: ") + std::strerror(errno));
  }
  wake_read_.Reset(wake[0]);
  wake_write_.Reset(wake[1]);
  thread_ = std::thread([this] { Run(); });
}

TCommandWatch::~TCommandWatch() {
  ending_ = true;
  char byte = 1;
  ssize_t ignored = ::write(wake_write_.Fd(), &byte, 1);
  (void)ignored;
  thread_.join();
}

void TCommandWatch::Watch(int socket, TInterrupt interrupt) {
  std::lock_guard lock(mutex_);
  watched_[socket] = TWatched{++generation_, std::move(interrupt)};
}

void TCommandWatch::Unwatch(int socket) {
  std::lock_guard lock(mutex_);
  watched_.erase(socket);
}

void TCommandWatch::InterruptAll() {
  std::lock_guard lock(mutex_);
  for (auto& [socket, watched] : watched_) watched.Interrupt();
  watched_.clear();
}

void TCommandWatch::Run() {
  std::vector<pollfd> fds;
  std::vector<uint64_t> generations;
  while (!ending_) {
    fds.assign(1, pollfd{wake_read_.Fd(), POLLIN, 0});
    generations.assign(1, 0);
    {
      std::lock_guard lock(mutex_);
      for (const auto& [socket, watched] : watched_) {
        fds.push_back(pollfd{socket, POLLRDHUP, 0});
        generations.push_back(watched.Generation);
      }
    }
    const int ready = ::poll(fds.data(), fds.size(), kPollMs);
    if (ready <= 0 || stopping_) continue;
    std::lock_guard lock(mutex_);
    for (size_t i = 1; i < fds.size(); ++i) {
      if ((fds[i].revents & (POLLRDHUP | POLLHUP | POLLERR)) == 0) continue;
      auto found = watched_.find(fds[i].fd);
      if (found == watched_.end() || found->second.Generation != generations[i]) continue;
      found->second.Interrupt();
      watched_.erase(found);
    }
  }
}

}  // namespace larkspire::server
