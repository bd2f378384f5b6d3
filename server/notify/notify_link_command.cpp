#include "server/notify/notify_link_command.h"

#include "server/base/server_errors.h"
#include "server/commands/dispatch.h"
#include "server/net/notification_links.h"
#include "server/net/session.h"
#include "server/notify/notification_hub.h"

namespace larkspire::server {
namespace {

// 605: a link token for the session's mailbox and the port to link to.
void HandleNotifyLink(TSession& session, TRemoteCommand& request, TRemoteCommand& reply) {
  if (session.Notifications() == nullptr) {
    throw EServerError(kErrUnknownCommand, "This server sends no notifications");
  }
  reply.Value = 0;
  TNotificationLinks* links = session.NotifyLinks();
  if (links == nullptr) return;
  const std::string token = links->Issue(session.NotificationMailbox(),
                                         session.UnderTls() ? session.Stream().Ssl() : nullptr);
  if (token.empty()) return;
  reply.SetDataText(token);
  reply.Value = links->AdvertisedPort();
}

}  // namespace

void RegisterNotifyLinkCommand(TDispatchTable& table) {
  table.Register(cmdNotifyLink, HandleNotifyLink);
}

}  // namespace larkspire::server
