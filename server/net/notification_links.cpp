#include "server/net/notification_links.h"

#include <openssl/rand.h>

#include <chrono>
#include <shared_mutex>
#include <vector>

#include "platform/clock.h"
#include "platform/exception.h"
#include "protocol/notification.h"
#include "protocol/remote_command.h"
#include "server/net/datagram_endpoint.h"
#include "server/notify/notification_hub.h"
#include "transport/datagram_socket.h"

namespace larkspire::server {

struct TNotificationLinks::TEngineRef {
  std::shared_timed_mutex Lock;
  larkspire::TSuperUdpProctol* Engine = nullptr;  // null once closed
  std::atomic<bool> Closing{false};
  // The engine takes one send per channel at a time and refuses a second at once, even the
  // moment after the first has delivered; so every send to a client waits for its channel here.
  std::mutex ChannelsMutex;
  std::map<uint32_t, std::weak_ptr<std::mutex>> Channels;

  std::shared_ptr<std::mutex> ChannelLock(uint32_t channel_id) {
    std::lock_guard lock(ChannelsMutex);
    for (auto it = Channels.begin(); it != Channels.end();) {
      it = it->second.expired() && it->first != channel_id ? Channels.erase(it) : std::next(it);
    }
    std::shared_ptr<std::mutex> found = Channels[channel_id].lock();
    if (!found) {
      found = std::make_shared<std::mutex>();
      Channels[channel_id] = found;
    }
    return found;
  }
};

struct TNotificationLinks::TMailboxSeal {
  std::weak_ptr<TNotificationMailbox> Mailbox;
  std::mutex Lock;  // one send on the mailbox's channel at a time, records in sealing order
  std::optional<TNotificationSealer> Sealer;
};

TNotificationLinks::TNotificationLinks(TDatagramEndpoint& endpoint, int advertised_port)
    : endpoint_(endpoint),
      advertised_port_(advertised_port > 0 ? advertised_port : endpoint.Port()),
      engine_(std::make_shared<TEngineRef>()) {
  engine_->Engine = &endpoint.Engine();
  endpoint_.SetOnMessage(
      [this](const std::string& ip, int port, TStream& message, TDataProcessModule* channel) {
        OnMessage(ip, port, message, channel);
      });
}

TNotificationLinks::~TNotificationLinks() {
  Close();
}

namespace {

// One message to the client on channel_id, under the engine's shared lock; false when the
// engine is closed or the send gave up.
template <typename TRef>
bool Send(TRef& ref, uint32_t channel_id, TRemoteCommand& command) {
  TMemoryStream stream;
  command.SaveToStream(stream);
  const std::shared_ptr<std::mutex> channel = ref.ChannelLock(channel_id);
  std::lock_guard one_at_a_time(*channel);
  std::shared_lock lock(ref.Lock);
  if (ref.Engine == nullptr || ref.Closing) return false;
  return ref.Engine->SendStreamOnChannel(channel_id, stream);
}

}  // namespace

void TNotificationLinks::Close() {
  if (engine_->Closing.exchange(true)) return;
  endpoint_.SetOnMessage(nullptr);
  // A send already past the Closing check is stopped, again until none holds the engine.
  for (;;) {
    {
      std::shared_lock lock(engine_->Lock);
      if (engine_->Engine != nullptr) engine_->Engine->StopSends();
    }
    if (engine_->Lock.try_lock_for(std::chrono::milliseconds(20))) {
      engine_->Engine = nullptr;
      engine_->Lock.unlock();
      return;
    }
  }
}

void TNotificationLinks::DropExpired(uint32_t now) {
  for (auto it = pending_.begin(); it != pending_.end();) {
    if (now - it->second.IssuedAt >= kTokenLifetimeMs || it->second.Mailbox.expired()) {
      it = pending_.erase(it);
    } else {
      ++it;
    }
  }
  for (auto it = seals_.begin(); it != seals_.end();) {
    if (it->second->Mailbox.expired()) {
      it = seals_.erase(it);
    } else {
      ++it;
    }
  }
}

std::string TNotificationLinks::Issue(const std::shared_ptr<TNotificationMailbox>& mailbox,
                                      SSL* tls) {
  std::optional<TNotificationKey> key;
  if (tls != nullptr) {
    TNotificationKey exported;
    if (!ExportNotificationKey(tls, exported)) return "";
    key = exported;
  }
  std::string token(kLinkTokenSize, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(token.data()), kLinkTokenSize) != 1) {
    throw Exception("no random bytes for a link token");
  }
  const uint32_t now = TickCount();
  std::lock_guard lock(mutex_);
  DropExpired(now);
  // One token waits per mailbox: asking again replaces it.
  for (auto it = pending_.begin(); it != pending_.end();) {
    it = it->second.Mailbox.lock() == mailbox ? pending_.erase(it) : std::next(it);
  }
  // Sessions past the bound push out the oldest tokens, not memory.
  while (pending_.size() >= kMaxPendingTokens) {
    auto oldest = pending_.begin();
    for (auto it = pending_.begin(); it != pending_.end(); ++it) {
      if (now - it->second.IssuedAt > now - oldest->second.IssuedAt) oldest = it;
    }
    pending_.erase(oldest);
  }
  pending_[token] = TPending{mailbox, key, now};
  return token;
}

std::shared_ptr<TNotificationLinks::TMailboxSeal> TNotificationLinks::SealFor(
    const std::shared_ptr<TNotificationMailbox>& mailbox,
    const std::optional<TNotificationKey>& key) {
  std::lock_guard lock(mutex_);
  auto& seal = seals_[mailbox.get()];
  // A mailbox made where a gone one was gets a seal of its own.
  if (!seal || seal->Mailbox.lock() != mailbox) {
    seal = std::make_shared<TMailboxSeal>();
    seal->Mailbox = mailbox;
    if (key) seal->Sealer.emplace(*key);
  }
  return seal;
}

bool TNotificationLinks::Answer(uint32_t channel_id, bool bound) {
  TRemoteCommand answer;
  answer.Code = cmdNotifyLink;
  answer.Success = bound;
  answer.Value = bound ? 1 : 0;
  return Send(*engine_, channel_id, answer);
}

void TNotificationLinks::OnMessage(const std::string& ip, int port, TStream& message,
                                   TDataProcessModule* channel) {
  if (channel == nullptr || engine_->Closing) return;
  TRemoteCommand bind;
  try {
    bind.LoadFromStream(message, kMaxEndpointMessage);
  } catch (const std::exception&) {
    return;  // not a message of ours: dropped
  }
  if (bind.Code != cmdNotifyLink) return;
  const uint32_t channel_id = channel->ChannelId();
  const std::string token = bind.GetDataText();
  std::optional<TPending> pending;
  {
    std::lock_guard lock(mutex_);
    DropExpired(TickCount());
    auto it = pending_.find(token);
    if (it != pending_.end()) {
      pending = std::move(it->second);
      pending_.erase(it);  // single use, bound or not
    }
  }
  std::shared_ptr<TNotificationMailbox> mailbox = pending ? pending->Mailbox.lock() : nullptr;
  if (!mailbox) {
    Answer(channel_id, false);
    return;
  }
  std::shared_ptr<TMailboxSeal> seal = SealFor(mailbox, pending->Key);
  // The outlet is in place before the client hears "bound", and the answer goes before any
  // record of the new link (they wait for the seal's lock).
  std::lock_guard lock(seal->Lock);
  std::shared_ptr<TEngineRef> engine = engine_;
  mailbox->SetOutlet([engine, seal, channel_id](const TNotificationRecord& record) {
    std::string body;
    EncodeNotificationRecord(record, body);
    std::lock_guard lock(seal->Lock);
    std::string datagram;
    if (seal->Sealer) {
      seal->Sealer->Seal(reinterpret_cast<const uint8_t*>(body.data()), body.size(), datagram);
    } else {
      datagram.reserve(body.size() + 1);
      datagram.push_back(static_cast<char>(kRecordPlain));
      datagram += body;
    }
    TRemoteCommand command;
    command.Code = cmdNotify;
    command.Success = true;
    command.SetDataText(datagram);
    return Send(*engine, channel_id, command);
  });
  Answer(channel_id, true);
}

}  // namespace larkspire::server
