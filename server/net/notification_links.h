// TNotificationLinks: datagram delivery of notifications. A session that wants its records over
// UDP asks for a link token (command 605): Issue hands out 16 random bytes bound to the
// session's mailbox, and to the key exported from its TLS session when there is one. The client
// then links to the server's datagram endpoint and sends one message, "bind" (a TRemoteCommand
// of code 605 whose Data is the token). A token that is known and younger than kTokenLifetime
// is used up: the mailbox's outlet is set to send each record over that client's channel, and
// the client is answered "bound" (code 605, Success, Value 1). An unknown or expired token is
// answered with a failed 605 and binds nothing.
//
// Each record goes out as a TRemoteCommand of code 603 whose Data is one datagram record:
// the kind byte and the record, sealed (transport/notification_seal.h) when the session has a
// key. The counter of the seal belongs to the mailbox, so a client that links again keeps
// refusing the nonces it has already seen. A send that gives up (the client is gone, the path
// is cut) makes the outlet answer false, and the mailbox goes back to queueing for command 604.
//
// Thread-safety: Issue runs on session threads, the bind on the endpoint's delivery threads,
// the outlets on the hub's sender threads; all may run at once. Close, from the server's owner
// thread before the endpoint goes, ends running sends and makes every outlet answer false from
// then on; the links must outlive the outlets' mailboxes or be closed first.
#ifndef LARKSPIRE_SERVER_NET_NOTIFICATION_LINKS_H_
#define LARKSPIRE_SERVER_NET_NOTIFICATION_LINKS_H_

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>

#include "transport/notification_seal.h"

namespace larkspire {
class TStream;
class TDataProcessModule;
}  // namespace larkspire

namespace larkspire::server {

class TDatagramEndpoint;
class TNotificationMailbox;

// How long a link token may wait for its bind, in milliseconds.
constexpr uint32_t kTokenLifetimeMs = 30000;
constexpr size_t kLinkTokenSize = 16;
// Tokens waiting for their bind at once, for the whole server (one per mailbox); the oldest
// goes past it.
constexpr size_t kMaxPendingTokens = 4096;

class TNotificationLinks {
 public:
  // endpoint outlives the links (or Close runs before it goes). advertised_port: the UDP port
  // clients are told to link to (0: the endpoint's own).
  TNotificationLinks(TDatagramEndpoint& endpoint, int advertised_port);
  TNotificationLinks(const TNotificationLinks&) = delete;
  TNotificationLinks& operator=(const TNotificationLinks&) = delete;
  ~TNotificationLinks();

  // The port a client links to.
  int AdvertisedPort() const { return advertised_port_; }
  // A fresh single-use token for mailbox, replacing one it was given before. tls: the session's TLS
  // (null for a plain session), from which the key is exported on the calling (session's) thread;
  // empty when that fails (the client then stays on TCP). Raises Exception when no random bytes can
  // be had.
  std::string Issue(const std::shared_ptr<TNotificationMailbox>& mailbox, SSL* tls);
  // A message from a linked client (the endpoint's handler).
  void OnMessage(const std::string& ip, int port, TStream& message, TDataProcessModule* channel);
  // Ends the datagram delivery for good (see above).
  void Close();

 private:
  struct TPending {
    std::weak_ptr<TNotificationMailbox> Mailbox;
    std::optional<TNotificationKey> Key;
    uint32_t IssuedAt = 0;  // tick count
  };
  // What the outlets of every mailbox share: the engine, while it may be used.
  struct TEngineRef;
  // The seal of one mailbox's records, kept across its links.
  struct TMailboxSeal;

  // Answers the client on channel_id (code 605, Success as given); false when the send failed.
  bool Answer(uint32_t channel_id, bool bound);
  std::shared_ptr<TMailboxSeal> SealFor(const std::shared_ptr<TNotificationMailbox>& mailbox,
                                        const std::optional<TNotificationKey>& key);
  void DropExpired(uint32_t now);

  TDatagramEndpoint& endpoint_;
  const int advertised_port_;
  std::shared_ptr<TEngineRef> engine_;
  std::mutex mutex_;  // guards pending_ and seals_
  std::map<std::string, TPending> pending_;
  // Kept while the mailbox lives, so that its counter never starts again.
  std::map<const TNotificationMailbox*, std::shared_ptr<TMailboxSeal>> seals_;
};

}  // namespace larkspire::server

#endif  // LARKSPIRE_SERVER_NET_NOTIFICATION_LINKS_H_
