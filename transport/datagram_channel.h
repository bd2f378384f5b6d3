// TDataProcessModule: one end of a reliable datagram link with one peer (an address and port).
// It accepts the peer's data packets, acknowledges each of them (with the tickets of the ten
// packets recorded before), assembles the message in memory and, once the last missing packet
// has arrived, hands the whole message to the engine's OnRecvText or OnRecvStream on a delivery
// thread of its own. While a message of ours is being sent it holds the sending record
// (Sender) and passes it the peer's acknowledgements.
//
// A message may hold at most kMaxMessagePackets packets (64 MiB); a packet announcing more is
// dropped without acknowledgement. A delivery takes the assembled buffer with it, so a new
// message on the channel never disturbs it.
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
  // More than the engine's expiry time (20 whole seconds by default) since LastActive.
  bool IsExpired() const;
  // Same port and same address, letters compared without regard to case.
  bool MatchesPeer(const std::string& ip, int port) const;
  // Ready for a new message from this peer; a partial message is dropped and a running send
  // is stopped.
  void ResetForPeer(const std::string& ip, int port);
  // No peer any more: accepts nothing until it is reset for one.
  void CloseChannel();
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
  double LastActive() const { return last_active_.load(); }
  uint8_t MsgNo() const { return msg_no_; }
  uint8_t ContentKind() const { return content_kind_; }
  uint32_t PacketCount() const { return packet_count_; }
  uint32_t StoredCount() const { return stored_count_; }
  const std::string& MissingMap() const { return missing_map_; }
  int64_t ReceivedSize() const { return recv_buffer_->Size(); }
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
  void BeginMessage(const std::string& ip, int port, const TDataView& packet);
  void StorePacket(const TDataView& packet);
  void StartDelivery();
  void ReportProgressAndSpeed();

  TSuperUdpProctol* owner_;
  std::atomic<TChannelState> state_{csClosed};
  mutable std::recursive_mutex lock_;
  std::atomic<double> last_active_{0};
  const uint32_t channel_id_;
  std::atomic<uint32_t> peer_channel_id_{0};
  mutable std::mutex peer_mutex_;  // guards peer_ip_ against readers on other threads
  std::string peer_ip_;
  std::atomic<int> peer_port_{0};
  TTicketMaker tickets_;
  uint8_t msg_no_ = 0;
  uint8_t content_kind_ = 0;
  double recv_start_ = 0;
  uint32_t packet_count_ = 0;
  uint32_t stored_count_ = 0;
  std::string missing_map_;
  std::unique_ptr<TMemoryStream> recv_buffer_;
  std::array<uint32_t, kAckHistorySize> ack_history_{};
  std::atomic<int> deliveries_{0};
};

// Whole seconds between two date numbers (absolute difference, truncated).
int64_t WholeSecondsBetween(double earlier, double later);

}  // namespace larkspire

#endif  // LARKSPIRE_TRANSPORT_DATAGRAM_CHANNEL_H_
