#include "server/notify/notify_commands.h"

#include <algorithm>
#include <chrono>

#include "server/base/server_errors.h"
#include "server/commands/dispatch.h"
#include "server/net/session.h"
#include "server/notify/notification_hub.h"

namespace larkspire::server {

namespace {

// A 604 wait is cut in slices this long, to notice a stopping server and a client that went.
constexpr auto kWaitSlice = std::chrono::milliseconds(250);

TNotificationHub& HubOf(TSession& session) {
  TNotificationHub* hub = session.Notifications();
  if (hub == nullptr) throw EServerError(kErrUnknownCommand, "This server sends no notifications");
  return *hub;
}

// The channel named by a request's Data (UTF-8 bytes as they came).
std::string ChannelOf(TRemoteCommand& request) {
  std::string channel = request.GetDataText();
  std::string reason;
  if (!IsValidChannel(channel, &reason)) throw EServerError(kErrMalformedRequest, reason);
  return channel;
}

// 600: subscribes the session to the channel in Data.
void HandleSubscribe(TSession& session, TRemoteCommand& request, TRemoteCommand& reply) {
  TNotificationHub& hub = HubOf(session);
  hub.Subscribe(*session.NotificationMailbox(), ChannelOf(request));
}

// 601: ends the session's subscription to the channel in Data.
void HandleUnsubscribe(TSession& session, TRemoteCommand& request, TRemoteCommand& reply) {
  TNotificationHub& hub = HubOf(session);
  hub.Unsubscribe(*session.NotificationMailbox(), ChannelOf(request));
}

// 603: publishes Data's notify request to every session subscribed to its channel; Value is
// how many sessions of this server it reached.
void HandleNotify(TSession& session, TRemoteCommand& request, TRemoteCommand& reply) {
  TNotificationHub& hub = HubOf(session);
  const std::string data = request.GetDataText();
  std::string channel;
  std::string payload;
  DecodeNotifyRequest(reinterpret_cast<const uint8_t*>(data.data()), data.size(), channel, payload);
  std::string reason;
  if (!IsValidChannel(channel, &reason)) throw EServerError(kErrMalformedRequest, reason);
  if (payload.size() > kMaxNotificationPayload) {
    throw EServerError(kErrMalformedRequest, "A notification's payload holds at most " +
                                                 std::to_string(kMaxNotificationPayload) +
                                                 " bytes, not " + std::to_string(payload.size()));
  }
  reply.Value = static_cast<int32_t>(hub.Publish(channel, payload));
}

// 604: waits up to Value ms (at most kMaxNotificationWaitMs) for the session's notifications;
// Data holds the records taken, Value their count.
void HandleWaitNotifications(TSession& session, TRemoteCommand& request, TRemoteCommand& reply) {
  HubOf(session);
  std::shared_ptr<TNotificationMailbox> mailbox = session.NotificationMailbox();
  // The wait borrows no database connection: between commands the session holds only those
  // of its open transactions (or, in session pool mode, what it keeps anyway).
  const auto wait = std::chrono::milliseconds(std::clamp(request.Value, 0, kMaxNotificationWaitMs));
  const auto until = std::chrono::steady_clock::now() + wait;
  std::vector<TNotificationRecord> records;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    records = mailbox->WaitAndTake(std::clamp(left, std::chrono::milliseconds(0), kWaitSlice));
    if (!records.empty() || left <= kWaitSlice || session.Stopping() || session.PeerGone()) break;
  }
  std::string data;
  for (const TNotificationRecord& record : records) EncodeNotificationRecord(record, data);
  reply.SetDataText(data);
  reply.Value = static_cast<int32_t>(records.size());
}

}  // namespace

void RegisterNotifyCommands(TDispatchTable& table) {
  table.Register(cmdSubscribe, HandleSubscribe);
  table.Register(cmdUnsubscribe, HandleUnsubscribe);
  table.Register(cmdNotify, HandleNotify);
  table.Register(cmdWaitNotifications, HandleWaitNotifications);
}

}  // namespace larkspire::server
