// The Qt relay of notifications against a real server: what one connection notifies reaches
// another's relay signal on the GUI thread, in order and byte for byte; and a relay destroyed
// while its handler is being called from another thread drops what comes after.
#include <QSignalSpy>
#include <QThread>
#include <QtTest>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "components/connection.h"
#include "qt/notification_relay.h"
#include "support/server_fixture.h"

namespace larkspire::test {

class TNotificationRelayTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { server_ = std::make_unique<TServerProcess>(); }
  void cleanupTestCase() { server_.reset(); }

  void NotificationsReachTheSignalOnTheGuiThread() {
    TLarkspireConnection listener;
    listener.SetRemotePort(server_->Port());
    TNotificationRelay relay;
    relay.Attach(listener);
    QStringList seen;
    QList<QThread*> threads;
    connect(&relay, &TNotificationRelay::Notified, &relay,
            [&](const QString& channel, const QByteArray& payload, quint64 sequence, bool missed) {
              threads.append(QThread::currentThread());
              seen.append(QString("%1|%2|%3|%4")
                              .arg(channel, QString::fromLatin1(payload.toHex()))
                              .arg(sequence)
                              .arg(missed));
            });
    listener.Subscribe("prices");

    TLarkspireConnection notifier;
    notifier.SetRemotePort(server_->Port());
    notifier.Notify("prices", std::string("a\0b", 3));
    notifier.Notify("others", "not subscribed");
    notifier.Notify("prices", "价格");
    notifier.Notify("prices");
    QTRY_COMPARE_WITH_TIMEOUT(seen.size(), 3, 10000);
    QCOMPARE(seen, QStringList({"prices|610062|1|0", "prices|e4bbb7e6a0bc|2|0", "prices||3|0"}));
    for (QThread* thread : threads) QCOMPARE(thread, qApp->thread());
  }

  void ARelayDestroyedInFlightDropsTheRest() {
    auto relay = std::make_unique<TNotificationRelay>();
    int emitted = 0;
    connect(relay.get(), &TNotificationRelay::Notified, relay.get(), [&] { ++emitted; });
    const TLarkspireNotificationEvent handler = relay->Handler();
    std::atomic<int> calls{0};
    std::atomic<bool> stop{false};
    std::thread delivery([&] {
      TLarkspireNotification notification{"prices", std::string(100, 'x'), 0, false};
      while (!stop) {
        notification.Sequence = ++calls;
        handler(notification);
        std::this_thread::sleep_for(std::chrono::microseconds(20));
      }
    });
    QTRY_VERIFY(emitted > 100);
    relay.reset();  // with calls posted and not yet emitted, and the handler still running
    const int at_reset = emitted;
    const int before = calls;
    QTRY_VERIFY(calls > before + 1000);
    stop = true;
    delivery.join();
    QCoreApplication::processEvents();
    QCOMPARE(emitted, at_reset);
  }

 private:
  std::unique_ptr<TServerProcess> server_;
};

}  // namespace larkspire::test

QTEST_MAIN(larkspire::test::TNotificationRelayTest)
#include "notification_relay_test.moc"
