// Notifications between real processes: PostgreSQL's NOTIFY from psql, table changes made
// through the command-line client on both backends, a server restarted under a listener, the
// CLI's listen and notify, and a server that has no notifications.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "components/connection.h"
#include "components/exception.h"
#include "protocol/error_codes.h"
#include "protocol/memory_stream.h"
#include "protocol/remote_command.h"
#include "support/backend_server.h"
#include "support/notification_inbox.h"
#include "support/postgres_cluster.h"
#include "support/run_program.h"
#include "support/scripted_peer.h"
#include "support/server_fixture.h"

namespace larkspire::test {
namespace {

using namespace std::chrono_literals;

// Repeats action every 200 ms until the inbox holds count notifications (10 s at most): for a
// source that starts listening a moment after Subscribe returns.
bool RepeatUntil(TNotificationInbox& inbox, size_t count, const std::function<void()>& action) {
  for (int i = 0; i < 50; ++i) {
    action();
    if (inbox.WaitFor(count, 200)) return true;
  }
  return false;
}

TEST(NotificationE2E, PsqlNotifyReachesASubscribedClient) {
  TBackendServer& server = ServerFor(TBackend::bkPostgreSQL, "lknotify");
  if (!server.Server) GTEST_SKIP() << server.Error;
  TPostgresCluster& cluster = *TPostgresCluster::Instance();
  TLarkspireConnection connection;
  connection.SetRemotePort(server.Server->Port());
  TNotificationInbox inbox;
  connection.SetOnNotification(inbox.Handler());
  connection.Subscribe("Orders Ready");
  ASSERT_TRUE(RepeatUntil(
      inbox, 1, [&] { cluster.Psql(server.Database, "NOTIFY \"Orders Ready\", 'it''s here'"); }));
  const auto received = inbox.Received();
  EXPECT_EQ(received[0].Channel, "Orders Ready");
  EXPECT_EQ(received[0].Payload, "it's here");
  // The server's LISTEN connection, cut, is made again and LISTENs again.
  EXPECT_EQ(cluster.Psql(server.Database,
                         "SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity "
                         "WHERE application_name = 'larkspire-notify' "
                         "AND datname = current_database()"),
            "1\n");
  const size_t seen = inbox.Count();
  ASSERT_TRUE(RepeatUntil(
      inbox, seen + 1, [&] { cluster.Psql(server.Database, "NOTIFY \"Orders Ready\", 'again'"); }));
  EXPECT_EQ(inbox.Received().back().Payload, "again");
  // A client's own notify goes to the hub, not through PostgreSQL as well: it comes once.
  TLarkspireConnection publisher;
  publisher.SetRemotePort(server.Server->Port());
  publisher.SetConnectionName("pg");
  const size_t before = inbox.Count();
  publisher.Notify("Orders Ready", "once");
  ASSERT_TRUE(inbox.WaitFor(before + 1));
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(inbox.Count(), before + 1);
  EXPECT_EQ(inbox.Received().back().Payload, "once");
}

class TableChangeE2E : public ::testing::TestWithParam<TBackend> {};

TEST_P(TableChangeE2E, AnUpdateThroughTheCliReachesATableSubscriber) {
  TBackendServer& server = ServerFor(GetParam(), "lknotifytable");
  if (!server.Server) GTEST_SKIP() << server.Error;
  TLarkspireConnection connection;
  connection.SetRemotePort(server.Server->Port());
  TNotificationInbox inbox;
  connection.SetOnNotification(inbox.Handler());
  connection.Subscribe("table:products");
  const std::string port = std::to_string(server.Server->Port());
  const TProgramResult r =
      RunCli({"--port", port, "--connection", server.ConnectionName, "exec",
              "UPDATE products SET ProName = ProName WHERE ProId IN (1, 2, 3)"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  ASSERT_TRUE(inbox.WaitFor(1));
  const auto received = inbox.Received();
  EXPECT_EQ(received[0].Channel, "table:products");
  EXPECT_EQ(received[0].Payload, R"({"inserted":0,"updated":3,"deleted":0})");
  EXPECT_FALSE(received[0].Missed);
}

INSTANTIATE_TEST_SUITE_P(Backends, TableChangeE2E,
                         ::testing::Values(TBackend::bkSQLite, TBackend::bkPostgreSQL),
                         BackendName);

TEST(NotificationE2E, AServerRestartedUnderAListenerMarksTheNextNotificationMissed) {
  auto server = std::make_unique<TServerProcess>();
  const std::string port = std::to_string(server->Port());
  TLarkspireConnection listener;
  listener.SetRemotePort(server->Port());
  TNotificationInbox inbox;
  listener.SetOnNotification(inbox.Handler());
  listener.Subscribe("ch");
  TLarkspireConnection publisher;
  publisher.SetRemotePort(server->Port());
  publisher.Notify("ch", "before");
  ASSERT_TRUE(inbox.WaitFor(1));
  EXPECT_FALSE(inbox.Received()[0].Missed);

  server->Stop();
  server.reset();
  std::this_thread::sleep_for(300ms);  // the listener finds the server gone
  server = std::make_unique<TServerProcess>(std::vector<std::string>{"--port", port});
  // The listener connects and subscribes again by itself; the publisher's next command does.
  ASSERT_TRUE(RepeatUntil(inbox, 2, [&] { publisher.Notify("ch", "after"); }));
  const auto received = inbox.Received();
  EXPECT_EQ(received[1].Payload, "after");
  EXPECT_TRUE(received[1].Missed);
  EXPECT_EQ(received[1].Sequence, 1u);
  EXPECT_GE(listener.NotificationListener().Reconnects(), 1);
  // Over TCP, or over the datagram link made again after the reconnect.
  EXPECT_NE(listener.NotificationRoute(), TNotificationRoute::None);
}

TEST(NotificationE2E, CliListenPrintsWhatCliNotifySends) {
  TServerProcess server;
  const std::string port = std::to_string(server.Port());
  auto listen = std::async(std::launch::async, [&] {
    return RunCli({"--port", port, "listen", "news", "table:products", "--count", "2"}, 20000);
  });
  // The listener subscribes a moment after it starts: send until it has had two.
  for (int i = 0; i < 100 && listen.wait_for(200ms) != std::future_status::ready; ++i) {
    const TProgramResult sent = RunCli({"--port", port, "notify", "news", "hello, world"});
    ASSERT_EQ(sent.exit_code, 0) << sent.err;
  }
  const TProgramResult r = listen.get();
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "news: hello, world\nnews: hello, world\n");
  const TProgramResult bad = RunCli({"--port", port, "notify", std::string(300, 'c')});
  EXPECT_EQ(bad.exit_code, 2);
  EXPECT_NE(bad.err.find("255 bytes"), std::string::npos) << bad.err;
}

std::string ReplyBody(bool success, int32_t value, const std::string& data = "") {
  TRemoteCommand reply;
  reply.Code = cmdReply;
  reply.Success = success;
  reply.Value = value;
  if (success) {
    reply.Data.WriteBuffer(data.data(), static_cast<int64_t>(data.size()));
  } else {
    reply.Message = "Unknown command";
  }
  TLarkspireMemoryStream stream;
  reply.SaveToStream(stream);
  return std::string(reinterpret_cast<const char*>(stream.Memory()), stream.Size());
}

TEST(NotificationE2E, AListenerFlagsSkippedSequencesAndSurvivesAHostileReply) {
  // A peer that answers the waits with records laid out by hand: 1, then 3 (2 skipped), then a
  // record whose payload length runs past the end after a good one, then 9.
  std::atomic<int> waits{0};
  auto record = [](uint8_t flags, uint64_t sequence, const std::string& payload) {
    std::string bytes(1, static_cast<char>(flags));
    for (int i = 0; i < 8; ++i) bytes += static_cast<char>((sequence >> (8 * i)) & 0xFF);
    bytes += std::string("\x02\0\0\0ch", 6);
    const uint32_t length = static_cast<uint32_t>(payload.size());
    for (int i = 0; i < 4; ++i) bytes += static_cast<char>((length >> (8 * i)) & 0xFF);
    return bytes + payload;
  };
  const std::vector<std::string> answers = {
      record(0, 1, "a"), record(0, 3, "c"),
      record(0, 4, "d") + record(0, 5, "e").substr(0, 15) + std::string("\xff\xff\xff\x7f", 4),
      record(0, 9, "i")};
  TScriptedPeer peer(TScriptedPeer::ServeWith(AcceptedHandshake(), [&](const std::string& body) {
    TRemoteCommand request;
    TLarkspireMemoryStream stream;
    stream.WriteBuffer(body.data(), static_cast<int64_t>(body.size()));
    stream.SetPosition(0);
    request.LoadFromStream(stream);
    if (request.Code != cmdWaitNotifications) return ReplyBody(true, 0);
    const int index = waits++;
    if (index >= static_cast<int>(answers.size())) {
      std::this_thread::sleep_for(50ms);
      return ReplyBody(true, 0);
    }
    return ReplyBody(true, 1, answers[index]);
  }));
  TLarkspireConnection connection;
  connection.SetRemotePort(peer.Port());
  TNotificationInbox inbox;
  connection.SetOnNotification(inbox.Handler());
  connection.Subscribe("ch");
  ASSERT_TRUE(inbox.WaitFor(4));
  const auto received = inbox.Received();
  ASSERT_EQ(received.size(), 4u);
  EXPECT_EQ(received[0].Sequence, 1u);
  EXPECT_FALSE(received[0].Missed);
  EXPECT_EQ(received[1].Sequence, 3u);
  EXPECT_TRUE(received[1].Missed);
  EXPECT_EQ(received[2].Payload, "d");  // what came before the fault
  EXPECT_FALSE(received[2].Missed);
  EXPECT_EQ(received[3].Sequence, 9u);
  EXPECT_TRUE(received[3].Missed);
  EXPECT_EQ(connection.NotificationRoute(), TNotificationRoute::Tcp);
}

TEST(NotificationE2E, AServerWithoutNotificationsIsNamedSo) {
  TScriptedPeer peer(TScriptedPeer::ServeWith(AcceptedHandshake(), [](const std::string&) {
    return ReplyBody(false, kErrUnknownCommand);
  }));
  TLarkspireConnection connection;
  connection.SetRemotePort(peer.Port());
  try {
    connection.Subscribe("ch");
    FAIL() << "subscribed on a server without notifications";
  } catch (const ELarkspireException& e) {
    EXPECT_NE(std::string(e.what()).find("this server does not send notifications"),
              std::string::npos)
        << e.what();
  }
  EXPECT_EQ(connection.NotificationRoute(), TNotificationRoute::None);
  try {
    connection.Notify("ch", "x");
    FAIL() << "notified a server without notifications";
  } catch (const ELarkspireException& e) {
    EXPECT_NE(std::string(e.what()).find("this server does not send notifications"),
              std::string::npos)
        << e.what();
  }
}

}  // namespace
}  // namespace larkspire::test
