// The server's notifications: one hub per server, one mailbox per session that subscribes.
//
// A session registers with the hub and gets a mailbox; it subscribes the mailbox to channels,
// and Publish hands a record to every mailbox subscribed to the channel, each with the
// sequence of its own subscription (from 1). A mailbox queues what it gets until the session
// takes it (command 604, WaitAndTake), at most kMaxQueuedNotifications records or
// kMaxQueuedNotificationBytes bytes: past that the oldest go and the next record taken carries
// the Missed flag. A mailbox is unregistered when its session ends; nothing is kept for a gone
// client.
//
// Datagram delivery plugs in through the mailbox's outlet: while one is set, new records go to
// it instead of the queue, handed over by the mailbox's own sender thread (so a slow outlet never
// stalls Publish or other sessions). An outlet that returns false has given up: it is cleared,
// and that record and every later one are queued for 604 again.
//
// The hub tells its sources (the PostgreSQL listener) which channels some session wants through
// OnChannelsChanged.
//
// Thread-safety: every method may be called from any thread.
#ifndef LARKSPIRE_SERVER_NOTIFY_NOTIFICATION_HUB_H_
#define LARKSPIRE_SERVER_NOTIFY_NOTIFICATION_HUB_H_

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "protocol/notification.h"

namespace larkspire::server {

class TNotificationHub;

class TNotificationMailbox {
 public:
  using TOutlet = std::function<bool(const TNotificationRecord&)>;

  TNotificationMailbox() = default;
  TNotificationMailbox(const TNotificationMailbox&) = delete;
  TNotificationMailbox& operator=(const TNotificationMailbox&) = delete;
  ~TNotificationMailbox();

  // Takes every queued record, waiting up to timeout for the first one; returns early with
  // nothing when the mailbox is closed (its session ends, the server stops).
  std::vector<TNotificationRecord> WaitAndTake(std::chrono::milliseconds timeout);

  // Hands each new record to outlet (on the mailbox's sender thread) instead of queueing it,
  // until the outlet returns false or ClearOutlet. Replaces an outlet already set.
  void SetOutlet(TOutlet outlet);
  // Back to queueing; a record being handed over when it is called may still reach the old
  // outlet. Never called from inside the outlet.
  void ClearOutlet();
  bool HasOutlet() const;

  // Wakes a WaitAndTake and refuses records from now on; stops the sender thread.
  void Close();
  bool Closed() const;

  // The records queued now, and their encoded bytes.
  size_t QueuedCount() const;
  size_t QueuedBytes() const;
  // The channels subscribed.
  std::vector<std::string> Channels() const;

 private:
  friend class TNotificationHub;
  // Subscribes; false when the session holds kMaxSubscriptions already (a channel held counts
  // as success).
  bool AddChannel(const std::string& channel);
  // True when the channel was held.
  bool RemoveChannel(const std::string& channel);
  // A new record for a subscribed channel: numbered, then queued or handed to the outlet.
  void Deliver(const std::string& channel, const std::string& payload);
  // Queues under mutex_, dropping the oldest past the limits.
  void QueueLocked(TNotificationRecord record);
  void SenderLoop();

  mutable std::mutex mutex_;
  std::condition_variable arrived_;
  std::map<std::string, uint64_t> sequences_;  // channel -> last sequence numbered
  std::deque<TNotificationRecord> queue_;
  size_t queued_bytes_ = 0;
  // Records were dropped since the last one taken: the next one taken says so.
  bool missed_ = false;
  bool closed_ = false;
  // Datagram delivery: the outlet, the records waiting for it and its thread.
  TOutlet outlet_;
  std::deque<TNotificationRecord> outgoing_;
  uint64_t outlet_generation_ = 0;
  std::condition_variable outgoing_ready_;
  std::thread sender_;
};

class TNotificationHub {
 public:
  using TChannelsEvent = std::function<void(const std::set<std::string>& channels)>;

  TNotificationHub() = default;
  TNotificationHub(const TNotificationHub&) = delete;
  TNotificationHub& operator=(const TNotificationHub&) = delete;
  ~TNotificationHub();

  // A new mailbox for a session.
  std::shared_ptr<TNotificationMailbox> Register();
  // Drops the mailbox and its subscriptions, and closes it.
  void Unregister(const std::shared_ptr<TNotificationMailbox>& mailbox);

  // Raises EServerError for a channel that is not valid or one subscription too many.
  void Subscribe(TNotificationMailbox& mailbox, const std::string& channel);
  void Unsubscribe(TNotificationMailbox& mailbox, const std::string& channel);
  // Hands a record to every mailbox subscribed to channel; returns how many.
  size_t Publish(const std::string& channel, const std::string& payload);

  // The channels some mailbox is subscribed to.
  std::set<std::string> Channels() const;
  size_t MailboxCount() const;
  // Runs (outside the hub's lock, in order) each time the set of channels wanted changes, and
  // once when set. May be set once, before sessions start.
  void SetOnChannelsChanged(TChannelsEvent handler);

 private:
  void ChannelsChanged();

  mutable std::mutex mutex_;
  std::set<std::shared_ptr<TNotificationMailbox>> mailboxes_;
  std::map<std::string, std::set<TNotificationMailbox*>> subscribers_;
  std::mutex event_mutex_;  // keeps the channel events in order
  TChannelsEvent on_channels_changed_;
};

}  // namespace larkspire::server

#endif  // LARKSPIRE_SERVER_NOTIFY_NOTIFICATION_HUB_H_
