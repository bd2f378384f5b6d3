#include "server/notify/notification_hub.h"

#include <algorithm>

#include "platform/exception.h"
#include "server/base/server_errors.h"

namespace larkspire::server {

TNotificationMailbox::~TNotificationMailbox() {
  Close();
}

std::vector<TNotificationRecord> TNotificationMailbox::WaitAndTake(
    std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  arrived_.wait_for(lock, timeout, [this] { return closed_ || !queue_.empty(); });
  std::vector<TNotificationRecord> taken(std::make_move_iterator(queue_.begin()),
                                         std::make_move_iterator(queue_.end()));
  queue_.clear();
  queued_bytes_ = 0;
  if (!taken.empty() && missed_) {
    taken.front().Missed = true;
    missed_ = false;
  }
  return taken;
}

void TNotificationMailbox::SetOutlet(TOutlet outlet) {
  std::lock_guard lock(mutex_);
  if (closed_) return;
  outlet_ = std::move(outlet);
  ++outlet_generation_;
  if (!sender_.joinable()) sender_ = std::thread([this] { SenderLoop(); });
}

void TNotificationMailbox::ClearOutlet() {
  std::lock_guard lock(mutex_);
  if (!outlet_) return;
  outlet_ = nullptr;
  ++outlet_generation_;
  // What waited for the outlet goes back to the queue, ahead of anything newer.
  while (!outgoing_.empty()) {
    QueueLocked(std::move(outgoing_.front()));
    outgoing_.pop_front();
  }
  arrived_.notify_all();
}

bool TNotificationMailbox::HasOutlet() const {
  std::lock_guard lock(mutex_);
  return static_cast<bool>(outlet_);
}

void TNotificationMailbox::Close() {
  std::thread sender;
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    outlet_ = nullptr;
    outgoing_.clear();
    sender = std::move(sender_);
  }
  arrived_.notify_all();
  outgoing_ready_.notify_all();
  if (sender.joinable()) {
    if (sender.get_id() == std::this_thread::get_id()) {
      sender.detach();  // the outlet closed its own mailbox: the loop ends on its own
    } else {
      sender.join();
    }
  }
}

bool TNotificationMailbox::Closed() const {
  std::lock_guard lock(mutex_);
  return closed_;
}

size_t TNotificationMailbox::QueuedCount() const {
  std::lock_guard lock(mutex_);
  return queue_.size();
}

size_t TNotificationMailbox::QueuedBytes() const {
  std::lock_guard lock(mutex_);
  return queued_bytes_;
}

std::vector<std::string> TNotificationMailbox::Channels() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> channels;
  for (const auto& [channel, sequence] : sequences_) channels.push_back(channel);
  return channels;
}

bool TNotificationMailbox::AddChannel(const std::string& channel) {
  std::lock_guard lock(mutex_);
  if (sequences_.count(channel) != 0) return true;
  if (sequences_.size() >= kMaxSubscriptions) return false;
  sequences_.emplace(channel, 0);
  return true;
}

bool TNotificationMailbox::RemoveChannel(const std::string& channel) {
  std::lock_guard lock(mutex_);
  if (sequences_.erase(channel) == 0) return false;
  // Nothing of the channel reaches the session once it has unsubscribed.
  auto gone = [&channel](const TNotificationRecord& record) { return record.Channel == channel; };
  for (const TNotificationRecord& record : queue_) {
    if (gone(record)) queued_bytes_ -= NotificationRecordSize(record);
  }
  queue_.erase(std::remove_if(queue_.begin(), queue_.end(), gone), queue_.end());
  outgoing_.erase(std::remove_if(outgoing_.begin(), outgoing_.end(), gone), outgoing_.end());
  return true;
}

void TNotificationMailbox::Deliver(const std::string& channel, const std::string& payload) {
  std::lock_guard lock(mutex_);
  if (closed_) return;
  auto found = sequences_.find(channel);
  if (found == sequences_.end()) return;
  TNotificationRecord record;
  record.Channel = channel;
  record.Payload = payload;
  record.Sequence = ++found->second;
  if (outlet_) {
    // The outlet's backlog obeys the same bounds as the queue.
    if (outgoing_.size() >= kMaxQueuedNotifications) {
      outgoing_.pop_front();
      record.Missed = true;
    }
    outgoing_.push_back(std::move(record));
    outgoing_ready_.notify_one();
    return;
  }
  QueueLocked(std::move(record));
  arrived_.notify_all();
}

void TNotificationMailbox::QueueLocked(TNotificationRecord record) {
  if (record.Missed) missed_ = true;
  record.Missed = false;
  const size_t size = NotificationRecordSize(record);
  while (!queue_.empty() && (queue_.size() >= kMaxQueuedNotifications ||
                             queued_bytes_ + size > kMaxQueuedNotificationBytes)) {
    queued_bytes_ -= NotificationRecordSize(queue_.front());
    queue_.pop_front();
    missed_ = true;
  }
  queued_bytes_ += size;
  queue_.push_back(std::move(record));
}

void TNotificationMailbox::SenderLoop() {
  std::unique_lock lock(mutex_);
  while (!closed_) {
    outgoing_ready_.wait(lock, [this] { return closed_ || (outlet_ && !outgoing_.empty()); });
    if (closed_) break;
    TNotificationRecord record = std::move(outgoing_.front());
    outgoing_.pop_front();
    TOutlet outlet = outlet_;
    const uint64_t generation = outlet_generation_;
    lock.unlock();
    const bool sent = outlet(record);
    lock.lock();
    if (sent || closed_) continue;
    // The link gave up: this record and what followed it go back to the queue for 604.
    if (generation == outlet_generation_) {
      outlet_ = nullptr;
      ++outlet_generation_;
    }
    QueueLocked(std::move(record));
    while (!outgoing_.empty()) {
      QueueLocked(std::move(outgoing_.front()));
      outgoing_.pop_front();
    }
    arrived_.notify_all();
  }
}

TNotificationHub::~TNotificationHub() {
  std::set<std::shared_ptr<TNotificationMailbox>> mailboxes;
  {
    std::lock_guard lock(mutex_);
    mailboxes.swap(mailboxes_);
    subscribers_.clear();
  }
  for (const auto& mailbox : mailboxes) mailbox->Close();
}

std::shared_ptr<TNotificationMailbox> TNotificationHub::Register() {
  auto mailbox = std::make_shared<TNotificationMailbox>();
  std::lock_guard lock(mutex_);
  mailboxes_.insert(mailbox);
  return mailbox;
}

void TNotificationHub::Unregister(const std::shared_ptr<TNotificationMailbox>& mailbox) {
  if (!mailbox) return;
  bool changed = false;
  {
    std::lock_guard lock(mutex_);
    if (mailboxes_.erase(mailbox) != 0) {
      for (auto it = subscribers_.begin(); it != subscribers_.end();) {
        if (it->second.erase(mailbox.get()) != 0 && it->second.empty()) {
          it = subscribers_.erase(it);
          changed = true;
        } else {
          ++it;
        }
      }
    }
  }
  mailbox->Close();
  if (changed) ChannelsChanged();
}

void TNotificationHub::Subscribe(TNotificationMailbox& mailbox, const std::string& channel) {
  std::string reason;
  if (!IsValidChannel(channel, &reason)) throw EServerError(kErrMalformedRequest, reason);
  bool changed = false;
  {
    std::lock_guard lock(mutex_);
    if (!mailbox.AddChannel(channel)) {
      throw EServerError(
          kErrTooManySubscriptions,
          "A session subscribes to at most " + std::to_string(kMaxSubscriptions) + " channels");
    }
    auto& subscribers = subscribers_[channel];
    changed = subscribers.empty();
    subscribers.insert(&mailbox);
  }
  if (changed) ChannelsChanged();
}

void TNotificationHub::Unsubscribe(TNotificationMailbox& mailbox, const std::string& channel) {
  bool changed = false;
  {
    std::lock_guard lock(mutex_);
    mailbox.RemoveChannel(channel);
    auto found = subscribers_.find(channel);
    if (found != subscribers_.end() && found->second.erase(&mailbox) != 0 &&
        found->second.empty()) {
      subscribers_.erase(found);
      changed = true;
    }
  }
  if (changed) ChannelsChanged();
}

size_t TNotificationHub::Publish(const std::string& channel, const std::string& payload) {
  std::lock_guard lock(mutex_);
  auto found = subscribers_.find(channel);
  if (found == subscribers_.end()) return 0;
  // Each delivery only queues under the mailbox's own lock: no session waits on another.
  for (TNotificationMailbox* mailbox : found->second) mailbox->Deliver(channel, payload);
  return found->second.size();
}

std::set<std::string> TNotificationHub::Channels() const {
  std::lock_guard lock(mutex_);
  std::set<std::string> channels;
  for (const auto& [channel, subscribers] : subscribers_) channels.insert(channel);
  return channels;
}

size_t TNotificationHub::MailboxCount() const {
  std::lock_guard lock(mutex_);
  return mailboxes_.size();
}

void TNotificationHub::SetOnChannelsChanged(TChannelsEvent handler) {
  {
    std::lock_guard lock(event_mutex_);
    on_channels_changed_ = std::move(handler);
  }
  ChannelsChanged();
}

void TNotificationHub::ChannelsChanged() {
  std::lock_guard event_lock(event_mutex_);
  if (!on_channels_changed_) return;
  // Read under the event lock, so that events run in the order of the changes they report.
  on_channels_changed_(Channels());
}

}  // namespace larkspire::server
