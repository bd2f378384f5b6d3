// TRunnerPool: warm larkspire-plugin-runner processes that serve plug-in calls one after another.
//
// A runner is started in its "serve" mode for one plug-in library and then answers call after
// call over a socket pair (server/plugins/plugin_runner.cpp describes the framing). A call takes
// an idle runner of its library, or starts one when none is idle; after a call that came back
// whole (an answer or the plug-in's error text) the runner goes back to the idle ones, up to
// MaxIdle per library; a runner past that number, or one that crashed, ended, timed out or
// answered too much, is killed and reaped, and the next call starts a fresh one. So a plug-in
// still never runs inside the server, and a crash or a hang still ends only one runner.
//
// Runners are started from one thread of the pool's own: a runner asks to be killed when the
// thread that started it ends (parent-death signal), and session threads come and go.
//
// Thread-safety: Call may run on every session at once; each call has a runner to itself.
#ifndef LARKSPIRE_SERVER_RUNNER_POOL_H_
#define LARKSPIRE_SERVER_RUNNER_POOL_H_

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace larkspire::server {

// Starts argv[0] with argv, one end of a new socket pair as its standard input and output, its
// standard error shared with ours and no other descriptor of ours. Returns the process id and
// sets channel to our end (close-on-exec); returns -1 and sets error when it cannot.
pid_t SpawnWithChannel(const std::vector<std::string>& argv, int& channel, std::string& error);

// How one call in a runner went.
struct TRunnerOutcome {
  bool Started = false;   // false: Error says why no runner could be started
  bool TimedOut = false;  // the runner was killed at the time limit
  bool TooLarge = false;  // the runner was killed for announcing more than the limit
  bool Answered = false;  // Mark and Bytes hold the answer frame
  char Mark = 0;          // 'A' answer container, 'E' the plug-in's error text
  std::string Bytes;
  int Status = 0;  // waitpid status of a runner that ended without answering
  std::string Error;
};

class TRunnerPool {
 public:
  // runner: the path of larkspire-plugin-runner; code_page: passed to every call.
  TRunnerPool(std::string runner, std::string code_page, size_t max_idle);
  TRunnerPool(const TRunnerPool&) = delete;
  TRunnerPool& operator=(const TRunnerPool&) = delete;
  // Kills and reaps every idle runner and ends the starting thread.
  ~TRunnerPool();

  // Runs one call of the plug-in in library with the request container. The runner is killed
  // when the whole call (sending, running, answering) takes longer than timeout_ms or when it
  // announces an answer longer than max_answer bytes.
  TRunnerOutcome Call(const std::string& library, const std::string& request, uint32_t timeout_ms,
                      size_t max_answer);

  // Runner processes started so far, and those idle now.
  uint64_t RunnersStarted() const { return started_; }
  size_t IdleRunners();
  // Runners busy with a call now.
  size_t BusyRunners() const { return busy_; }

 private:
  struct TRunner {
    pid_t Pid = -1;
    int Channel = -1;
  };

  // An idle runner of the library that is still alive, or a new one (Pid -1: error set).
  TRunner Take(const std::string& library, std::string& error);
  void GiveBack(const std::string& library, TRunner runner);
  // Starts a runner on the pool's own thread.
  TRunner Start(const std::string& library, std::string& error);
  void RunOnSpawnThread(const std::function<void()>& job);
  void SpawnLoop();

  const std::string runner_;
  const std::string code_page_;
  const size_t max_idle_;
  std::atomic<uint64_t> started_{0};
  std::atomic<size_t> busy_{0};

  std::mutex idle_mutex_;
  std::map<std::string, std::vector<TRunner>> idle_;

  std::mutex spawn_mutex_;
  std::condition_variable spawn_wake_;
  std::deque<std::function<void()>> spawn_jobs_;
  bool spawn_stop_ = false;
  std::thread spawn_thread_;
};

}  // namespace larkspire::server

#endif  // LARKSPIRE_SERVER_RUNNER_POOL_H_
