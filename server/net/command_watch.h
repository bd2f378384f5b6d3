// Watches the connections whose sessions are running a command, and stops the command's
// database statements when its client goes away (the connection's end of stream or reset), so
// that a query nobody waits for does not run on. One thread serves the whole server.
//
// A session calls Watch before it dispatches a command and Unwatch after; once Unwatch has
// returned, the watch never touches the session again. While the server is stopping, hang-ups
// are ignored (the server cuts the connections itself and lets requests in flight finish);
// InterruptAll then stops every statement still running.
//
// Thread-safety: Watch, Unwatch and InterruptAll may be called from any thread.
#ifndef LARKSPIRE_SERVER_COMMAND_WATCH_H_
#define LARKSPIRE_SERVER_COMMAND_WATCH_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "server/base/unique_fd.h"

namespace larkspire::server {

class TCommandWatch {
 public:
  using TInterrupt = std::function<void()>;

  // stopping: the server's flag; hang-ups are ignored while it is set.
  explicit TCommandWatch(const std::atomic<bool>& stopping);
  TCommandWatch(const TCommandWatch&) = delete;
  TCommandWatch& operator=(const TCommandWatch&) = delete;
  ~TCommandWatch();

  // interrupt runs on the watch's thread when socket hangs up (at most once per Watch).
  void Watch(int socket, TInterrupt interrupt);
  void Unwatch(int socket);
  void InterruptAll();

 private:
  void Run();

  const std::atomic<bool>& stopping_;
  std::mutex mutex_;
  struct TWatched {
    uint64_t Generation;
    TInterrupt Interrupt;
  };
  std::map<int, TWatched> watched_;
  // Tells a socket watched again (a descriptor number reused) from the one polled before.
  uint64_t generation_ = 0;
  TUniqueFd wake_read_;
  TUniqueFd wake_write_;
  std::atomic<bool> ending_{false};
  std::thread thread_;
};

}  // namespace larkspire::server

#endif  // LARKSPIRE_SERVER_COMMAND_WATCH_H_
