// TNotificationDatagramLink: the datagram road of a notification listener. On the listener's
// session it asks the server for a link token (command 605), links the session's datagram
// endpoint to the server's (the server's address, the UDP port the server named), sends the
// token over the link ("bind") and waits for the server's "bound". From then on the server
// pushes each record over the link; this opens it (sealed under a key exported from the
// session's TLS when the session has TLS: a plain record is then dropped, as is anything that
// fails its tag or replays a nonce) and hands the records to the listener in order: the engine
// hands each message over on a thread of its own, so a record that overtook the one before it
// waits for it a short while (kReorderWaitMs): under TLS by the seal's counter, otherwise by
// its channel's sequence against the last the listener took (the first of a channel, too).
//
// Only messages from the linked server's address and port are taken. Binding fails (the
// listener stays on TCP) when the server has no datagram endpoint (port 0) or does not know
// command 605, when the link is not accepted or "bound" does not come within kBindTimeoutMs,
// or when the key cannot be exported. Once bound, a watch thread checks the link every
// kLinkWatchMs: when the server has been silent (no keep-alive answer, no message) for
// kLinkSilenceMs the link counts as dead and the listener is told (lost), once.
//
// Thread-safety: Open and Close run on the listener's thread, the thread that runs the
// session's commands; Alive and Dropped may be read from any thread. Records are handed over on
// the endpoint's delivery threads, one at a time; lost runs on the watch thread. The destructor
// waits until no record is being handed over.
#ifndef LARKSPIRE_COMPONENTS_NOTIFICATION_DATAGRAM_H_
#define LARKSPIRE_COMPONENTS_NOTIFICATION_DATAGRAM_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "components/notification_listener.h"
#include "protocol/notification.h"
#include "transport/notification_seal.h"

namespace larkspire {

class TLarkspireConnection;
class TRemoteCommand;

// How long a record that overtook the one before it waits for it.
constexpr uint32_t kReorderWaitMs = 300;
// How long the server may stay silent before the link counts as dead: three keep-alives.
constexpr uint32_t kLinkSilenceMs = 16000;
constexpr uint32_t kLinkWatchMs = 500;
// How long binding waits for "bound".
constexpr uint32_t kBindTimeoutMs = 2000;
// The largest message the listener's endpoint takes: one record with its seal, with room.
constexpr uint64_t kMaxNotificationDatagram = 64 * 1024;

class TNotificationDatagramLink final : public INotificationDatagramLink {
 public:
  TNotificationDatagramLink();
  TNotificationDatagramLink(const TNotificationDatagramLink&) = delete;
  TNotificationDatagramLink& operator=(const TNotificationDatagramLink&) = delete;
  ~TNotificationDatagramLink() override;

  // Asks for a token, links and binds (see above); true when the server answered "bound" in
  // time. Never throws for a refusal or a network failure.
  bool Open(TLarkspireConnection& session, TSink sink, TLastTaken last_taken, TLost lost) override;
  // Unlinks; records that still arrive are dropped.
  void Close() override;

  // Bound, and the server heard from within kLinkSilenceMs.
  bool Alive() const;
  // Records dropped: failed tag, replayed nonce, plain under TLS, malformed.
  uint64_t Dropped() const { return dropped_.load(); }

 private:
  struct THandlerRef;

  bool Bind(TLarkspireConnection& session);
  void OnCommand(const std::string& ip, int port, TRemoteCommand& message);
  void OnRecord(const std::string& datagram);
  // Hands the records of body over; gate_mutex_ held.
  void Deliver(const std::string& body);
  void Watch();
  void StopWatch();

  std::shared_ptr<THandlerRef> handler_ref_;
  std::atomic<uint64_t> dropped_{0};
  std::atomic<bool> bound_{false};
  TLarkspireConnection* session_ = nullptr;  // the listener's thread's
  TLost lost_;                               // the watch thread's while it runs

  mutable std::mutex mutex_;  // guards what follows, with bind_changed_
  std::condition_variable bind_changed_;
  std::string server_ip_;
  int server_port_ = 0;
  bool accepting_ = false;  // messages from the server are taken
  int bind_answer_ = 0;     // 0 none yet, 1 bound, -1 refused
  bool watching_ = false;
  std::thread bind_thread_;  // sends the bind message (a send blocks until acknowledged)
  std::thread watch_thread_;

  std::mutex gate_mutex_;  // hands records over one at a time, in order
  std::condition_variable gate_changed_;
  TSink sink_;
  std::optional<TNotificationOpener> opener_;  // under TLS
  bool under_tls_ = false;                     // plain records are dropped
  TLastTaken last_taken_;                      // without TLS: orders each channel's records
  uint64_t generation_ = 0;                    // changes when waiting records must give up
};

}  // namespace larkspire

#endif  // LARKSPIRE_COMPONENTS_NOTIFICATION_DATAGRAM_H_
