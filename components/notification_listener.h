// TLarkspireNotificationListener: the hidden second session of a connection that holds its
// subscriptions and receives the notifications the server pushes, so that statements on the
// connection's own session never wait behind a notification wait.
//
// It opens on the first Subscribe with the connection's host list, port, password, user and TLS
// settings. Its thread loops command 604 (each waits up to a second, so subscription changes
// are sent between waits); its delivery thread hands each record to OnNotification, so a slow
// handler never holds up the loop (at most kMaxQueuedNotifications wait for it; past that the
// oldest go and the next one handed out says Missed). When the session breaks the listener
// connects again (backing off), subscribes to every channel again, and the next notification
// handed out says Missed; a sequence that skips (not one past the last of its channel) says
// Missed too. A datagram link (INotificationDatagramLink), when one is set, is opened after each
// (re)subscription; records it brings go through the same checks, and while it is up the route
// is Datagram (the 604 loop still runs: it takes what the server queues when the link gives up,
// and notices a broken session).
//
// Thread-safety: Subscribe, Unsubscribe, Stop and the setters come from the application's
// thread (the connection's) or from OnNotification, which runs on the delivery thread, one call
// at a time. Stop waits for a handler that is running (unless it is called from one), so a
// handler must not wait for the thread that stops the listener. Route and DeliverRecord may be
// used from any thread.
#ifndef LARKSPIRE_COMPONENTS_NOTIFICATION_LISTENER_H_
#define LARKSPIRE_COMPONENTS_NOTIFICATION_LISTENER_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "protocol/notification.h"

namespace larkspire {

class TLarkspireConnection;

struct TLarkspireNotification {
  std::string Channel;
  std::string Payload;
  uint64_t Sequence = 0;
  // Notifications before this one may have been lost (dropped by the server for a slow
  // client, a sequence that skipped, or a session that broke and was made again).
  bool Missed = false;
};
using TLarkspireNotificationEvent = std::function<void(const TLarkspireNotification&)>;

// How notifications arrive now.
enum class TNotificationRoute { None, Datagram, Tcp };

// The text a server without notifications is refused with.
inline constexpr const char* kNoNotificationsText = "this server does not send notifications";

// Datagram delivery for a listener. Open runs on the listener's thread after its session has
// subscribed (again); it asks the server for datagram delivery over session and returns true
// when the server bound the link. Records that arrive go to sink (from any thread); lost is
// called once when the link dies and cannot be made again. Close runs on the listener's thread
// before the session is dropped or made again, and when the listener stops; it may come more
// than once, and before any Open.
class INotificationDatagramLink {
 public:
  using TSink = std::function<void(const TNotificationRecord&)>;
  // The last sequence of a channel the listener has taken, from either road, since the
  // channel's numbering began (0: none yet). A record further on is held back for a while for
  // the ones before it.
  using TLastTaken = std::function<uint64_t(const std::string& channel)>;
  using TLost = std::function<void()>;
  virtual ~INotificationDatagramLink() = default;
  virtual bool Open(TLarkspireConnection& session, TSink sink, TLastTaken last_taken,
                    TLost lost) = 0;
  virtual void Close() = 0;
};

class TLarkspireNotificationListener {
 public:
  // settings: the connection whose settings the hidden session copies (read at each connect).
  explicit TLarkspireNotificationListener(TLarkspireConnection& settings);
  TLarkspireNotificationListener(const TLarkspireNotificationListener&) = delete;
  TLarkspireNotificationListener& operator=(const TLarkspireNotificationListener&) = delete;
  ~TLarkspireNotificationListener();

  // Raise ELarkspireException when the channel is not valid, the session cannot be opened, or
  // the server refuses ("this server does not send notifications" for a server without them).
  // Subscribing to a channel held already does nothing.
  void Subscribe(const std::string& channel);
  // Unsubscribing a channel not held does nothing; after the last one the session is closed.
  // Nothing of the channel is handed out once it returns (the server is told between two
  // waits). Subscribe waits for the server's answer, which comes between two waits too (at
  // most a second).
  void Unsubscribe(const std::string& channel);
  // Closes the session and ends the thread; the subscriptions are forgotten.
  void Stop();

  void SetOnNotification(TLarkspireNotificationEvent handler);
  // Set before the first Subscribe; the listener keeps it.
  void SetDatagramLink(std::unique_ptr<INotificationDatagramLink> link);
  TNotificationRoute Route() const { return route_.load(); }
  std::set<std::string> Channels() const;
  // Reconnections of the hidden session since the listener opened.
  int Reconnects() const { return reconnects_.load(); }

  // A record from the server (the 604 loop or the datagram link): checks its sequence and hands
  // it to OnNotification. Thread-safe.
  void DeliverRecord(const TNotificationRecord& record);
  // The highest sequence of channel taken in since its numbering began (0: none). Thread-safe.
  uint64_t LastTaken(const std::string& channel);

 private:
  // A subscription change waiting for the thread.
  struct TChange {
    uint16_t Code = 0;
    std::string Channel;
    bool Done = false;
    bool Failed = false;
    int32_t ErrorCode = 0;
    std::string Failure;  // UTF-8
  };
  // What waits for the delivery thread, in order: a record, or a mark that the sequences of
  // one channel (Forget) or of all of them (Renewed: a new server session) start again, or that
  // records were lost (Lost: a reply that did not decode whole).
  struct TEntry {
    enum TKind { Record, Forget, Renewed, Lost } Kind = Record;
    TNotificationRecord Value;  // Forget: only its Channel
  };

  void Run();
  void RunDelivery();
  void Enqueue(TEntry entry);
  // Makes the session anew with the settings' values.
  void MakeSession();
  // Sends 600 or 601 on the session; false with the reason when refused.
  bool SendChange(uint16_t code, const std::string& channel, std::string& failure);
  [[noreturn]] void RaiseChangeFailure(int32_t code, const std::string& failure);
  // Runs one 604; false when the session broke or the server refused it.
  bool WaitOnce();
  // After a (re)connect: subscribes every channel again and opens the datagram link.
  bool Resubscribe();
  void RunChanges();
  // Opens the datagram link, if one is set, and sets the route.
  void OpenLink();
  bool Stopping() const;
  bool OnDeliveryThread() const;

  TLarkspireConnection& settings_;
  std::unique_ptr<TLarkspireConnection> session_;
  std::unique_ptr<INotificationDatagramLink> link_;

  mutable std::mutex mutex_;  // guards channels_, changes_, stopping_, the threads' handles
  std::condition_variable changed_;
  std::set<std::string> channels_;
  std::deque<std::shared_ptr<TChange>> changes_;
  bool stopping_ = false;
  std::thread thread_;
  std::thread delivery_thread_;

  std::mutex inbox_mutex_;  // guards inbox_, inbox_stopping_, taken_
  std::condition_variable inbox_ready_;
  std::deque<TEntry> inbox_;
  bool inbox_stopping_ = false;
  std::map<std::string, uint64_t> taken_;  // channel -> the highest sequence taken in

  std::mutex handler_mutex_;  // guards on_notification_
  TLarkspireNotificationEvent on_notification_;

  // The delivery thread's own.
  std::map<std::string, uint64_t> last_sequence_;
  bool missed_all_ = false;

  std::atomic<TNotificationRoute> route_{TNotificationRoute::None};
  // When the datagram link was last tried (the thread's).
  std::chrono::steady_clock::time_point link_tried_{};
  std::atomic<bool> session_renewed_{false};
  std::atomic<int> reconnects_{0};
};

}  // namespace larkspire

#endif  // LARKSPIRE_COMPONENTS_NOTIFICATION_LISTENER_H_
