// The sending side of a datagram channel: TDataSendObj sends one message as data packets
// through a window of in-flight slots (TDataPackObj), refills the window as acknowledgements
// come back, resends packets that an acknowledgement shows to be lost, and resizes the window
// once per measuring period from the share of acknowledged transmissions (within 4 to 100).
//
// A send is set up by Start, which makes and sends the first Window packets; the channel then
// passes every acknowledgement of the message to ProcessAck. ResendOnTimeout serves a sender
// that heard nothing for a while.
//
// Thread-safety: every member is used under the lock of the channel that holds the record
// (the receiving thread's acknowledgements and the sending thread's time-outs).
#ifndef LARKSPIRE_TRANSPORT_SENDING_WINDOW_H_
#define LARKSPIRE_TRANSPORT_SENDING_WINDOW_H_

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/stream.h"
#include "transport/datagram_packets.h"

namespace larkspire {

class TSuperUdpProctol;

constexpr uint32_t kMinWindow = 4;
constexpr uint32_t kMaxWindow = 100;

// One in-flight slot: a data packet and when it was made.
class TDataPackObj {
 public:
  explicit TDataPackObj(bool timed);
  TDataPackObj(const TDataPackObj&) = delete;
  TDataPackObj& operator=(const TDataPackObj&) = delete;

  uint32_t Ticket() const { return GetU32(Packet.data() + datagram_offset::kDataTicket); }
  uint32_t Index() const { return GetU32(Packet.data() + datagram_offset::kDataIndex); }
  uint16_t PayloadLength() const { return GetU16(Packet.data() + datagram_offset::kDataLength); }

  uint32_t CreatedTick;
  std::array<uint8_t, kDataPacketSize> Packet{};
  bool Timed;
};

// A measuring period: a run of consecutive tickets over which acknowledgements are counted.
struct TMeasuringPeriod {
  uint16_t Window = 0;
  uint32_t FirstTicket = 0;
  uint32_t LastTicket = 0;
  uint16_t Expected = 0;
  uint32_t Acks = 0;  // only changed under the channel's lock
  double Ratio = 0.0;
};

class TDataSendObj {
 public:
  TDataSendObj() = default;
  TDataSendObj(const TDataSendObj&) = delete;
  TDataSendObj& operator=(const TDataSendObj&) = delete;

  // Fills the record for a message read from source (at its position) and sends the first
  // Window packets. header is kind 5, the content kind and both channel ids.
  void Start(TSuperUdpProctol* owner, const std::string& peer_ip, int peer_port, TStream& source,
             uint8_t msg_no, uint8_t content_kind, uint32_t own_channel, uint32_t peer_channel,
             TTicketMaker& tickets, uint32_t window);

  // Applies one acknowledgement of this message (its 56 bytes).
  void ProcessAck(const uint8_t* ack);
  static bool IsAcked(uint32_t ticket, const uint8_t* ack);
  bool AllCreated() const { return CreatedCount >= PacketCount; }
  void FillNextPacket(uint8_t* packet);
  void SendPacket(uint8_t* packet, bool fresh_ticket);
  // start: the first period, from the next ticket Tickets will issue (call it before the
  // message's first packet is made).
  void AdaptWindow(uint32_t ticket, bool start);
  // Nothing was acknowledged for a while: every slot still in flight goes out again under a
  // fresh ticket; when none is left (the completing acknowledgement was lost), the last packet
  // goes out again so that the peer repeats its answer.
  void ResendOnTimeout();
  // Slots holding a packet.
  size_t SlotsInFlight() const;

  std::atomic<bool> Active{false};
  // The peer answered that it holds the whole message.
  bool Completed = false;
  double StartTime = 0;
  double LastAckTime = 0;
  uint32_t LastAckTick = 0;  // tick count of the last acknowledgement (or of the start)
  std::string PeerIP;
  int PeerPort = 0;
  TSuperUdpProctol* Owner = nullptr;
  TStream* Source = nullptr;
  int64_t SourceStart = 0;
  uint8_t MsgNo = 0;
  std::array<uint8_t, kDatagramHeaderSize> Header{};
  uint32_t Window = 0;
  int32_t WindowDelta = 0;
  uint32_t AckedCount = 0;
  TMeasuringPeriod PrevPeriod;
  TMeasuringPeriod Period;
  uint32_t ResponseTime = 1;
  uint32_t PacketCount = 0;
  uint32_t CreatedCount = 0;
  uint32_t IssuedTicket = 0;
  uint32_t LastSize = 0;
  std::vector<std::unique_ptr<TDataPackObj>> InFlight;
  TTicketMaker* Tickets = nullptr;

  // Figures of the send, for reports.
  uint32_t LargestWindow = 0;
  uint64_t Resends = 0;
  uint64_t Timeouts = 0;

 private:
  std::unique_ptr<TDataPackObj> MakeSlot();
  void ReportProgressAndSpeed();
};

}  // namespace larkspire

#endif  // LARKSPIRE_TRANSPORT_SENDING_WINDOW_H_
