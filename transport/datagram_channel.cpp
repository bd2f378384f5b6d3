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
      last_active_(TickCount()),
      channel_id_(ChannelIdFor(owner)),
      recv_buffer_(std::make_unique<TMemoryStream>()) {}

TDataProcessModule::~TDataProcessModule() {
  if (TDataSendObj* sender = Sender.load()) sender->Active = false;
  while (Sender.load() != nullptr) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ReleaseBuffer();
}

void TDataProcessModule::Touch() {
  last_active_ = TickCount();
}

bool TDataProcessModule::IsExpired() const {
  const uint32_t limit = owner_ != nullptr ? owner_->Timing().ExpirySeconds : 20;
  return WholeSecondsSince(last_active_.load(), TickCount()) > static_cast<int64_t>(limit);
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

void TDataProcessModule::StopSend() {
  std::lock_guard guard(lock_);
  if (TDataSendObj* sender = Sender.load()) sender->Active = false;
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
  last_active_ = TickCount();
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
  ReleaseBuffer();
  std::string().swap(missing_map_);
}

void TDataProcessModule::ReleaseBuffer() {
  recv_buffer_->Clear();
  if (reserved_ != 0 && owner_ != nullptr) owner_->ReleaseReassembly(reserved_ip_, reserved_);
  reserved_ = 0;
  received_end_ = 0;
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
    if (count == 0 || index == 0 || index > count) return;
    // A message past the size cap is refused: no answer, the link stays.
    const uint32_t max_packets =
        owner_ != nullptr ? owner_->Limits().MaxMessagePackets() : kMaxMessagePackets;
    if (count > max_packets) return;

    const uint8_t msg_no = packet.U8(off::kDataMsgNo);
    const uint32_t ticket = packet.U32(off::kDataTicket);
    ack[off::kAckMsgNo] = msg_no;
    PutU32(ack + off::kAckTicket, ticket);
    for (size_t i = 0; i < kAckHistorySize; ++i) {
      PutU32(ack + off::kAckHistory + 4 * i, ack_history_[i]);
    }
    const auto record_ticket = [&] {
      if (ticket == 0) return;
      for (size_t i = 0; i + 1 < kAckHistorySize; ++i) ack_history_[i] = ack_history_[i + 1];
      ack_history_[kAckHistorySize - 1] = ticket;
    };

    // A packet that cannot be taken now (no memory, too far ahead) draws no answer and leaves
    // the channel as it was: its ticket stays out of the history, so no later answer claims
    // it, and the sender sends it again.
    const TPacketClass kind = ClassifyPacket(msg_no);
    uint8_t complete = 0;
    switch (kind) {
      case TPacketClass::pcNew:
        // The reset that begins the message clears the history, this ticket with it.
        if (!BeginMessage(ip, port, packet)) return;
        break;
      case TPacketClass::pcContinue:
        if (!StorePacket(packet)) return;
        record_ticket();
        break;
      case TPacketClass::pcOlder:
        record_ticket();
        complete = 1;
        break;
      case TPacketClass::pcRepeat:
        record_ticket();
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

bool TDataProcessModule::Reserve(TMemoryStream& buffer, int64_t& reserved, const std::string& ip,
                                 int64_t end, uint32_t packet_count) {
  if (end <= buffer.Size()) return true;
  // Grows geometrically, never past what the announced count could fill, and falls back to
  // just the room asked for when the doubling does not fit the caps.
  constexpr int64_t kFirstRoom = 64 * 1024;
  const int64_t most = static_cast<int64_t>(packet_count) * kPacketPayloadSize;
  const int64_t wanted = std::max(end, std::min(most, std::max(2 * buffer.Size(), kFirstRoom)));
  const auto grow = [&](int64_t size) {
    const int64_t extra = size - buffer.Size();
    if (owner_ != nullptr && !owner_->ReserveReassembly(ip, extra)) return false;
    try {
      buffer.SetSize(size);
    } catch (...) {
      // Out of memory: answered like a message past a cap.
      if (owner_ != nullptr) owner_->ReleaseReassembly(ip, extra);
      return false;
    }
    reserved += extra;
    return true;
  };
  return grow(wanted) || (wanted > end && grow(end));
}

bool TDataProcessModule::BeginMessage(const std::string& ip, int port, const TDataView& packet) {
  const uint32_t index = packet.U32(off::kDataIndex);
  if (index > kReceiveAhead) return false;
  // Everything the message needs is taken before the channel changes, so a failure leaves the
  // channel as it was.
  const size_t length = std::min<size_t>(packet.U16(off::kDataLength), kPacketPayloadSize);
  const int64_t end =
      static_cast<int64_t>(index - 1) * kPacketPayloadSize + static_cast<int64_t>(length);
  auto buffer = std::make_unique<TMemoryStream>();
  int64_t reserved = 0;
  if (!Reserve(*buffer, reserved, ip, end, packet.U32(off::kDataCount))) return false;
  std::string map;
  try {
    map.reserve(kReceiveAhead);
    map.assign(index, '1');
  } catch (...) {
    if (owner_ != nullptr) owner_->ReleaseReassembly(ip, reserved);
    return false;
  }

  ResetReceiving(ip, port);
  recv_buffer_ = std::move(buffer);
  reserved_ = reserved;
  reserved_ip_ = ip;
  missing_map_.swap(map);
  content_kind_ = packet.U8(off::kSub);
  peer_channel_id_ = packet.U32(off::kSenderChannel);
  msg_no_ = packet.U8(off::kDataMsgNo);
  packet_count_ = packet.U32(off::kDataCount);
  state_ = csReceiving;
  return StorePacket(packet);
}

bool TDataProcessModule::StorePacket(const TDataView& packet) {
  Touch();
  const uint32_t index = packet.U32(off::kDataIndex);
  if (state_ != csReceiving || index > packet_count_) return true;
  if (index <= missing_map_.size() && missing_map_[index - 1] != '1') return true;  // a repeat
  if (index - 1 >= 2 * static_cast<uint64_t>(stored_count_) + kReceiveAhead) return false;
  const size_t length = std::min<size_t>(packet.U16(off::kDataLength), kPacketPayloadSize);
  const int64_t offset = static_cast<int64_t>(index - 1) * kPacketPayloadSize;
  const int64_t end = offset + static_cast<int64_t>(length);
  if (!Reserve(*recv_buffer_, reserved_, reserved_ip_, end, packet_count_)) return false;
  if (index > missing_map_.size()) missing_map_.resize(index, '1');
  missing_map_[index - 1] = '0';
  if (length > 0) {  // an empty message has no payload to copy
    std::memcpy(recv_buffer_->Memory() + offset, packet.Data() + off::kDataPayload, length);
  }
  received_end_ = std::max(received_end_, end);
  ++stored_count_;
  if (stored_count_ >= packet_count_ && missing_map_.size() == packet_count_ &&
      missing_map_.find('1') == std::string::npos) {
    state_ = csReady;
    // The message ends where its last packet ends; the room beyond goes back.
    try {
      const int64_t spare = recv_buffer_->Size() - received_end_;
      recv_buffer_->SetSize(received_end_);
      if (owner_ != nullptr && spare > 0) owner_->ReleaseReassembly(reserved_ip_, spare);
      reserved_ -= spare;
    } catch (...) {
    }
  }
  if (state_ == csReady || index % 10 == 1) ReportProgressAndSpeed();
  return true;
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
    const int64_t seconds = WholeSecondsSince(recv_start_, TickCount());
    owner_->OnRecvSpeed(seconds == 0 ? static_cast<double>(stored_count_)
                                     : static_cast<double>(stored_count_) / seconds);
  }
}

void TDataProcessModule::StartDelivery() {
  if (owner_ == nullptr) return;
  const uint8_t kind = content_kind_;
  TSuperUdpProctol* owner = owner_;
  // A message no event takes is given back at once.
  if (!(kind == ckText && owner->OnRecvText) && !(kind == ckStream && owner->OnRecvStream)) {
    ReleaseBuffer();
    return;
  }
  // The delivery owns the assembled message and the memory it counts against; the channel goes
  // on with a fresh buffer.
  auto fresh = std::make_unique<TMemoryStream>();
  std::shared_ptr<TMemoryStream> message(recv_buffer_.release());
  recv_buffer_ = std::move(fresh);
  const int64_t reserved = reserved_;
  const std::string reserved_ip = reserved_ip_;
  reserved_ = 0;
  const std::string ip = PeerIP();
  const int port = peer_port_.load();
  owner->DeliveryStarted();
  ++deliveries_;
  const auto finish = [this, owner, reserved, reserved_ip] {
    owner->ReleaseReassembly(reserved_ip, reserved);
    --deliveries_;
    owner->DeliveryEnded();
  };
  try {
    std::thread([owner, this, message, kind, ip, port, finish]() mutable {
      try {
        message->SetPosition(0);
        if (kind == ckText && owner->OnRecvText) {
          std::string text(static_cast<size_t>(message->Size()), '\0');
          if (!text.empty()) std::memcpy(text.data(), message->Memory(), text.size());
          message.reset();
          owner->OnRecvText(ip, port, text, this);
        } else if (kind == ckStream && owner->OnRecvStream) {
          owner->OnRecvStream(ip, port, *message, this);
        }
      } catch (...) {
      }
      message.reset();
      finish();
    }).detach();
  } catch (...) {
    finish();
    throw;
  }
}

}  // namespace larkspire
