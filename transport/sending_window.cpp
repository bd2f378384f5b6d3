#include "transport/sending_window.h"

#include <algorithm>
#include <cstring>

#include "platform/clock.h"
#include "transport/datagram_channel.h"
#include "transport/datagram_engine.h"

namespace larkspire {
namespace {

namespace off = datagram_offset;

}  // namespace

TDataPackObj::TDataPackObj(bool timed) : CreatedTick(TickCount()), Timed(timed) {}

void TDataSendObj::Start(TSuperUdpProctol* owner, const std::string& peer_ip, int peer_port,
                         TStream& source, uint8_t msg_no, uint8_t content_kind,
                         uint32_t own_channel, uint32_t peer_channel, TTicketMaker& tickets,
                         uint32_t window) {
  Owner = owner;
  PeerIP = peer_ip;
  PeerPort = peer_port;
  Source = &source;
  SourceStart = source.Position();
  MsgNo = msg_no;
  PutHeader(Header.data(), pkData, content_kind, own_channel, peer_channel);
  const int64_t size = std::max<int64_t>(0, source.Size() - SourceStart);
  PacketCount =
      size == 0 ? 1 : static_cast<uint32_t>((size + kPacketPayloadSize - 1) / kPacketPayloadSize);
  LastSize = static_cast<uint32_t>(size - static_cast<int64_t>(PacketCount - 1) *
                                              static_cast<int64_t>(kPacketPayloadSize));
  Window = std::clamp(window, kMinWindow, kMaxWindow);
  LargestWindow = Window;
  Tickets = &tickets;
  AdaptWindow(0, true);
  StartTime = Now();
  LastAckTime = StartTime;
  LastAckTick = TickCount();
  Active = true;
  for (uint32_t i = 0; i < Window && !AllCreated(); ++i) {
    InFlight.push_back(MakeSlot());
    SendPacket(InFlight.back()->Packet.data(), false);
  }
}

bool TDataSendObj::IsAcked(uint32_t ticket, const uint8_t* ack) {
  if (ticket == GetU32(ack + off::kAckTicket)) return true;
  for (size_t i = 0; i < kAckHistorySize; ++i) {
    if (ticket == GetU32(ack + off::kAckHistory + 4 * i)) return true;
  }
  return false;
}

void TDataSendObj::FillNextPacket(uint8_t* packet) {
  std::memset(packet, 0, kDataPacketSize);
  std::memcpy(packet, Header.data(), kDatagramHeaderSize);
  packet[off::kDataMsgNo] = MsgNo;
  PutU32(packet + off::kDataCount, PacketCount);
  ++CreatedCount;
  PutU32(packet + off::kDataIndex, CreatedCount);
  const uint32_t ticket = Tickets->NextTicket();
  IssuedTicket = ticket;
  PutU32(packet + off::kDataTicket, ticket);
  const uint32_t length = PacketCount > CreatedCount ? kPacketPayloadSize : LastSize;
  PutU16(packet + off::kDataLength, static_cast<uint16_t>(length));
  if (length > 0 && Source != nullptr) Source->ReadBuffer(packet + off::kDataPayload, length);
}

void TDataSendObj::SendPacket(uint8_t* packet, bool fresh_ticket) {
  if (fresh_ticket) {
    const uint32_t ticket = Tickets->NextTicket();
    IssuedTicket = ticket;
    PutU32(packet + off::kDataTicket, ticket);
  }
  const size_t length = std::min<size_t>(GetU16(packet + off::kDataLength), kPacketPayloadSize);
  if (Owner != nullptr) Owner->Send(PeerIP, PeerPort, packet, kDataHeaderSize + length);
}

std::unique_ptr<TDataPackObj> TDataSendObj::MakeSlot() {
  auto slot = std::make_unique<TDataPackObj>((CreatedCount + 1) % 10 == 1);
  FillNextPacket(slot->Packet.data());
  return slot;
}

void TDataSendObj::ProcessAck(const uint8_t* ack) {
  LastAckTime = Now();
  LastAckTick = TickCount();
  const uint32_t ticket = GetU32(ack + off::kAckTicket);
  if (ack[off::kAckComplete] == 1) {
    if (Active.exchange(false)) {
      Completed = true;
      ReportProgressAndSpeed();
    }
    return;
  }
  for (size_t i = InFlight.size(); i-- > 0;) {
    if (!InFlight[i]) continue;
    const uint32_t slot_ticket = InFlight[i]->Ticket();
    if (IsAcked(slot_ticket, ack)) {
      std::unique_ptr<TDataPackObj> acked = std::move(InFlight[i]);
      if (!AllCreated()) {
        if (WindowDelta < 0) {
          InFlight.erase(InFlight.begin() + static_cast<std::ptrdiff_t>(i));
          ++WindowDelta;
        } else {
          InFlight[i] = MakeSlot();
          SendPacket(InFlight[i]->Packet.data(), false);
        }
      }
      ++AckedCount;
      if (Period.FirstTicket <= ticket && ticket <= Period.LastTicket) ++Period.Acks;
      if (acked->Timed) {
        const int32_t elapsed = static_cast<int32_t>(TickCount() - acked->CreatedTick);
        ResponseTime = elapsed <= 0 ? 1 : static_cast<uint32_t>(elapsed);
      }
      acked.reset();
      AdaptWindow(ticket, false);
    } else if (slot_ticket < ticket) {
      SendPacket(InFlight[i]->Packet.data(), true);
      ++Resends;
    }
  }
  if (WindowDelta > 0) {
    for (int32_t k = 0; k < WindowDelta && !AllCreated(); ++k) {
      InFlight.insert(InFlight.begin(), MakeSlot());
      SendPacket(InFlight.front()->Packet.data(), false);
    }
    WindowDelta = 0;
  }
}

void TDataSendObj::AdaptWindow(uint32_t ticket, bool start) {
  if (start) {
    WindowDelta = 0;
    PrevPeriod = TMeasuringPeriod{};
    PrevPeriod.Ratio = 1.0;
    Period.Window = static_cast<uint16_t>(Window);
    Period.Expected = static_cast<uint16_t>(2 * Window);
    // Tickets go on counting over the messages of a channel: the first period begins with
    // this message's first ticket, not at 1.
    const uint32_t issued = Tickets != nullptr ? Tickets->Counter() : 0;
    Period.FirstTicket = issued == UINT32_MAX ? 1 : issued + 1;
    Period.LastTicket = Period.FirstTicket + Period.Expected - 1;
    Period.Acks = 0;
    return;
  }
  if (ticket < Period.LastTicket) return;
  // A period that went by without a single acknowledgement within it (all its transmissions
  // lost, the rest answered under later tickets) closes as a total loss; otherwise it would
  // never close and the window would stay as it is for the rest of the send.
  const bool passed = ticket > Period.LastTicket;
  if (Period.Acks > 0 || passed) {
    Period.Ratio = static_cast<double>(Period.Acks) / Period.Expected;
    if (Period.Acks == Period.Expected) {
      Window += 2;
    } else if (Period.Ratio >= 0.9) {
      Window += 1;
    } else if (PrevPeriod.Ratio < 0.9) {
      Window -= 1;
    }
    Window = std::clamp(Window, kMinWindow, kMaxWindow);
    LargestWindow = std::max(LargestWindow, Window);
    WindowDelta = static_cast<int32_t>(Window) - static_cast<int32_t>(Period.Window);
    PrevPeriod = Period;
    Period.Window = static_cast<uint16_t>(Window);
    Period.Expected = static_cast<uint16_t>(2 * Window);
    Period.FirstTicket = PrevPeriod.LastTicket + 1;
    Period.LastTicket = Period.FirstTicket + Period.Expected - 1;
    Period.Acks = 0;
  }
  ReportProgressAndSpeed();
}

void TDataSendObj::ResendOnTimeout() {
  ++Timeouts;
  bool any = false;
  for (auto& slot : InFlight) {
    if (!slot) continue;
    SendPacket(slot->Packet.data(), true);
    ++Resends;
    any = true;
  }
  if (any || Source == nullptr) return;
  // Every packet was acknowledged but the completing answer did not come back: a repeat of the
  // last packet makes the peer answer it as complete again.
  TDataPackObj probe(false);
  uint8_t* packet = probe.Packet.data();
  std::memcpy(packet, Header.data(), kDatagramHeaderSize);
  packet[off::kDataMsgNo] = MsgNo;
  PutU32(packet + off::kDataCount, PacketCount);
  PutU32(packet + off::kDataIndex, PacketCount);
  PutU16(packet + off::kDataLength, static_cast<uint16_t>(LastSize));
  const int64_t position = Source->Position();
  Source->SetPosition(SourceStart + static_cast<int64_t>(PacketCount - 1) * kPacketPayloadSize);
  if (LastSize > 0) Source->ReadBuffer(packet + off::kDataPayload, LastSize);
  Source->SetPosition(position);
  SendPacket(packet, true);
  ++Resends;
}

size_t TDataSendObj::SlotsInFlight() const {
  return static_cast<size_t>(
      std::count_if(InFlight.begin(), InFlight.end(), [](const auto& slot) { return !!slot; }));
}

void TDataSendObj::ReportProgressAndSpeed() {
  if (Owner == nullptr) return;
  if (Owner->OnProgress) {
    double progress = 1.0;
    if (Active) progress = AckedCount == 0 ? 0.0 : static_cast<double>(AckedCount) / PacketCount;
    Owner->OnProgress(progress, tstSend);
  }
  if (Owner->OnSendSpeed) {
    const int64_t seconds = WholeSecondsBetween(StartTime, Now());
    Owner->OnSendSpeed(seconds == 0 ? static_cast<double>(AckedCount)
                                    : static_cast<double>(AckedCount) / seconds);
  }
}

}  // namespace larkspire
