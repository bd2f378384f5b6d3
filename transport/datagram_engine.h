// TSuperUdpProctol: the engine of the reliable datagram transport. It dispatches every datagram
// its socket receives, keeps one channel per peer that linked to it, answers link, unlink,
// keep-alive and load datagrams, passes data packets and acknowledgements to the channels,
// hands raw datagrams and application records to events, and lets a watch thread expire
// channels idle for longer than the expiry time.
//
// It also opens a link of its own (OpenLink, over LinkModule) and sends messages over a
// channel (SendStream, SendText): a send is blocking, resends what goes unanswered for a while
// and gives up after GiveUpMs without any acknowledgement.
//
// The engine owns no socket: Send does nothing here; TSuperUdpSocket supplies it.
//
// What peers may take is capped (TDatagramLimits): the size of one message, the channels one
// address may hold and the memory of messages being assembled or handed over, for the whole
// endpoint and for one address. A channel's buffer grows with the packets that arrived, never
// from the count a packet announces; a packet past a cap, or too far ahead of what its message
// holds, is dropped without acknowledgement (the link stays), and a link request past the
// channel cap is answered as failed.
//
// Thread-safety: ProcessDatagram runs on one receiving thread at a time and raises OnRawData,
// OnLinkRequest, OnChannelClosed (reason 0), OnQueryLoad, OnRecvRecord, OnProgress and the
// speed events there; OnRecvText and OnRecvStream run on a delivery thread each; OnChannelClosed
// with reason 1 runs on the watch thread. Set the events before traffic starts (the socket's
// constructor takes a preparation step for that). OpenLink, CloseLink, SetLimits and the sends
// may be called from any thread, one send per channel at a time; a send keeps its channel
// alive until it ends, and the destructor stops running sends and waits for them.
// Lock order: the channel-list lock, then a channel's lock, then the memory lock.
#ifndef LARKSPIRE_TRANSPORT_DATAGRAM_ENGINE_H_
#define LARKSPIRE_TRANSPORT_DATAGRAM_ENGINE_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/stream.h"
#include "platform/thread.h"
#include "transport/datagram_channel.h"
#include "transport/datagram_packets.h"
#include "transport/tcp_client.h"

namespace larkspire {

class TSuperUdpProctol;

// The times the engine works by; tests shorten them. Ages are measured on the injectable
// clock's monotonic TickCount (never the wall clock, which may jump); the pauses between
// sweeps, keep-alives and retries are real time.
struct TDatagramTiming {
  uint32_t ExpirySeconds = 20;      // a channel idle longer than this is freed
  uint32_t SweepIntervalMs = 1500;  // pause of the watch thread between sweeps
  uint32_t KeepAliveMs = 5000;      // keep-alives of our own link
  uint32_t LinkRetryMs = 250;       // a link request goes out again after this
  uint32_t MinResendMs = 20;        // a silent send resends after at least this
  uint32_t MaxResendMs = 1000;      // ... and at most this
  uint32_t GiveUpMs = 10000;        // a send without any acknowledgement this long fails
  uint32_t StartWindow = 16;        // first window of a send (4 to 100)
};

// What peers may take from an endpoint.
struct TDatagramLimits {
  uint64_t MaxMessageBytes = uint64_t{64} << 20;      // the largest message a channel assembles
  uint32_t MaxChannelsPerAddress = 16;                // channels one address may hold
  uint64_t MaxReassemblyBytes = uint64_t{256} << 20;  // messages in assembly or delivery
  uint64_t MaxAddressReassemblyBytes = uint64_t{128} << 20;  // ... of one address
  // Packets in a message of at most MaxMessageBytes (never above kMaxMessagePackets).
  uint32_t MaxMessagePackets() const;
};

// How a send ended.
struct TSendReport {
  bool Completed = false;
  uint64_t Bytes = 0;
  uint32_t PacketCount = 0;
  uint32_t FinalWindow = 0;
  uint32_t LargestWindow = 0;
  uint64_t Resends = 0;
  uint64_t Timeouts = 0;
  double Seconds = 0;
};

class TProcessModuleWatchThread : public TThread {
 public:
  explicit TProcessModuleWatchThread(TSuperUdpProctol& owner) : owner_(owner) {}
  ~TProcessModuleWatchThread() override;
  // Asks the thread to end and wakes it from its pause.
  void Stop();

 protected:
  void Execute() override;

 private:
  TSuperUdpProctol& owner_;
  std::mutex mutex_;
  std::condition_variable wake_;
};

class TSuperUdpProctol {
 public:
  explicit TSuperUdpProctol(const TDatagramTiming& timing = {});
  TSuperUdpProctol(const TSuperUdpProctol&) = delete;
  TSuperUdpProctol& operator=(const TSuperUdpProctol&) = delete;
  virtual ~TSuperUdpProctol();

  // Events (unassigned by default).
  std::function<int32_t()> OnQueryLoad;
  std::function<void(const std::string& ip, int port, const std::string& text,
                     TDataProcessModule* module)>
      OnRecvText;
  std::function<void(const std::string& ip, int port, TStream& stream, TDataProcessModule* module)>
      OnRecvStream;
  std::function<void(double speed)> OnSendSpeed;
  std::function<void(double speed)> OnRecvSpeed;
  TOnTransProgressEvent OnProgress;
  std::function<int32_t(const std::string& ip, int port, const std::string& text)> OnLinkRequest;
  std::function<void(TDataProcessModule* module, int reason)> OnChannelClosed;
  std::function<void(const std::string& ip, int port, const uint8_t* buffer, size_t length)>
      OnRawData;
  std::function<void(const std::string& ip, int port, const uint8_t* record)> OnRecvRecord;

  // Sends one datagram; does nothing in the engine itself.
  virtual void Send(const std::string& ip, int port, const void* buffer, size_t length);

  // Handles one received datagram from ip:port (dotted address, host-order port).
  void ProcessDatagram(const std::string& ip, int port, const uint8_t* buffer, size_t length);
  // The id of the peer's channel, made if need be and reset for the peer; 0 when none could be
  // made.
  uint32_t OpenChannel(const std::string& ip, int port);
  // The id of the channel of this peer, or 0.
  uint32_t FindChannel(const std::string& ip, int port);
  // Frees every channel idle for longer than the expiry time (the watch thread's sweep).
  void SweepExpiredChannels(const std::function<bool()>& stop = nullptr);

  TDatagramLimits Limits() const;
  // Applies to packets and link requests from now on; memory already taken stays.
  void SetLimits(const TDatagramLimits& limits);
  // Takes bytes of reassembly memory for a message from ip; false (nothing taken) when the
  // endpoint's or the address's cap would be passed.
  bool ReserveReassembly(const std::string& ip, int64_t bytes);
  void ReleaseReassembly(const std::string& ip, int64_t bytes);
  // Reassembly memory taken now, by the whole endpoint and by one address.
  int64_t ReassemblyBytes() const;
  int64_t ReassemblyBytesOf(const std::string& ip) const;

  // Links to a peer (host name or dotted address): sends a link request with text, again every
  // LinkRetryMs, until a reply comes or timeout_ms passes. True when the peer accepted; then
  // keep-alives run until CloseLink.
  bool OpenLink(const std::string& host, int port, const std::string& text,
                uint32_t timeout_ms = 3000);
  void CloseLink();

  // Sends a message over our own link, or over the channel of a peer that linked to us (by
  // its id). Blocks until the peer holds the whole message (true) or the send failed.
  bool SendStream(TStream& stream, TSendReport* report = nullptr);
  bool SendText(const std::string& text, TSendReport* report = nullptr);
  bool SendStreamOnChannel(uint32_t channel_id, TStream& stream, TSendReport* report = nullptr);
  // Ends every send running now: each returns false within a millisecond or so. Sends started
  // later run as usual.
  void StopSends();
  // Asks a peer for its load; the answer lands in RemoteLoad. True when one came in time.
  bool QueryLoad(const std::string& host, int port, uint32_t timeout_ms = 1000);

  uint8_t Mode() const { return mode_; }
  TDataProcessModule& LinkModule() { return *link_module_; }
  bool Connected() const { return connected_.load(); }
  uint32_t LinkChannel() const { return link_channel_.load(); }
  std::string LinkIP() const;
  int LinkPort() const { return link_port_.load(); }
  uint8_t LinkState() const { return link_state_.load(); }
  int32_t RefuseCode() const { return refuse_code_.load(); }
  int32_t ChannelCount() const { return channel_count_.load(); }
  int32_t RemoteLoad() const { return remote_load_.load(); }
  // Channels in the list (closed ones included).
  size_t ModuleCount();
  const TDatagramTiming& Timing() const { return timing_; }

  // Used by the channels.
  uint32_t NewChannelId();
  void AddChannelCount(int32_t delta) { channel_count_ += delta; }
  void DeliveryStarted();
  void DeliveryEnded();

 protected:
  void SetMode(uint8_t mode) { mode_ = mode; }
  // Waits until no delivery thread runs any more; the subclass calls it once it has stopped
  // receiving, before its own parts go.
  void WaitForDeliveries();
  // Stops the keep-alives of our own link (they use Send).
  void StopLinkThread();

 private:
  friend class TProcessModuleWatchThread;
  class TLinkThread;

  // The channel of this id (LinkModule or a member of the list); call under the list lock.
  TDataProcessModule* ResolveChannel(uint32_t id);
  std::shared_ptr<TDataProcessModule> ResolveShared(uint32_t id);
  // Channels made for peers at ip (closed ones included: they count until they expire).
  uint32_t ChannelsOf(const std::string& ip);
  void Dispatch(const std::string& ip, int port, const uint8_t* buffer, size_t length);
  // Sends one message over the channel and waits for its end. list_lock, when given, is
  // released once the send has taken the channel's Sender.
  bool RunSend(std::shared_ptr<TDataProcessModule> channel, TStream& stream, uint8_t content_kind,
               std::unique_lock<std::recursive_mutex>* list_lock, TSendReport* report);

  const TDatagramTiming timing_;
  std::atomic<uint8_t> mode_{0};
  std::shared_ptr<TDataProcessModule> link_module_;
  std::atomic<bool> connected_{false};
  std::unique_ptr<TProcessModuleWatchThread> watch_thread_;
  std::atomic<uint32_t> link_channel_{0};
  mutable std::mutex link_mutex_;  // guards link_ip_ and the wait for link and load replies
  std::condition_variable link_reply_;
  uint64_t link_replies_ = 0;
  uint64_t load_answers_ = 0;
  std::string link_ip_;
  std::atomic<int> link_port_{0};
  std::atomic<uint8_t> link_state_{lsNone};
  std::atomic<int32_t> refuse_code_{0};
  std::recursive_mutex modules_lock_;
  std::vector<std::shared_ptr<TDataProcessModule>> modules_;
  TDatagramLimits limits_;  // guarded by modules_lock_
  mutable std::mutex memory_mutex_;
  int64_t reassembly_bytes_ = 0;
  std::map<std::string, int64_t> reassembly_by_address_;
  std::mutex sends_mutex_;
  std::condition_variable sends_done_;
  int sends_running_ = 0;
  std::atomic<int32_t> channel_count_{0};
  std::atomic<int32_t> remote_load_{0};
  std::unique_ptr<TLinkThread> link_thread_;
  std::atomic<uint32_t> next_channel_id_;
  std::mutex deliveries_mutex_;
  std::condition_variable deliveries_done_;
  int deliveries_ = 0;
};

}  // namespace larkspire

#endif  // LARKSPIRE_TRANSPORT_DATAGRAM_ENGINE_H_
