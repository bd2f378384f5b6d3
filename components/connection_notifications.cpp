// The connection's notification calls: subscriptions go to the hidden listener session, Notify
// goes out on the connection's own session.
#include "components/connection.h"
#include "components/notification_datagram.h"
#include "platform/codepage.h"

namespace larkspire {

TLarkspireNotificationListener& TLarkspireConnection::NotificationListener() {
  if (!listener_) {
    listener_ = std::make_unique<TLarkspireNotificationListener>(*this);
    // Notifications come over the datagram link when the server and the network allow.
    listener_->SetDatagramLink(std::make_unique<TNotificationDatagramLink>());
  }
  return *listener_;
}

void TLarkspireConnection::Subscribe(const std::string& channel) {
  NotificationListener().Subscribe(channel);
}

void TLarkspireConnection::Unsubscribe(const std::string& channel) {
  if (listener_) listener_->Unsubscribe(channel);
}

void TLarkspireConnection::Notify(const std::string& channel, const std::string& payload) {
  // Refused here, before anything is sent, as a plain failure (not one of the last command).
  std::string reason;
  if (!IsValidChannel(channel, &reason)) {
    ThrowLarkspireException(kNoErrorCode, kNoErrorCode, reason, Name() + ":" + reason);
  }
  if (payload.size() > kMaxNotificationPayload) {
    reason = "a notification's payload holds at most " + std::to_string(kMaxNotificationPayload) +
             " bytes";
    ThrowLarkspireException(kNoErrorCode, kNoErrorCode, reason, Name() + ":" + reason);
  }
  TRemoteCommand request;
  request.Code = cmdNotify;
  const std::string data = EncodeNotifyRequest(channel, payload);
  request.Data.WriteBuffer(data.data(), static_cast<int64_t>(data.size()));
  std::string failure;
  int32_t code = kNoErrorCode;
  {
    const TLarkspireReply reply = Exchange(request);
    if (reply->Success) return;
    code = reply->Value;
    failure = AnsiToWide(reply->Message);
  }
  if (code == kErrUnknownCommand && error_code_ == kErrUnknownCommand) {
    ThrowLarkspireException(kErrUnknownCommand, kErrUnknownCommand, kNoNotificationsText,
                            Name() + ":" + kNoNotificationsText);
  }
  RaiseError(error_code_, failure);
}

void TLarkspireConnection::SetOnNotification(TLarkspireNotificationEvent handler) {
  NotificationListener().SetOnNotification(std::move(handler));
}

TNotificationRoute TLarkspireConnection::NotificationRoute() const {
  return listener_ ? listener_->Route() : TNotificationRoute::None;
}

}  // namespace larkspire
