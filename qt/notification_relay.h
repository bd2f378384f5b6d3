// TNotificationRelay: brings a connection's notifications to a Qt thread. The connection hands
// each notification to its handler on the listener's delivery thread; the relay posts it to the
// thread the relay lives in (the GUI thread, normally) and emits Notified there, in the order
// they arrived, with the channel, the payload bytes, the sequence and the Missed flag.
//
//   TNotificationRelay relay;
//   relay.Attach(connection);
//   QObject::connect(&relay, &TNotificationRelay::Notified, grid, [&](const QString& channel,
//       const QByteArray& payload, quint64 sequence, bool missed) { ... });
//   connection.Subscribe("table:products");
//
// Attach replaces the connection's notification handler. The handler keeps only a small shared
// state of the relay, never the relay itself, so either may go first: a notification delivered
// after the relay was destroyed, or one posted but not yet emitted when it is destroyed, is
// dropped; the connection may outlive the relay and the relay the connection.
//
// Thread-safety: create, attach and destroy on the relay's own thread; the handler Attach
// installs may run on any thread.
#ifndef LARKSPIRE_QT_NOTIFICATION_RELAY_H_
#define LARKSPIRE_QT_NOTIFICATION_RELAY_H_

#include <QByteArray>
#include <QObject>
#include <QString>
#include <memory>

#include "components/connection.h"

namespace larkspire {

class TNotificationRelay : public QObject {
  Q_OBJECT

 public:
  explicit TNotificationRelay(QObject* parent = nullptr);
  ~TNotificationRelay() override;

  // Installs Handler() as the connection's notification handler.
  void Attach(TLarkspireConnection& connection);
  // The handler that relays to this object: for a connection set up elsewhere, or to call from
  // a handler of one's own.
  TLarkspireNotificationEvent Handler() const;

 signals:
  // On the relay's thread. payload holds the bytes as sent (QString::fromUtf8 for text).
  void Notified(const QString& channel, const QByteArray& payload, quint64 sequence, bool missed);

 private:
  struct TShared;
  std::shared_ptr<TShared> shared_;
};

}  // namespace larkspire

#endif  // LARKSPIRE_QT_NOTIFICATION_RELAY_H_
