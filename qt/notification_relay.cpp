#include "qt/notification_relay.h"

#include <QMetaObject>
#include <mutex>

namespace larkspire {

// What the connection's handler holds: the relay while it lives. The lock keeps the relay from
// being destroyed between the check and the post; a posted call whose receiver is destroyed
// before it runs is discarded by Qt.
struct TNotificationRelay::TShared {
  std::mutex Mutex;
  TNotificationRelay* Relay = nullptr;
};

TNotificationRelay::TNotificationRelay(QObject* parent)
    : QObject(parent), shared_(std::make_shared<TShared>()) {
  shared_->Relay = this;
}

TNotificationRelay::~TNotificationRelay() {
  std::lock_guard lock(shared_->Mutex);
  shared_->Relay = nullptr;
}

void TNotificationRelay::Attach(TLarkspireConnection& connection) {
  connection.SetOnNotification(Handler());
}

TLarkspireNotificationEvent TNotificationRelay::Handler() const {
  return [shared = shared_](const TLarkspireNotification& notification) {
    QString channel = QString::fromStdString(notification.Channel);
    QByteArray payload(notification.Payload.data(),
                       static_cast<qsizetype>(notification.Payload.size()));
    const quint64 sequence = notification.Sequence;
    const bool missed = notification.Missed;
    std::lock_guard lock(shared->Mutex);
    TNotificationRelay* relay = shared->Relay;
    if (relay == nullptr) return;
    QMetaObject::invokeMethod(
        relay,
        [relay, channel = std::move(channel), payload = std::move(payload), sequence, missed] {
          emit relay->Notified(channel, payload, sequence, missed);
        },
        Qt::QueuedConnection);
  };
}

}  // namespace larkspire
