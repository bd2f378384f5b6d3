#include "server/plugins/runner_pool.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <future>

#include "server/plugins/runner_channel.h"

extern char** environ;

namespace larkspire::server {

namespace {

using TClock = std::chrono::steady_clock;

class TSpawnActions {
 public:
  TSpawnActions() { posix_spawn_file_actions_init(&actions_); }
  TSpawnActions(const TSpawnActions&) = delete;
  TSpawnActions& operator=(const TSpawnActions&) = delete;
  ~TSpawnActions() { posix_spawn_file_actions_destroy(&actions_); }
  posix_spawn_file_actions_t* Get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

int MillisecondsLeft(TClock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now()).count();
  if (left <= 0) return 0;
  return static_cast<int>(std::min<int64_t>(left, 1000));
}

enum class TIo { ioDone, ioEnded, ioTimedOut };

// Waits until fd is ready for events; ioEnded when the peer hung up (for reading: only once
// nothing is left to read).
TIo WaitReady(int fd, short events, TClock::time_point deadline) {
  for (;;) {
    const int wait = MillisecondsLeft(deadline);
    if (wait == 0) return TIo::ioTimedOut;
    pollfd watch{fd, events, 0};
    const int ready = ::poll(&watch, 1, wait);
    if (ready < 0 && errno != EINTR) return TIo::ioEnded;
    if (ready > 0) return TIo::ioDone;
  }
}

TIo SendAll(int fd, const char* bytes, size_t count, TClock::time_point deadline) {
  size_t done = 0;
  while (done < count) {
    const ssize_t sent =
        RetryOnInterrupt([&] { return ::send(fd, bytes + done, count - done, MSG_NOSIGNAL); });
    if (sent > 0) {
      done += static_cast<size_t>(sent);
      continue;
    }
    if (sent < 0 && errno != EAGAIN) return TIo::ioEnded;
    const TIo wait = WaitReady(fd, POLLOUT, deadline);
    if (wait != TIo::ioDone) return wait;
  }
  return TIo::ioDone;
}

TIo ReceiveAll(int fd, char* bytes, size_t count, TClock::time_point deadline) {
  size_t done = 0;
  while (done < count) {
    const ssize_t got = RetryOnInterrupt([&] { return ::recv(fd, bytes + done, count - done, 0); });
    if (got > 0) {
      done += static_cast<size_t>(got);
      continue;
    }
    if (got == 0) return TIo::ioEnded;
    if (errno != EAGAIN) return TIo::ioEnded;
    const TIo wait = WaitReady(fd, POLLIN, deadline);
    if (wait != TIo::ioDone) return wait;
  }
  return TIo::ioDone;
}

void KillAndReap(pid_t pid, int channel, int* status = nullptr) {
  if (channel >= 0) ::close(channel);
  ::kill(pid, SIGKILL);
  int ignored = 0;
  WaitForProcess(pid, status ? *status : ignored);
}

// A runner that closed its channel is ending by itself: its status, or TimedOut when it
// lingers past the deadline (it is killed then).
bool ReapEnded(pid_t pid, int channel, TClock::time_point deadline, int& status) {
  ::close(channel);
  for (;;) {
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid || (done < 0 && errno != EINTR)) return true;
    if (done == 0 && TClock::now() >= deadline) {
      KillAndReap(pid, -1, &status);
      return false;
    }
    if (done == 0) ::usleep(500);
  }
}

}  // namespace

pid_t SpawnWithChannel(const std::vector<std::string>& argv, int& channel, std::string& error) {
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
    error = std::string("socketpair failed: ") + strerror(errno);
    return -1;
  }
  TSpawnActions actions;
  posix_spawn_file_actions_adddup2(actions.Get(), pair[1], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(actions.Get(), pair[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclosefrom_np(actions.Get(), STDERR_FILENO + 1);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, args[0], actions.Get(), nullptr, args.data(), environ);
  ::close(pair[1]);
  if (spawned != 0) {
    ::close(pair[0]);
    error = "cannot start " + argv[0] + ": " + strerror(spawned);
    return -1;
  }
  channel = pair[0];
  return pid;
}

TRunnerPool::TRunnerPool(std::string runner, std::string code_page, size_t max_idle)
    : runner_(std::move(runner)),
      code_page_(std::move(code_page)),
      max_idle_(max_idle),
      spawn_thread_([this] { SpawnLoop(); }) {}

TRunnerPool::~TRunnerPool() {
  {
    std::lock_guard lock(idle_mutex_);
    for (auto& [library, runners] : idle_)
      for (const TRunner& runner : runners) KillAndReap(runner.Pid, runner.Channel);
    idle_.clear();
  }
  {
    std::lock_guard lock(spawn_mutex_);
    spawn_stop_ = true;
  }
  spawn_wake_.notify_all();
  spawn_thread_.join();
}

size_t TRunnerPool::IdleRunners() {
  std::lock_guard lock(idle_mutex_);
  size_t count = 0;
  for (const auto& [library, runners] : idle_) count += runners.size();
  return count;
}

void TRunnerPool::SpawnLoop() {
  std::unique_lock lock(spawn_mutex_);
  for (;;) {
    spawn_wake_.wait(lock, [this] { return spawn_stop_ || !spawn_jobs_.empty(); });
    if (spawn_jobs_.empty()) return;
    std::function<void()> job = std::move(spawn_jobs_.front());
    spawn_jobs_.pop_front();
    lock.unlock();
    job();
    lock.lock();
  }
}

void TRunnerPool::RunOnSpawnThread(const std::function<void()>& job) {
  std::packaged_task<void()> task(job);
  std::future<void> done = task.get_future();
  {
    std::lock_guard lock(spawn_mutex_);
    spawn_jobs_.push_back([&task] { task(); });
  }
  spawn_wake_.notify_one();
  done.get();
}

TRunnerPool::TRunner TRunnerPool::Start(const std::string& library, std::string& error) {
  TRunner runner;
  RunOnSpawnThread([&] {
    runner.Pid = SpawnWithChannel({runner_, "serve", library, code_page_}, runner.Channel, error);
  });
  if (runner.Pid < 0) return runner;
  ++started_;
  ::fcntl(runner.Channel, F_SETFL, ::fcntl(runner.Channel, F_GETFL) | O_NONBLOCK);
  return runner;
}

TRunnerPool::TRunner TRunnerPool::Take(const std::string& library, std::string& error) {
  for (;;) {
    TRunner runner;
    {
      std::lock_guard lock(idle_mutex_);
      auto found = idle_.find(library);
      if (found == idle_.end() || found->second.empty()) break;
      runner = found->second.back();
      found->second.pop_back();
    }
    // An idle runner says nothing: a readable channel means it has ended meanwhile.
    pollfd watch{runner.Channel, POLLIN, 0};
    if (::poll(&watch, 1, 0) == 0) return runner;
    KillAndReap(runner.Pid, runner.Channel);
  }
  return Start(library, error);
}

void TRunnerPool::GiveBack(const std::string& library, TRunner runner) {
  {
    std::lock_guard lock(idle_mutex_);
    std::vector<TRunner>& runners = idle_[library];
    if (runners.size() < max_idle_) {
      runners.push_back(runner);
      return;
    }
  }
  KillAndReap(runner.Pid, runner.Channel);
}

TRunnerOutcome TRunnerPool::Call(const std::string& library, const std::string& request,
                                 uint32_t timeout_ms, size_t max_answer) {
  TRunnerOutcome outcome;
  const auto deadline = TClock::now() + std::chrono::milliseconds(timeout_ms);
  TRunner runner = Take(library, outcome.Error);
  if (runner.Pid < 0) return outcome;
  outcome.Started = true;
  ++busy_;
  struct TBusy {
    std::atomic<size_t>& Count;
    ~TBusy() { --Count; }
  } busy{busy_};

  char length[kRunnerLengthSize];
  PutRunnerLength(length, request.size());
  char header[kRunnerAnswerHeaderSize];
  TIo io = SendAll(runner.Channel, length, sizeof length, deadline);
  if (io == TIo::ioDone) io = SendAll(runner.Channel, request.data(), request.size(), deadline);
  if (io == TIo::ioDone) io = ReceiveAll(runner.Channel, header, sizeof header, deadline);
  if (io == TIo::ioDone) {
    const uint64_t size = GetRunnerLength(header + 1);
    if (size > max_answer) {
      outcome.TooLarge = true;
      KillAndReap(runner.Pid, runner.Channel);
      return outcome;
    }
    outcome.Bytes.resize(static_cast<size_t>(size));
    io = ReceiveAll(runner.Channel, outcome.Bytes.data(), outcome.Bytes.size(), deadline);
  }
  switch (io) {
    case TIo::ioDone:
      outcome.Answered = true;
      outcome.Mark = header[0];
      if (outcome.Mark == kRunnerAnswerMark || outcome.Mark == kRunnerErrorMark)
        GiveBack(library, runner);
      else
        KillAndReap(runner.Pid, runner.Channel);  // out of step: not to be trusted again
      break;
    case TIo::ioEnded:
      outcome.Bytes.clear();
      outcome.TimedOut = !ReapEnded(runner.Pid, runner.Channel, deadline, outcome.Status);
      break;
    case TIo::ioTimedOut:
      outcome.Bytes.clear();
      outcome.TimedOut = true;
      KillAndReap(runner.Pid, runner.Channel, &outcome.Status);
      break;
  }
  return outcome;
}

}  // namespace larkspire::server
