#include "transport/datagram_channel.h"

#include <strings.h>

#include <cmath>
#include <exception>
#include <thread>

#include "platform/clock.h"
#include "transport/datagram_engine.h"
#include "transport/sending_window.h"

namespace larkspire {
namespace {

namespace off = datagram_offset;

std::atomic<uint32_t> g_standalone_ids{0};

uint32_t ChannelIdFor(TSuperUdpProctol* owner) {
  if (owner != nullptr) return owner->NewChannelId();
  uint32_t id;
  do {
    id = ++g_standalone_ids;
  } while (id == 0);
  return id;
}

}  // namespace

int64_t WholeSecondsBetween(double earlier, double later) {
  const double milliseconds = std::fabs(later - earlier) * 86400000.0;
  return static_cast<int64_t>(std::llround(milliseconds)) / 1000;
}

TDataProcessModule::TDataProcessModule(TSuperUdpProctol* owner)
    : owner_(owner),
      last_active_(Now()),
      channel_id_(ChannelIdFor(owner)),
      recv_buffer_(std::make_unique<TMemoryStream>()) {}

TDataProcessModule::~TDataProcessModule() {
  if (TDataSendObj* sender = Sender.load()) sender->Active = false;
  while (Sender.load() != nullptr) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void TDataProcessModule::Touch() {
  last_active_ = Now();
}

bool TDataProcessModule::IsExpired() const {
  const uint32_t limit = owner_ != nullptr ? owner_->Timing().ExpirySeconds : 20;
  return WholeSecondsBetween(last_active_.load(), Now()) > static_cast<int64_t>(limit);
}

std::string TDataProcessModule::PeerIP() const {
  std::lock_guard lock(peer_mutex_);
  return peer_ip_;
}

bool TDataProcessModule::MatchesPeer(const std::string& ip, int port) const {
  if (peer_port_.load() != port) return false;
  std::lock_guard lock(peer_mutex_);
  return peer_ip_.size() == ip.size() && strcasecmp(peer_ip_.c_str(), ip.c_str()) == 0;
}

void TDataProcessModule::ResetForPeer(const std::string& ip, int port) {
  std::lock_guard guard(lock_);
  if (TDataSendObj* sender = Sender.load()) sender->Active = false;
  ResetReceiving(ip, port);
}

// Everything of a reset but the running send, which a new incoming message must not stop: the
// two directions of a link are independent.
void TDataProcessModule::ResetReceiving(const std::string& ip, int port) {
  state_ = csReady;
  last_active_ = Now();
  recv_start_ = last_active_.load();
  msg_no_ = 0;
  packet_count_ = 0;
  stored_count_ = 0;
  ack_history_.fill(0);
  {
    std::lock_guard lock(peer_mutex_);
    peer_ip_ = ip;
  }
  peer_port_ = port;
  recv_buffer_->Clear();
  missing_map_.clear();
}

void TDataProcessModule::CloseChannel() {
  std::lock_guard guard(lock_);
  ResetForPeer("", 0);
  tickets_.ResetTickets();
  state_ = csClosed;
}

void TDataProcessModule::NotifyClosed(int reason) {
  if (owner_ == nullptr) return;
  if (owner_->OnChannelClosed) {
    try {
      owner_->OnChannelClosed(this, reason);
    } catch (...) {
    }
  }
  owner_->AddChannelCount(-1);
}

TPacketClass TDataProcessModule::ClassifyPacket(uint8_t msg_no) const {
  if (msg_no == msg_no_) {
    switch (state_.load()) {
      case csReceiving:
        return TPacketClass::pcContinue;
      case csReady:
        return TPacketClass::pcRepeat;
      case csClosed:
        return TPacketClass::pcNew;
    }
  }
  if (IsOlderMessage(msg_no_, msg_no)) return TPacketClass::pcOlder;
  return TPacketClass::pcNew;
}

void TDataProcessModule::HandleData(const std::string& ip, int port, const uint8_t* buffer,
                                    size_t length) {
  std::lock_guard guard(lock_);
  try {
    const TDataView packet(buffer, length);
    uint8_t ack[kAckSize] = {};
    PutHeader(ack, pkDataAck, 0, channel_id_, packet.U32(off::kSenderChannel));
    if (!MatchesPeer(ip, port)) return;
    const uint32_t count = packet.U32(off::kDataCount);
    const uint32_t index = packet.U32(off::kDataIndex);
    if (count == 0 || index == 0 || index > count || count > kMaxMessagePackets) return;

    const uint8_t msg_no = packet.U8(off::kDataMsgNo);
    const uint32_t ticket = packet.U32(off::kDataTicket);
    ack[off::kAckMsgNo] = msg_no;
    PutU32(ack + off::kAckTicket, ticket);
    for (size_t i = 0; i < kAckHistorySize; ++i) {
      PutU32(ack + off::kAckHistory + 4 * i, ack_history_[i]);
    }
    if (ticket != 0) {
      for (size_t i = 0; i + 1 < kAckHistorySize; ++i) ack_history_[i] = ack_history_[i + 1];
      ack_history_[kAckHistorySize - 1] = ticket;
    }

    const TPacketClass kind = ClassifyPacket(msg_no);
    uint8_t complete = 0;
    switch (kind) {
      case TPacketClass::pcNew:
        BeginMessage(ip, port, packet);
        break;
      case TPacketClass::pcContinue:
        StorePacket(packet);
        break;
      case TPacketClass::pcOlder:
        complete = 1;
        break;
      case TPacketClass::pcRepeat:
        break;
    }
    if (kind != TPacketClass::pcOlder) complete = state_ == csReady ? 1 : 0;
    ack[off::kAckComplete] = complete;
    if (owner_ != nullptr) owner_->Send(ip, port, ack, kAckSize);
    if (complete == 1 && (kind == TPacketClass::pcNew || kind == TPacketClass::pcContinue)) {
      StartDelivery();
    }
  } catch (...) {
    // The packet goes unacknowledged; the peer sends it again.
  }
}

void TDataProcessModule::HandleAck(const TAckView& ack) {
  std::lock_guard guard(lock_);
  TDataSendObj* sender = Sender.load();
  if (sender == nullptr) return;
  Touch();
  if (ack.U8(off::kAckMsgNo) == sender->MsgNo) sender->ProcessAck(ack.Data());
}

void TDataProcessModule::BeginMessage(const std::string& ip, int port, const TDataView& packet) {
  ResetReceiving(ip, port);
  state_ = csReceiving;
  content_kind_ = packet.U8(off::kSub);
  peer_channel_id_ = packet.U32(off::kSenderChannel);
  msg_no_ = packet.U8(off::kDataMsgNo);
  packet_count_ = packet.U32(off::kDataCount);
  recv_buffer_->Clear();
  recv_buffer_->SetSize(static_cast<int64_t>(packet_count_ - 1) * kPacketPayloadSize);
  recv_buffer_->SetPosition(0);
  missing_map_.assign(packet_count_, '1');
  StorePacket(packet);
}

void TDataProcessModule::StorePacket(const TDataView& packet) {
  Touch();
  const uint32_t index = packet.U32(off::kDataIndex);
  if (state_ != csReceiving || index > packet_count_ || missing_map_[index - 1] != '1') return;
  const size_t length = std::min<size_t>(packet.U16(off::kDataLength), kPacketPayloadSize);
  missing_map_[index - 1] = '0';
  const int64_t offset = static_cast<int64_t>(index - 1) * kPacketPayloadSize;
  if (offset + static_cast<int64_t>(length) > recv_buffer_->Size()) {
    recv_buffer_->SetSize(offset + static_cast<int64_t>(length));
  }
  if (length > 0) {  // an empty message has no buffer to copy into
    std::memcpy(recv_buffer_->Memory() + offset, packet.Data() + off::kDataPayload, length);
  }
  ++stored_count_;
  if (stored_count_ >= packet_count_ && missing_map_.find('1') == std::string::npos) {
    state_ = csReady;
  }
  if (state_ == csReady || index % 10 == 1) ReportProgressAndSpeed();
}

void TDataProcessModule::ReportProgressAndSpeed() {
  if (owner_ == nullptr) return;
  if (owner_->OnProgress) {
    double progress = 1.0;
    if (state_ != csReady) {
      progress = stored_count_ == 0 ? 0.0 : static_cast<double>(stored_count_) / packet_count_;
    }
    owner_->OnProgress(progress, tstRecv);
  }
  if (owner_->OnRecvSpeed) {
    const int64_t seconds = WholeSecondsBetween(recv_start_, Now());
    owner_->OnRecvSpeed(seconds == 0 ? static_cast<double>(stored_count_)
                                     : static_cast<double>(stored_count_) / seconds);
  }
}

void TDataProcessModule::StartDelivery() {
  if (owner_ == nullptr) return;
  // The delivery owns the assembled message; the channel goes on with a fresh buffer.
  std::shared_ptr<TMemoryStream> message(recv_buffer_.release());
  recv_buffer_ = std::make_unique<TMemoryStream>();
  const uint8_t kind = content_kind_;
  const std::string ip = PeerIP();
  const int port = peer_port_.load();
  TSuperUdpProctol* owner = owner_;
  owner->DeliveryStarted();
  ++deliveries_;
  try {
    std::thread([owner, this, message, kind, ip, port] {
      try {
        message->SetPosition(0);
        if (kind == ckText && owner->OnRecvText) {
          std::string text(static_cast<size_t>(message->Size()), '\0');
          if (!text.empty()) std::memcpy(text.data(), message->Memory(), text.size());
          owner->OnRecvText(ip, port, text, this);
        } else if (kind == ckStream && owner->OnRecvStream) {
          owner->OnRecvStream(ip, port, *message, this);
        }
      } catch (...) {
      }
      --deliveries_;
      owner->DeliveryEnded();
    }).detach();
  } catch (...) {
    --deliveries_;
    owner->DeliveryEnded();
    throw;
  }
}

}  // namespace larkspire
