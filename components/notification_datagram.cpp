#include "components/notification_datagram.h"

#include <chrono>
#include <shared_mutex>
#include <vector>

#include "components/connection.h"
#include "components/host_list.h"
#include "platform/clock.h"

namespace larkspire {

// What the session's handler reaches: this link while it lives. The handler holds the shared
// lock while it runs, so the destructor waits for a running one.
struct TNotificationDatagramLink::THandlerRef {
  std::shared_mutex Lock;
  TNotificationDatagramLink* Link = nullptr;
};

TNotificationDatagramLink::TNotificationDatagramLink()
    : handler_ref_(std::make_shared<THandlerRef>()) {
  handler_ref_->Link = this;
}

TNotificationDatagramLink::~TNotificationDatagramLink() {
  Close();
  std::unique_lock lock(handler_ref_->Lock);
  handler_ref_->Link = nullptr;
}

bool TNotificationDatagramLink::Alive() const {
  std::lock_guard lock(mutex_);
  if (!bound_ || session_ == nullptr) return false;
  TSuperUdpSocket& endpoint = session_->UdpSocket();
  return endpoint.Connected() && TickCount() - endpoint.LinkModule().LastActive() < kLinkSilenceMs;
}

void TNotificationDatagramLink::StopWatch() {
  {
    std::lock_guard lock(mutex_);
    watching_ = false;
    bind_changed_.notify_all();
  }
  if (watch_thread_.joinable()) watch_thread_.join();
}

void TNotificationDatagramLink::Watch() {
  std::unique_lock lock(mutex_);
  while (watching_) {
    bind_changed_.wait_for(lock, std::chrono::milliseconds(kLinkWatchMs));
    if (!watching_) return;
    lock.unlock();
    const bool alive = Alive();
    lock.lock();
    if (!alive && watching_) {
      watching_ = false;
      bound_ = false;
      lock.unlock();
      if (lost_) lost_();
      return;
    }
  }
}

void TNotificationDatagramLink::Close() {
  StopWatch();
  TLarkspireConnection* session = nullptr;
  {
    std::lock_guard lock(mutex_);
    bound_ = false;
    accepting_ = false;
    bind_changed_.notify_all();
    session = session_;
  }
  if (session != nullptr) {
    TSuperUdpSocket& endpoint = session->UdpSocket();
    if (endpoint.Connected()) endpoint.CloseLink();
    if (bind_thread_.joinable()) {
      // A bind send still trying is stopped rather than left to give up on its own.
      endpoint.StopSends();
      bind_thread_.join();
    }
    session->SetOnDatagramCommand(nullptr);
  }
  {
    std::lock_guard gate(gate_mutex_);
    ++generation_;
    gate_changed_.notify_all();
  }
  std::lock_guard lock(mutex_);
  session_ = nullptr;
}

bool TNotificationDatagramLink::Open(TLarkspireConnection& session, TSink sink,
                                     TLastTaken last_taken, TLost lost) {
  Close();
  {
    std::lock_guard gate(gate_mutex_);
    sink_ = std::move(sink);
    last_taken_ = std::move(last_taken);
  }
  {
    std::lock_guard lock(mutex_);
    session_ = &session;
  }
  lost_ = std::move(lost);
  // One record with its seal is all the server ever sends here; nothing larger is assembled.
  if (session.MaxDatagramMessage() > kMaxNotificationDatagram) {
    session.SetMaxDatagramMessage(kMaxNotificationDatagram);
  }
  session.SetOnDatagramCommand(
      [ref = handler_ref_](const std::string& ip, int port, TRemoteCommand& message) {
        std::shared_lock lock(ref->Lock);
        if (ref->Link != nullptr) ref->Link->OnCommand(ip, port, message);
      });
  if (!Bind(session)) {
    Close();
    return false;
  }
  std::lock_guard lock(mutex_);
  bound_ = true;
  watching_ = true;
  watch_thread_ = std::thread([this] { Watch(); });
  return true;
}

bool TNotificationDatagramLink::Bind(TLarkspireConnection& session) {
  const uint32_t bind_timeout_ms = kBindTimeoutMs;
  const uint32_t started = TickCount();
  std::string token;
  int port = 0;
  try {
    TRemoteCommand request;
    request.Code = cmdNotifyLink;
    TLarkspireReply reply = session.Exchange(request);
    if (!reply->Success) return false;
    port = reply->Value;
    token = reply->GetDataText();
  } catch (const std::exception&) {
    return false;
  }
  if (port <= 0 || port > 65535 || token.empty() || token.size() > 255) return false;

  // Under TLS the records come sealed under a key of this session; nothing opens without it.
  std::optional<TNotificationKey> key;
  if (session.TcpClient().UsingTls()) {
    TNotificationKey exported;
    if (!session.TcpClient().ExportKeyingMaterial(exported.data(), exported.size(),
                                                  kNotificationKeyLabel)) {
      return false;
    }
    key = exported;
  }
  std::string host;
  try {
    const std::vector<THostEntry> server = ParseHostList(session.ConnectedServer(), 0);
    if (server.empty()) return false;
    host = server.front().Host;
  } catch (const std::exception&) {
    return false;
  }
  {
    std::lock_guard gate(gate_mutex_);
    if (!key) {
      opener_.reset();
    } else if (!opener_ || opener_->Key() != *key) {
      // A new session: its nonces start again.
      opener_.emplace(*key);
      ++generation_;
    }
    under_tls_ = key.has_value();
  }

  TSuperUdpSocket& endpoint = session.UdpSocket();
  const uint32_t link_time = std::max<uint32_t>(bind_timeout_ms, 1);
  if (!endpoint.OpenLink(host, port, "", link_time)) return false;
  {
    std::lock_guard lock(mutex_);
    server_ip_ = endpoint.LinkIP();
    server_port_ = port;
    accepting_ = true;
    bind_answer_ = 0;
  }
  bind_thread_ = std::thread([&endpoint, token] {
    TRemoteCommand bind;
    bind.Code = cmdNotifyLink;
    bind.SetDataText(token);
    TMemoryStream stream;
    bind.SaveToStream(stream);
    endpoint.SendStream(stream);
  });
  const uint32_t spent = TickCount() - started;
  const uint32_t left = spent >= bind_timeout_ms ? 0 : bind_timeout_ms - spent;
  bool answered = false;
  {
    std::unique_lock lock(mutex_);
    answered = bind_changed_.wait_for(lock, std::chrono::milliseconds(left),
                                      [this] { return bind_answer_ != 0 || !accepting_; });
    answered = answered && bind_answer_ == 1 && accepting_;
  }
  return answered;
}

void TNotificationDatagramLink::OnCommand(const std::string& ip, int port,
                                          TRemoteCommand& message) {
  {
    std::lock_guard lock(mutex_);
    // Only the server this route linked to is heard.
    if (!accepting_ || port != server_port_ || ip != server_ip_) return;
    if (message.Code == cmdNotifyLink) {
      bind_answer_ = message.Success ? 1 : -1;
      bind_changed_.notify_all();
      return;
    }
  }
  if (message.Code == cmdNotify) OnRecord(message.GetDataText());
}

void TNotificationDatagramLink::OnRecord(const std::string& datagram) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(datagram.data());
  std::unique_lock gate(gate_mutex_);
  if (datagram.empty()) {
    ++dropped_;
    return;
  }
  if (bytes[0] == kRecordSealed) {
    uint64_t counter = 0;
    std::string body;
    if (!opener_ || !OpenSealedRecord(opener_->Key(), bytes, datagram.size(), counter, body)) {
      ++dropped_;
      return;
    }
    // A record that overtook the one before it waits for it, a short while.
    const uint64_t generation = generation_;
    gate_changed_.wait_for(gate, std::chrono::milliseconds(kReorderWaitMs), [&] {
      return generation_ != generation || !opener_ || counter <= opener_->LastCounter() + 1;
    });
    if (generation_ != generation || !opener_ || !opener_->Accept(counter)) {
      ++dropped_;
      return;
    }
    Deliver(body);
    gate_changed_.notify_all();
    return;
  }
  // A plain record under TLS is no record of this server's.
  if (bytes[0] != kRecordPlain || under_tls_) {
    ++dropped_;
    return;
  }
  std::vector<TNotificationRecord> records;
  try {
    DecodeNotificationRecords(bytes + 1, datagram.size() - 1, records);
  } catch (const std::exception&) {
    ++dropped_;
    return;
  }
  const uint64_t generation = generation_;
  for (const TNotificationRecord& record : records) {
    // Sequences count from 1, so even a channel's first record knows whether one is missing.
    gate_changed_.wait_for(gate, std::chrono::milliseconds(kReorderWaitMs), [&] {
      if (generation_ != generation || record.Missed) return true;
      return record.Sequence <= last_taken_(record.Channel) + 1;
    });
    if (generation_ != generation) return;
    sink_(record);
    gate_changed_.notify_all();
  }
}

void TNotificationDatagramLink::Deliver(const std::string& body) {
  std::vector<TNotificationRecord> records;
  try {
    DecodeNotificationRecords(reinterpret_cast<const uint8_t*>(body.data()), body.size(), records);
  } catch (const std::exception&) {
    ++dropped_;
    return;
  }
  for (const TNotificationRecord& record : records) sink_(record);
}

}  // namespace larkspire
