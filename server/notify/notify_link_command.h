// Command 605: a session asks for its notifications over the datagram link. The reply's Data
// holds a fresh link token for the session's mailbox and Value the UDP port the client links
// to (server/net/notification_links.h); Value 0 (and no token) when the server has no datagram
// endpoint or the session's TLS key cannot be exported: the client keeps to command 604.
//
// Thread-safety: the handler runs on its session's thread.
#ifndef LARKSPIRE_SERVER_NOTIFY_NOTIFY_LINK_COMMAND_H_
#define LARKSPIRE_SERVER_NOTIFY_NOTIFY_LINK_COMMAND_H_

namespace larkspire::server {

class TDispatchTable;

void RegisterNotifyLinkCommand(TDispatchTable& table);

}  // namespace larkspire::server

#endif  // LARKSPIRE_SERVER_NOTIFY_NOTIFY_LINK_COMMAND_H_
