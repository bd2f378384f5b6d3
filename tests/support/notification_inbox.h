// TNotificationInbox: collects the notifications a connection's listener delivers, for tests
// that wait for them.
//
//   TNotificationInbox inbox;
//   connection.SetOnNotification(inbox.Handler());
//   ASSERT_TRUE(inbox.WaitFor(1));
//
// Thread-safety: Handler runs on the listener's thread; the rest on the test's.
#ifndef LARKSPIRE_TESTS_SUPPORT_NOTIFICATION_INBOX_H_
#define LARKSPIRE_TESTS_SUPPORT_NOTIFICATION_INBOX_H_

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "components/notification_listener.h"

namespace larkspire::test {

class TNotificationInbox {
 public:
  TLarkspireNotificationEvent Handler() {
    return [this](const TLarkspireNotification& notification) {
      std::lock_guard lock(mutex_);
      received_.push_back(notification);
      changed_.notify_all();
    };
  }
  // Waits until count notifications came, at most timeout_ms.
  bool WaitFor(size_t count, int timeout_ms = 10000) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                             [&] { return received_.size() >= count; });
  }
  std::vector<TLarkspireNotification> Received() {
    std::lock_guard lock(mutex_);
    return received_;
  }
  size_t Count() {
    std::lock_guard lock(mutex_);
    return received_.size();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<TLarkspireNotification> received_;
};

}  // namespace larkspire::test

#endif  // LARKSPIRE_TESTS_SUPPORT_NOTIFICATION_INBOX_H_
