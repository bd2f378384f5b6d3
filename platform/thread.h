// TThread: a thread object with the framework's shape (Start, Terminate, WaitFor, Execute).
// The thread runs Execute once; an exception that escapes Execute is kept and can be taken by
// the thread's owner (FatalException) after WaitFor.
//
// Thread-safety: Terminate and Terminated may be called from any thread; Start and WaitFor from
// the owner's thread. Destroying a started thread waits for it.
#ifndef LARKSPIRE_PLATFORM_THREAD_H_
#define LARKSPIRE_PLATFORM_THREAD_H_

#include <atomic>
#include <exception>
#include <thread>

namespace larkspire {

class TThread {
 public:
  TThread() = default;
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;
  // Derived classes must call WaitFor in their destructor if Execute uses their members.
  virtual ~TThread();

  void Start();
  void Terminate() { terminated_ = true; }
  bool Terminated() const { return terminated_; }
  // Waits until Execute has returned (at once when the thread never started).
  void WaitFor();
  bool Finished() const { return finished_; }
  // The exception that escaped Execute, or null.
  std::exception_ptr FatalException() const { return fatal_; }

 protected:
  virtual void Execute() = 0;

 private:
  std::thread thread_;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  std::exception_ptr fatal_;
};

}  // namespace larkspire

#endif  // LARKSPIRE_PLATFORM_THREAD_H_
