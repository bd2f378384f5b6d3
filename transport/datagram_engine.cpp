#include "transport/datagram_engine.h"

#include <strings.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <thread>

#include "platform/clock.h"
#include "transport/sending_window.h"

namespace larkspire {
namespace {

namespace off = datagram_offset;

uint32_t RandomStartId() {
  std::random_device device;
  return static_cast<uint32_t>(device());
}

// The time a send waits for an acknowledgement before it resends.
uint32_t ResendTimeout(const TDatagramTiming& timing, uint32_t response_time) {
  const uint64_t wanted = 2ull * response_time + timing.MinResendMs;
  return static_cast<uint32_t>(std::min<uint64_t>(wanted, timing.MaxResendMs));
}

}  // namespace

uint32_t TDatagramLimits::MaxMessagePackets() const {
  const uint64_t packets = (MaxMessageBytes + kPacketPayloadSize - 1) / kPacketPayloadSize;
  return static_cast<uint32_t>(std::min<uint64_t>(packets, kMaxMessagePackets));
}

// Keeps our own link alive: a keep-alive naming the peer's channel every KeepAliveMs.
class TSuperUdpProctol::TLinkThread : public TThread {
 public:
  explicit TLinkThread(TSuperUdpProctol& owner) : owner_(owner) {}
  ~TLinkThread() override {
    Stop();
    WaitFor();
  }
  void Stop() {
    std::lock_guard lock(mutex_);
    Terminate();
    wake_.notify_all();
  }

 protected:
  void Execute() override {
    std::unique_lock lock(mutex_);
    while (!Terminated()) {
      wake_.wait_for(lock, std::chrono::milliseconds(owner_.timing_.KeepAliveMs));
      if (Terminated()) break;
      uint8_t datagram[kDatagramHeaderSize];
      PutHeader(datagram, pkKeepAlive, 0, owner_.link_module_->ChannelId(),
                owner_.link_channel_.load());
      owner_.Send(owner_.LinkIP(), owner_.link_port_.load(), datagram, sizeof datagram);
    }
  }

 private:
  TSuperUdpProctol& owner_;
  std::mutex mutex_;
  std::condition_variable wake_;
};

TProcessModuleWatchThread::~TProcessModuleWatchThread() {
  Stop();
  WaitFor();
}

void TProcessModuleWatchThread::Stop() {
  std::lock_guard lock(mutex_);
  Terminate();
  wake_.notify_all();
}

void TProcessModuleWatchThread::Execute() {
  while (!Terminated()) {
    owner_.SweepExpiredChannels([this] { return Terminated(); });
    std::unique_lock lock(mutex_);
    if (Terminated()) break;
    wake_.wait_for(lock, std::chrono::milliseconds(owner_.timing_.SweepIntervalMs));
  }
}

TSuperUdpProctol::TSuperUdpProctol(const TDatagramTiming& timing)
    : timing_(timing), next_channel_id_(RandomStartId()) {
  link_module_ = std::make_shared<TDataProcessModule>(this);
  watch_thread_ = std::make_unique<TProcessModuleWatchThread>(*this);
  watch_thread_->Start();
}

TSuperUdpProctol::~TSuperUdpProctol() {
  if (connected_) CloseLink();
  StopLinkThread();
  watch_thread_.reset();
  // A send still running on another thread ends before the channels go.
  StopSends();
  {
    std::unique_lock lock(sends_mutex_);
    sends_done_.wait(lock, [this] { return sends_running_ == 0; });
  }
  WaitForDeliveries();
  {
    std::lock_guard lock(modules_lock_);
    while (!modules_.empty()) modules_.pop_back();
  }
  channel_count_ = 0;
  link_module_.reset();
}

void TSuperUdpProctol::Send(const std::string& ip, int port, const void* buffer, size_t length) {}

uint32_t TSuperUdpProctol::NewChannelId() {
  std::lock_guard lock(modules_lock_);
  for (;;) {
    const uint32_t id = ++next_channel_id_;
    if (id != 0 && ResolveChannel(id) == nullptr) return id;
  }
}

void TSuperUdpProctol::DeliveryStarted() {
  std::lock_guard lock(deliveries_mutex_);
  ++deliveries_;
}

void TSuperUdpProctol::DeliveryEnded() {
  std::lock_guard lock(deliveries_mutex_);
  --deliveries_;
  deliveries_done_.notify_all();
}

void TSuperUdpProctol::WaitForDeliveries() {
  std::unique_lock lock(deliveries_mutex_);
  deliveries_done_.wait(lock, [this] { return deliveries_ == 0; });
}

std::string TSuperUdpProctol::LinkIP() const {
  std::lock_guard lock(link_mutex_);
  return link_ip_;
}

TDatagramLimits TSuperUdpProctol::Limits() const {
  std::lock_guard lock(memory_mutex_);
  return limits_;
}

void TSuperUdpProctol::SetLimits(const TDatagramLimits& limits) {
  std::lock_guard lock(memory_mutex_);
  limits_ = limits;
}

bool TSuperUdpProctol::ReserveReassembly(const std::string& ip, int64_t bytes) {
  if (bytes <= 0) return true;
  std::lock_guard lock(memory_mutex_);
  int64_t& of_address = reassembly_by_address_[ip];
  if (static_cast<uint64_t>(reassembly_bytes_ + bytes) > limits_.MaxReassemblyBytes ||
      static_cast<uint64_t>(of_address + bytes) > limits_.MaxAddressReassemblyBytes) {
    if (of_address == 0) reassembly_by_address_.erase(ip);
    return false;
  }
  reassembly_bytes_ += bytes;
  of_address += bytes;
  return true;
}

void TSuperUdpProctol::ReleaseReassembly(const std::string& ip, int64_t bytes) {
  if (bytes <= 0) return;
  std::lock_guard lock(memory_mutex_);
  reassembly_bytes_ -= bytes;
  auto it = reassembly_by_address_.find(ip);
  if (it != reassembly_by_address_.end() && (it->second -= bytes) <= 0) {
    reassembly_by_address_.erase(it);
  }
}

int64_t TSuperUdpProctol::ReassemblyBytes() const {
  std::lock_guard lock(memory_mutex_);
  return reassembly_bytes_;
}

int64_t TSuperUdpProctol::ReassemblyBytesOf(const std::string& ip) const {
  std::lock_guard lock(memory_mutex_);
  auto it = reassembly_by_address_.find(ip);
  return it == reassembly_by_address_.end() ? 0 : it->second;
}

size_t TSuperUdpProctol::ModuleCount() {
  std::lock_guard lock(modules_lock_);
  return modules_.size();
}

TDataProcessModule* TSuperUdpProctol::ResolveChannel(uint32_t id) {
  if (link_module_ && link_module_->ChannelId() == id) return link_module_.get();
  for (auto& module : modules_) {
    if (module->ChannelId() == id) return module.get();
  }
  return nullptr;
}

std::shared_ptr<TDataProcessModule> TSuperUdpProctol::ResolveShared(uint32_t id) {
  std::lock_guard lock(modules_lock_);
  if (link_module_ && link_module_->ChannelId() == id) return link_module_;
  for (auto& module : modules_) {
    if (module->ChannelId() == id) return module;
  }
  return nullptr;
}

uint32_t TSuperUdpProctol::ChannelsOf(const std::string& ip) {
  std::lock_guard lock(modules_lock_);
  uint32_t count = 0;
  for (auto& module : modules_) {
    if (module->OriginIP().size() == ip.size() &&
        strcasecmp(module->OriginIP().c_str(), ip.c_str()) == 0) {
      ++count;
    }
  }
  return count;
}

void TSuperUdpProctol::StopSends() {
  std::lock_guard lock(modules_lock_);
  if (link_module_) link_module_->StopSend();
  for (auto& module : modules_) module->StopSend();
}

uint32_t TSuperUdpProctol::OpenChannel(const std::string& ip, int port) {
  std::lock_guard lock(modules_lock_);
  TDataProcessModule* channel = nullptr;
  for (auto& module : modules_) {
    if (module->MatchesPeer(ip, port)) {
      channel = module.get();
      break;
    }
  }
  if (channel == nullptr) {
    // One address holds a bounded number of channels, closed ones until they expire.
    if (ChannelsOf(ip) >= Limits().MaxChannelsPerAddress) return 0;
    auto made = std::make_shared<TDataProcessModule>(this);
    made->SetOriginIP(ip);
    modules_.push_back(std::move(made));
    channel = modules_.back().get();
  }
  channel->ResetForPeer(ip, port);
  return channel->ChannelId();
}

uint32_t TSuperUdpProctol::FindChannel(const std::string& ip, int port) {
  std::lock_guard lock(modules_lock_);
  for (auto& module : modules_) {
    if (module->MatchesPeer(ip, port)) return module->ChannelId();
  }
  return 0;
}

void TSuperUdpProctol::SweepExpiredChannels(const std::function<bool()>& stop) {
  std::lock_guard lock(modules_lock_);
  for (size_t i = modules_.size(); i-- > 0;) {
    if (stop && stop()) break;
    TDataProcessModule& module = *modules_[i];
    // A channel whose message is still being handed over stays until the handler returns.
    if (!module.IsExpired() || module.DeliveriesRunning() > 0) continue;
    if (module.ChannelState() != csClosed) module.NotifyClosed(1);
    // A send still using the channel keeps it alive until it has stopped.
    module.StopSend();
    modules_.erase(modules_.begin() + static_cast<std::ptrdiff_t>(i));
  }
}

void TSuperUdpProctol::ProcessDatagram(const std::string& ip, int port, const uint8_t* buffer,
                                       size_t length) {
  try {
    Dispatch(ip, port, buffer, length);
  } catch (...) {
    // A datagram that fails to be handled counts as handled; receiving goes on.
  }
}

void TSuperUdpProctol::Dispatch(const std::string& ip, int port, const uint8_t* buffer,
                                size_t length) {
  if (length == 0) return;
  switch (ClassifyDatagram(buffer[0])) {
    case TDatagramClass::dcRaw:
      if (OnRawData) OnRawData(ip, port, buffer, length);
      return;
    case TDatagramClass::dcIgnored:
      return;
    case TDatagramClass::dcProtocol:
      break;
  }
  if (length < kDatagramHeaderSize) return;
  const uint32_t sender_id = GetU32(buffer + off::kSenderChannel);
  const uint32_t receiver_id = GetU32(buffer + off::kReceiverChannel);
  switch (buffer[0]) {
    case pkLinkRequest: {
      const TLinkRequestView request(buffer, length);
      uint8_t result = lsAccepted;
      int32_t code = 0;
      if (OnLinkRequest) {
        code = OnLinkRequest(ip, port, LinkRequestText(request));
        if (code != 0) result = lsRefused;
      }
      uint32_t id = 0;
      if (result == lsAccepted) {
        std::lock_guard lock(modules_lock_);
        try {
          id = OpenChannel(ip, port);
        } catch (const std::bad_alloc&) {
          id = 0;
        }
        if (id != 0) {
          ++channel_count_;
          // The requester's channel: where our own messages to this peer go.
          ResolveChannel(id)->SetPeerChannelId(sender_id);
        } else {
          result = lsFailed;
        }
      }
      uint8_t reply[kLinkReplySize];
      PutHeader(reply, pkLinkReply, result, id, sender_id);
      PutI32(reply + off::kValue, code);
      Send(ip, port, reply, sizeof reply);
      return;
    }
    case pkLinkReply: {
      const TLinkReplyView reply(buffer, length);
      link_channel_ = reply.U32(off::kSenderChannel);
      refuse_code_ = reply.I32(off::kValue);
      std::lock_guard lock(link_mutex_);
      link_state_ = reply.U8(off::kSub);
      ++link_replies_;
      link_reply_.notify_all();
      return;
    }
    case pkUnlinkRequest: {
      std::lock_guard lock(modules_lock_);
      TDataProcessModule* channel = ResolveChannel(receiver_id);
      if (channel == nullptr || !channel->MatchesPeer(ip, port)) return;
      channel->NotifyClosed(0);
      channel->CloseChannel();
      uint8_t reply[kDatagramHeaderSize];
      PutHeader(reply, pkUnlinkReply, 0, channel->ChannelId(), sender_id);
      Send(ip, port, reply, sizeof reply);
      return;
    }
    case pkUnlinkReply:
      link_state_ = lsNone;
      return;
    case pkData: {
      std::lock_guard lock(modules_lock_);
      if (TDataProcessModule* channel = ResolveChannel(receiver_id)) {
        channel->HandleData(ip, port, buffer, length);
      }
      return;
    }
    case pkDataAck: {
      const TAckView ack(buffer, length);
      std::lock_guard lock(modules_lock_);
      if (TDataProcessModule* channel = ResolveChannel(receiver_id)) channel->HandleAck(ack);
      return;
    }
    case pkKeepAlive: {
      std::lock_guard lock(modules_lock_);
      TDataProcessModule* channel = ResolveChannel(receiver_id);
      if (channel == nullptr || !channel->MatchesPeer(ip, port)) return;
      channel->Touch();
      uint8_t reply[kDatagramHeaderSize];
      PutHeader(reply, pkKeepAliveReply, 0, channel->ChannelId(), sender_id);
      Send(ip, port, reply, sizeof reply);
      return;
    }
    case pkKeepAliveReply:
      link_module_->Touch();
      return;
    case pkLoad: {
      TLoadView load(buffer, length);
      if (load.U8(off::kSub) == 0) {
        load.Data()[off::kSub] = 1;
        PutI32(load.Data() + off::kValue, OnQueryLoad ? OnQueryLoad() : channel_count_.load());
        Send(ip, port, load.Data(), kLoadSize);
      } else if (load.U8(off::kSub) == 1) {
        remote_load_ = load.I32(off::kValue);
        std::lock_guard lock(link_mutex_);
        ++load_answers_;
        link_reply_.notify_all();
      }
      return;
    }
    case pkRecord: {
      const TRecordView record(buffer, length);
      if (OnRecvRecord) OnRecvRecord(ip, port, record.Data());
      return;
    }
    default:
      return;
  }
}

bool TSuperUdpProctol::OpenLink(const std::string& host, int port, const std::string& text,
                                uint32_t timeout_ms) {
  if (connected_) CloseLink();
  const std::string ip = ResolveHost(host);
  if (ip.empty()) return false;
  {
    std::lock_guard lock(link_mutex_);
    link_ip_ = ip;
  }
  link_port_ = port;
  {
    std::lock_guard lock(modules_lock_);
    link_module_->ResetForPeer(ip, port);
  }
  uint8_t request[kLinkRequestSize] = {};
  PutHeader(request, pkLinkRequest, 0, link_module_->ChannelId(), 0);
  const size_t text_length = std::min(text.size(), kLinkRequestSize - off::kValue);
  std::memcpy(request + off::kValue, text.data(), text_length);
  const size_t length = off::kValue + text_length;

  const uint32_t started = TickCount();
  std::unique_lock lock(link_mutex_);
  link_state_ = lsNone;
  const uint64_t replies_before = link_replies_;
  for (;;) {
    lock.unlock();
    Send(ip, port, request, length);
    lock.lock();
    const uint32_t waited = TickCount() - started;
    if (waited >= timeout_ms) break;
    const uint32_t pause = std::min(timing_.LinkRetryMs, timeout_ms - waited);
    if (link_reply_.wait_for(lock, std::chrono::milliseconds(pause),
                             [&] { return link_replies_ != replies_before; })) {
      break;
    }
  }
  const bool accepted = link_replies_ != replies_before && link_state_ == lsAccepted;
  lock.unlock();
  connected_ = accepted;
  if (accepted) {
    // Our messages go to the channel the peer made for us.
    link_module_->SetPeerChannelId(link_channel_.load());
    StopLinkThread();
    link_thread_ = std::make_unique<TLinkThread>(*this);
    link_thread_->Start();
  }
  return accepted;
}

void TSuperUdpProctol::StopLinkThread() {
  link_thread_.reset();
}

void TSuperUdpProctol::CloseLink() {
  StopLinkThread();
  uint8_t request[kDatagramHeaderSize];
  PutHeader(request, pkUnlinkRequest, 0, link_module_->ChannelId(), link_channel_.load());
  Send(LinkIP(), link_port_.load(), request, sizeof request);
  connected_ = false;
  link_state_ = lsNone;
}

bool TSuperUdpProctol::QueryLoad(const std::string& host, int port, uint32_t timeout_ms) {
  const std::string ip = ResolveHost(host);
  if (ip.empty()) return false;
  uint8_t query[kLoadSize] = {};
  PutHeader(query, pkLoad, 0, 0, 0);
  std::unique_lock lock(link_mutex_);
  const uint64_t before = load_answers_;
  lock.unlock();
  Send(ip, port, query, sizeof query);
  lock.lock();
  return link_reply_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                              [&] { return load_answers_ != before; });
}

bool TSuperUdpProctol::SendStream(TStream& stream, TSendReport* report) {
  if (!connected_) return false;
  return RunSend(link_module_, stream, ckStream, nullptr, report);
}

bool TSuperUdpProctol::SendText(const std::string& text, TSendReport* report) {
  if (!connected_) return false;
  TMemoryStream stream;
  stream.WriteBuffer(text.data(), static_cast<int64_t>(text.size()));
  stream.SetPosition(0);
  return RunSend(link_module_, stream, ckText, nullptr, report);
}

bool TSuperUdpProctol::SendStreamOnChannel(uint32_t channel_id, TStream& stream,
                                           TSendReport* report) {
  std::unique_lock lock(modules_lock_);
  std::shared_ptr<TDataProcessModule> channel = ResolveShared(channel_id);
  if (channel == nullptr || channel == link_module_) return false;
  return RunSend(std::move(channel), stream, ckStream, &lock, report);
}

bool TSuperUdpProctol::RunSend(std::shared_ptr<TDataProcessModule> held, TStream& stream,
                               uint8_t content_kind,
                               std::unique_lock<std::recursive_mutex>* list_lock,
                               TSendReport* report) {
  const int64_t bytes = stream.Size() - stream.Position();
  if (bytes > static_cast<int64_t>(kMaxMessagePackets) * static_cast<int64_t>(kPacketPayloadSize)) {
    return false;
  }
  {
    std::lock_guard lock(sends_mutex_);
    ++sends_running_;
  }
  struct TSendCount {
    TSuperUdpProctol& engine;
    ~TSendCount() {
      std::lock_guard lock(engine.sends_mutex_);
      --engine.sends_running_;
      engine.sends_done_.notify_all();
    }
  } counted{*this};
  // The send holds the channel: neither it nor its lock is freed before the send lets go of
  // it, and it goes (when the list dropped it meanwhile) before the engine may.
  const std::shared_ptr<TDataProcessModule> keep = std::move(held);
  TDataProcessModule& channel = *keep;
  TDataSendObj send;
  {
    std::lock_guard guard(channel.Lock());
    if (channel.ChannelState() == csClosed || channel.Sender.load() != nullptr) return false;
    channel.SendMsgNo = static_cast<uint8_t>(channel.SendMsgNo % 255 + 1);
    channel.Sender = &send;
    send.Start(this, channel.PeerIP(), channel.PeerPort(), stream, channel.SendMsgNo, content_kind,
               channel.ChannelId(), channel.PeerChannelId(), channel.Tickets(),
               timing_.StartWindow);
  }
  if (list_lock != nullptr) list_lock->unlock();

  const uint32_t started = TickCount();
  uint32_t last_resend = started;
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::lock_guard guard(channel.Lock());
    if (!send.Active) break;
    const uint32_t now = TickCount();
    const uint32_t since_ack = now - send.LastAckTick;
    if (since_ack >= timing_.GiveUpMs) {
      send.Active = false;
      break;
    }
    const uint32_t quiet = std::min(since_ack, now - last_resend);
    if (quiet >= ResendTimeout(timing_, send.ResponseTime)) {
      send.ResendOnTimeout();
      last_resend = now;
    }
  }
  {
    std::lock_guard guard(channel.Lock());
    channel.Sender = nullptr;
  }
  if (report != nullptr) {
    report->Completed = send.Completed;
    report->Bytes = static_cast<uint64_t>(bytes);
    report->PacketCount = send.PacketCount;
    report->FinalWindow = send.Window;
    report->LargestWindow = send.LargestWindow;
    report->Resends = send.Resends;
    report->Timeouts = send.Timeouts;
    report->Seconds = (TickCount() - started) / 1000.0;
  }
  return send.Completed;
}

}  // namespace larkspire
