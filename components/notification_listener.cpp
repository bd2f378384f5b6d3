#include "components/notification_listener.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "components/connection.h"
#include "components/exception.h"
#include "platform/codepage.h"
#include "protocol/error_codes.h"

namespace larkspire {

namespace {

// How long one 604 waits on the server; subscription changes go out between waits.
constexpr int32_t kWaitMs = 1000;
// The hidden session's reply time-out: a server that stops answering is noticed in this long.
constexpr uint32_t kListenerReplyTimeout = 30;
// The back-off between attempts to make a broken session again.
constexpr auto kFirstBackOff = std::chrono::milliseconds(100);
constexpr auto kLongestBackOff = std::chrono::milliseconds(5000);
// While notifications come over TCP because the datagram link failed or died, it is tried
// again this often.
constexpr auto kLinkRetry = std::chrono::seconds(15);

// Whether a failed reply says the session's connection broke (as opposed to a refusal).
bool IsLinkFailure(int32_t code) {
  return code == kErrCouldNotConnect || code == kErrNoReply || code == kErrClosedDuringCommand ||
         code == kErrConnectionRefused || code == kErrConnectionsLimit || code == kErrTlsFailed ||
         code == kErrTlsRequired || code == kErrReplyTooLarge;
}

}  // namespace

TLarkspireNotificationListener::TLarkspireNotificationListener(TLarkspireConnection& settings)
    : settings_(settings) {}

TLarkspireNotificationListener::~TLarkspireNotificationListener() {
  Stop();
}

void TLarkspireNotificationListener::MakeSession() {
  auto session = std::make_unique<TLarkspireConnection>();
  session->SetName(settings_.Name());
  session->SetRemoteIP(settings_.RemoteIP());
  session->SetRemotePort(settings_.RemotePort());
  session->SetLoginPassword(settings_.LoginPassword());
  session->SetUserName(settings_.UserName());
  session->SetConnectionName(settings_.ConnectionName());
  session->SetClientName(settings_.ClientName());
  session->SetErrorMsgType(settings_.ErrorMsgType());
  session->SetNetErrorInfo(settings_.NetErrorInfo());
  session->SetMaxMessageSize(settings_.MaxMessageSize());
  session->SetUseTls(settings_.UseTls());
  session->SetTlsCaFile(settings_.TlsCaFile());
  session->SetTlsServerName(settings_.TlsServerName());
  session->SetReplyTimeout(kListenerReplyTimeout);
  // Every connect after the first is a new server session that holds no subscriptions.
  session->OnAfterConnect = [this] { session_renewed_ = true; };
  session_ = std::move(session);
}

bool TLarkspireNotificationListener::SendChange(uint16_t code, const std::string& channel,
                                                std::string& failure) {
  TRemoteCommand request;
  request.Code = code;
  request.SetDataText(channel);
  const TLarkspireReply reply = session_->Exchange(request);
  if (reply->Success) return true;
  failure = reply->Value == kErrUnknownCommand ? std::string(kNoNotificationsText)
                                               : AnsiToWide(reply->Message);
  return false;
}

void TLarkspireNotificationListener::Subscribe(const std::string& channel) {
  std::string reason;
  if (!IsValidChannel(channel, &reason)) {
    ThrowLarkspireException(kNoErrorCode, kNoErrorCode, reason, settings_.Name() + ":" + reason);
  }
  std::unique_lock lock(mutex_);
  if (channels_.count(channel) != 0) return;
  if (!session_ || stopping_) {
    if (OnDeliveryThread()) {
      ThrowLarkspireException(kNoErrorCode, kNoErrorCode, "the listener is stopping",
                              settings_.Name() + ":the listener is stopping");
    }
    // The first channel (again): the session opens here, on the caller's thread, so that a
    // server that cannot be reached or has no notifications is told at once.
    lock.unlock();
    Stop();
    lock.lock();
    MakeSession();
    std::string failure;
    if (!SendChange(cmdSubscribe, channel, failure)) {
      const int32_t code = session_->ErrorCode();
      session_.reset();
      lock.unlock();
      RaiseChangeFailure(code, failure);
    }
    session_renewed_ = false;
    channels_.insert(channel);
    changes_.clear();
    stopping_ = false;
    {
      std::lock_guard inbox(inbox_mutex_);
      inbox_.clear();
      inbox_stopping_ = false;
      taken_.clear();
    }
    last_sequence_.clear();
    missed_all_ = false;
    route_ = TNotificationRoute::Tcp;
    delivery_thread_ = std::thread([this] { RunDelivery(); });
    thread_ = std::thread([this] { Run(); });
    return;
  }
  // Listed at once, so that a record that comes right after the server subscribed is kept.
  channels_.insert(channel);
  auto change = std::make_shared<TChange>();
  change->Code = cmdSubscribe;
  change->Channel = channel;
  changes_.push_back(change);
  changed_.notify_all();
  changed_.wait(lock, [&] { return change->Done || stopping_; });
  if (change->Done && !change->Failed) return;
  channels_.erase(channel);
  lock.unlock();
  if (!change->Done) RaiseChangeFailure(kNoErrorCode, "the listener stopped");
  RaiseChangeFailure(change->ErrorCode, change->Failure);
}

void TLarkspireNotificationListener::RaiseChangeFailure(int32_t code, const std::string& failure) {
  if (failure == kNoNotificationsText) {
    ThrowLarkspireException(kErrUnknownCommand, kErrUnknownCommand, failure,
                            settings_.Name() + ":" + failure);
  }
  if (IsLinkFailure(code)) settings_.RaiseError(code, failure);
  ThrowLarkspireException(kNoErrorCode, code, failure, settings_.Name() + ":" + failure);
}

void TLarkspireNotificationListener::Unsubscribe(const std::string& channel) {
  std::unique_lock lock(mutex_);
  // Records of the channel already on their way are dropped from now on (RunDelivery).
  if (channels_.erase(channel) == 0 || !session_ || stopping_) return;
  if (channels_.empty()) {
    // The last one: the session closes, and with it the server's mailbox.
    lock.unlock();
    Stop();
    return;
  }
  // The server is told between two waits; nothing of the channel is handed out meanwhile, so
  // the caller does not wait for it. A later subscription counts from 1 again.
  auto change = std::make_shared<TChange>();
  change->Code = cmdUnsubscribe;
  change->Channel = channel;
  changes_.push_back(change);
  changed_.notify_all();
  lock.unlock();
  TEntry forget;
  forget.Kind = TEntry::Forget;
  forget.Value.Channel = channel;
  Enqueue(std::move(forget));
}

void TLarkspireNotificationListener::Stop() {
  std::unique_lock lock(mutex_);
  stopping_ = true;
  channels_.clear();
  changes_.clear();
  changed_.notify_all();
  {
    std::lock_guard inbox(inbox_mutex_);
    inbox_stopping_ = true;
    inbox_.clear();
  }
  inbox_ready_.notify_all();
  if (session_) {
    // Wakes a 604 waiting for its reply; the thread then sees stopping_.
    session_->SetConnected(false);
  }
  route_ = TNotificationRoute::None;
  // From a handler the delivery thread cannot wait for itself: the threads are joined by the
  // next Subscribe or Stop, or the destructor.
  if (OnDeliveryThread()) return;
  std::thread thread = std::move(thread_);
  std::thread delivery = std::move(delivery_thread_);
  lock.unlock();
  if (thread.joinable()) thread.join();
  if (delivery.joinable()) delivery.join();
  lock.lock();
  if (link_) link_->Close();
  session_.reset();
}

void TLarkspireNotificationListener::SetOnNotification(TLarkspireNotificationEvent handler) {
  std::lock_guard lock(handler_mutex_);
  on_notification_ = std::move(handler);
}

void TLarkspireNotificationListener::SetDatagramLink(
    std::unique_ptr<INotificationDatagramLink> link) {
  std::lock_guard lock(mutex_);
  link_ = std::move(link);
}

std::set<std::string> TLarkspireNotificationListener::Channels() const {
  std::lock_guard lock(mutex_);
  return channels_;
}

bool TLarkspireNotificationListener::OnDeliveryThread() const {
  return std::this_thread::get_id() == delivery_thread_.get_id();
}

void TLarkspireNotificationListener::DeliverRecord(const TNotificationRecord& record) {
  TEntry entry;
  entry.Value = record;
  Enqueue(std::move(entry));
}

uint64_t TLarkspireNotificationListener::LastTaken(const std::string& channel) {
  std::lock_guard lock(inbox_mutex_);
  auto found = taken_.find(channel);
  return found == taken_.end() ? 0 : found->second;
}

void TLarkspireNotificationListener::Enqueue(TEntry entry) {
  std::lock_guard lock(inbox_mutex_);
  if (inbox_stopping_) return;
  if (entry.Kind == TEntry::Renewed) taken_.clear();
  if (entry.Kind == TEntry::Forget) taken_.erase(entry.Value.Channel);
  if (entry.Kind == TEntry::Record) {
    uint64_t& taken = taken_[entry.Value.Channel];
    taken = std::max(taken, entry.Value.Sequence);
    size_t records = 0;
    for (const TEntry& waiting : inbox_) records += waiting.Kind == TEntry::Record ? 1 : 0;
    if (records >= kMaxQueuedNotifications) {
      // The handler is behind: the oldest record goes, and the record after it says so.
      auto oldest = std::find_if(inbox_.begin(), inbox_.end(),
                                 [](const TEntry& e) { return e.Kind == TEntry::Record; });
      auto next = inbox_.erase(oldest);
      next = std::find_if(next, inbox_.end(),
                          [](const TEntry& e) { return e.Kind == TEntry::Record; });
      if (next != inbox_.end()) {
        next->Value.Missed = true;
      } else {
        entry.Value.Missed = true;
      }
    }
  }
  inbox_.push_back(std::move(entry));
  inbox_ready_.notify_one();
}

void TLarkspireNotificationListener::RunDelivery() {
  for (;;) {
    TEntry entry;
    {
      std::unique_lock lock(inbox_mutex_);
      inbox_ready_.wait(lock, [this] { return inbox_stopping_ || !inbox_.empty(); });
      if (inbox_stopping_) return;
      entry = std::move(inbox_.front());
      inbox_.pop_front();
    }
    if (entry.Kind == TEntry::Renewed) {
      // The new server session counts every channel from 1 again.
      last_sequence_.clear();
      missed_all_ = true;
      continue;
    }
    if (entry.Kind == TEntry::Lost) {
      missed_all_ = true;
      continue;
    }
    const TNotificationRecord& record = entry.Value;
    if (entry.Kind == TEntry::Forget) {
      last_sequence_.erase(record.Channel);
      continue;
    }
    {
      std::lock_guard lock(mutex_);
      if (stopping_ || channels_.count(record.Channel) == 0) continue;
    }
    auto last = last_sequence_.find(record.Channel);
    // A record at or below the last one of its channel came twice (the datagram link and 604
    // both carried it): it is not handed out again.
    if (last != last_sequence_.end() && record.Sequence <= last->second) continue;
    const uint64_t expected = last == last_sequence_.end() ? 1 : last->second + 1;
    TLarkspireNotification notification;
    notification.Channel = record.Channel;
    notification.Payload = record.Payload;
    notification.Sequence = record.Sequence;
    notification.Missed = record.Missed || missed_all_ || record.Sequence != expected;
    missed_all_ = false;
    last_sequence_[record.Channel] = record.Sequence;
    TLarkspireNotificationEvent handler;
    {
      std::lock_guard lock(handler_mutex_);
      handler = on_notification_;
    }
    if (handler) handler(notification);
  }
}

void TLarkspireNotificationListener::OpenLink() {
  INotificationDatagramLink* link = nullptr;
  {
    std::lock_guard lock(mutex_);
    link = link_.get();
  }
  if (link == nullptr) {
    route_ = TNotificationRoute::Tcp;
    return;
  }
  link->Close();
  link_tried_ = std::chrono::steady_clock::now();
  const bool bound = link->Open(
      *session_, [this](const TNotificationRecord& record) { DeliverRecord(record); },
      [this](const std::string& channel) { return LastTaken(channel); },
      [this] {
        if (route_ == TNotificationRoute::Datagram) route_ = TNotificationRoute::Tcp;
      });
  route_ = bound ? TNotificationRoute::Datagram : TNotificationRoute::Tcp;
}

bool TLarkspireNotificationListener::Resubscribe() {
  session_renewed_ = false;
  TEntry renewed;
  renewed.Kind = TEntry::Renewed;
  Enqueue(std::move(renewed));
  for (const std::string& channel : Channels()) {
    std::string failure;
    if (!SendChange(cmdSubscribe, channel, failure) && IsLinkFailure(session_->ErrorCode())) {
      return false;
    }
  }
  reconnects_++;
  OpenLink();
  return true;
}

void TLarkspireNotificationListener::RunChanges() {
  for (;;) {
    std::shared_ptr<TChange> change;
    {
      std::lock_guard lock(mutex_);
      if (changes_.empty() || stopping_) return;
      change = changes_.front();
      changes_.pop_front();
    }
    change->Failed = !SendChange(change->Code, change->Channel, change->Failure);
    change->ErrorCode = session_->ErrorCode();
    {
      std::lock_guard lock(mutex_);
      change->Done = true;
    }
    changed_.notify_all();
  }
}

bool TLarkspireNotificationListener::WaitOnce() {
  TRemoteCommand request;
  request.Code = cmdWaitNotifications;
  request.Value = kWaitMs;
  std::vector<TNotificationRecord> records;
  {
    const TLarkspireReply reply = session_->Exchange(request);
    // A refusal is waited out as a break is, not asked again at once.
    if (!reply->Success) return false;
    const int64_t size = reply->Data.Size();
    try {
      DecodeNotificationRecords(static_cast<const uint8_t*>(reply->Data.Memory()),
                                static_cast<size_t>(size), records);
    } catch (const EMalformedData&) {
      // What decoded before the fault is handed out; the rest is lost and the next record
      // says so.
      TEntry lost;
      lost.Kind = TEntry::Lost;
      for (const TNotificationRecord& record : records) DeliverRecord(record);
      Enqueue(std::move(lost));
      return true;
    }
  }
  for (const TNotificationRecord& record : records) DeliverRecord(record);
  return true;
}

bool TLarkspireNotificationListener::Stopping() const {
  std::lock_guard lock(mutex_);
  return stopping_;
}

void TLarkspireNotificationListener::Run() {
  OpenLink();
  auto back_off = kFirstBackOff;
  while (!Stopping()) {
    RunChanges();
    if (Stopping()) break;
    bool healthy = true;
    if (!session_->Connected()) {
      route_ = TNotificationRoute::None;
      session_->SetConnected(true);
      healthy = session_->Connected();
    }
    if (healthy && session_renewed_) healthy = Resubscribe();
    if (healthy && route_ == TNotificationRoute::Tcp && link_ &&
        std::chrono::steady_clock::now() - link_tried_ >= kLinkRetry) {
      OpenLink();
    }
    if (healthy) healthy = WaitOnce();
    // A 604 that a reconnect inside the exchange answered on a new session.
    if (healthy && session_renewed_) healthy = Resubscribe();
    if (healthy) {
      back_off = kFirstBackOff;
      continue;
    }
    route_ = TNotificationRoute::None;
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, back_off, [this] { return stopping_; });
    back_off = std::min(back_off * 2, kLongestBackOff);
  }
  if (link_) link_->Close();
}

}  // namespace larkspire
