// TDataProcessModule: one end of a reliable datagram link with one peer (an address and port).
// It accepts the peer's data packets, acknowledges each of them (with the tickets of the ten
// packets recorded before), assembles the message in memory and, once the last missing packet
// has arrived, hands the whole message to the engine's OnRecvText or OnRecvStream on a delivery
// thread of its own. While a message of ours is being sent it holds the sending record
// (Sender) and passes it the peer's acknowledgements.
//
// A message may hold at most the engine's MaxMessagePackets (64 MiB by default); a packet
// announcing more is dropped without acknowledgement. The buffer grows with the packets that
// arrive (geometrically, within the engine's memory caps): a packet whose index lies further
// ahead than twice the packets stored plus kReceiveAhead, or that would pass a cap, is dropped
// without acknowledgement and the sender sends it again later. A delivery takes the assembled
// buffer (and the memory it counts against) with it, so a new message on the channel never
// disturbs it; a message no event wants is not handed over at all.
//
// Activity and expiry are measured on the tick count, so a change of the wall clock neither
// expires a live channel nor keeps a dead one.
//
// Thread-safety: HandleData and HandleAck run on the engine's receiving thread under the
// channel's lock (Enter/Leave, re-entrant); the engine holds its channel-list lock around them.
// The watch thread reads LastActive and ChannelState under the list lock. The sending thread
// sets and clears Sender under the channel's lock.
#ifndef LARKSPIRE_TRANSPORT_DATAGRAM_CHANNEL_H_
#define LARKSPIRE_TRANSPORT_DATAGRAM_CHANNEL_H_

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/stream.h"
#include "transport/datagram_packets.h"

namespace larkspire {

class TSuperUdpProctol;
class TDataSendObj;

// How far ahead of what a message holds a packet may land: packets beyond twice the stored
// count plus this many wait to be sent again.
constexpr uint32_t kReceiveAhead = 256;

enum TChannelState : uint8_t { csClosed = 0, csReceiving = 1, csReady = 2 };

// How a data packet relates to the channel's current message.
enum class TPacketClass { pcNew, pcContinue, pcRepeat, pcOlder };

class TDataProcessModule {
 public:
  // owner may be null (a channel on its own, for tests); its id then comes from a process-wide
  // counter.
  explicit TDataProcessModule(TSuperUdpProctol* owner);
  TDataProcessModule(const TDataProcessModule&) = delete;
  TDataProcessModule& operator=(const TDataProcessModule&) = delete;
  // Stops a running send (clears its Active flag) and waits until the sending side has let go
  // of Sender.
  ~TDataProcessModule();

  void Enter() { lock_.lock(); }
  void Leave() { lock_.unlock(); }
  std::recursive_mutex& Lock() { return lock_; }

  void Touch();
  // More than the engine's expiry time (20 whole seconds by default) since LastActive, on the
  // tick count.
  bool IsExpired() const;
  // Same port and same address, letters compared without regard to case.
  bool MatchesPeer(const std::string& ip, int port) const;
  // Ready for a new message from this peer; a partial message is dropped and a running send
  // is stopped.
  void ResetForPeer(const std::string& ip, int port);
  // No peer any more: accepts nothing until it is reset for one.
  void CloseChannel();
  // Clears the Active flag of a running send, which then ends.
  void StopSend();
  // Reason 0: the peer unlinked; 1: the channel expired. Lowers the engine's ChannelCount.
  void NotifyClosed(int reason);

  // One pkData datagram whose receiver id named this channel.
  void HandleData(const std::string& ip, int port, const uint8_t* buffer, size_t length);
  // One pkDataAck whose receiver id named this channel.
  void HandleAck(const TAckView& ack);
  TPacketClass ClassifyPacket(uint8_t msg_no) const;

  TSuperUdpProctol* Owner() const { return owner_; }
  TChannelState ChannelState() const { return state_.load(); }
  uint32_t ChannelId() const { return channel_id_; }
  uint32_t PeerChannelId() const { return peer_channel_id_.load(); }
  void SetPeerChannelId(uint32_t id) { peer_channel_id_ = id; }
  std::string PeerIP() const;
  int PeerPort() const { return peer_port_.load(); }
  // Tick count of the last activity.
  uint32_t LastActive() const { return last_active_.load(); }
  // The address the engine made this channel for (empty for its own link channel); it counts
  // against that address's channel cap for the channel's whole life.
  const std::string& OriginIP() const { return origin_ip_; }
  void SetOriginIP(const std::string& ip) { origin_ip_ = ip; }
  uint8_t MsgNo() const { return msg_no_; }
  uint8_t ContentKind() const { return content_kind_; }
  uint32_t PacketCount() const { return packet_count_; }
  uint32_t StoredCount() const { return stored_count_; }
  // "1" for a missing packet, "0" for a stored one, as far as packets have arrived (packets
  // beyond the end are missing too).
  const std::string& MissingMap() const { return missing_map_; }
  // The end of the furthest payload stored of the current message.
  int64_t ReceivedSize() const { return received_end_; }
  // Reassembly memory the current message takes.
  int64_t ReservedBytes() const { return reserved_; }
  const std::array<uint32_t, kAckHistorySize>& AckHistory() const { return ack_history_; }
  TTicketMaker& Tickets() { return tickets_; }
  // Deliveries of this channel whose handler has not returned yet.
  int DeliveriesRunning() const { return deliveries_.load(); }

  // The sending record while a send runs, else null; set and cleared under the lock.
  std::atomic<TDataSendObj*> Sender{nullptr};
  // The number of the last message this channel sent (0 before the first).
  uint8_t SendMsgNo = 0;

 private:
  void ResetReceiving(const std::string& ip, int port);
  void ReleaseBuffer();
  // Room for payload up to end within the caps; false (nothing changed) when there is none.
  bool Reserve(TMemoryStream& buffer, int64_t& reserved, const std::string& ip, int64_t end,
               uint32_t packet_count);
  // False, with nothing changed, when the message cannot be taken (caps, memory).
  bool BeginMessage(const std::string& ip, int port, const TDataView& packet);
  // False when the packet cannot be taken now (too far ahead, no memory).
  bool StorePacket(const TDataView& packet);
  void StartDelivery();
  void ReportProgressAndSpeed();

  TSuperUdpProctol* owner_;
  std::atomic<TChannelState> state_{csClosed};
  mutable std::recursive_mutex lock_;
  std::atomic<uint32_t> last_active_{0};
  const uint32_t channel_id_;
  std::atomic<uint32_t> peer_channel_id_{0};
  mutable std::mutex peer_mutex_;  // guards peer_ip_ against readers on other threads
  std::string peer_ip_;
  std::atomic<int> peer_port_{0};
  std::string origin_ip_;
  TTicketMaker tickets_;
  uint8_t msg_no_ = 0;
  uint8_t content_kind_ = 0;
  uint32_t recv_start_ = 0;  // tick count
  uint32_t packet_count_ = 0;
  uint32_t stored_count_ = 0;
  std::string missing_map_;
  std::unique_ptr<TMemoryStream> recv_buffer_;  // its size is the room reserved
  int64_t reserved_ = 0;                        // counted against reserved_ip_
  std::string reserved_ip_;
  int64_t received_end_ = 0;
  std::array<uint32_t, kAckHistorySize> ack_history_{};
  std::atomic<int> deliveries_{0};
};

// Whole seconds between two date numbers (absolute difference, truncated).
int64_t WholeSecondsBetween(double earlier, double later);
// Whole seconds from one tick count to a later one (wrapping).
inline int64_t WholeSecondsSince(uint32_t earlier, uint32_t later) {
  return static_cast<int64_t>(static_cast<uint32_t>(later - earlier) / 1000);
}

}  // namespace larkspire

#endif  // LARKSPIRE_TRANSPORT_DATAGRAM_CHANNEL_H_
