// Notifications over the datagram link against a real server, through a UDP relay standing in
// for the network (the server names the relay's port to its clients, as it would a port
// mapping's): through a relay that drops and reorders datagrams both ways every notification
// arrives once and in order per channel; through one that drops everything they arrive over TCP;
// under TLS the relay sees sealed records only, never a payload.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "components/connection.h"
#include "components/notification_datagram.h"
#include "protocol/remote_command.h"
#include "support/datagram_doubles.h"
#include "support/jumping_clock.h"
#include "support/notification_inbox.h"
#include "support/run_program.h"
#include "support/server_fixture.h"
#include "transport/datagram_packets.h"
#include "transport/notification_seal.h"

namespace larkspire {
namespace {

namespace fs = std::filesystem;
using test::TLossyRelay;
using test::TNotificationInbox;
using test::TRelayFaults;
using test::TServerProcess;

bool WaitForRoute(TLarkspireConnection& connection, TNotificationRoute route,
                  std::chrono::seconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (connection.NotificationRoute() != route) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

void Point(TLarkspireConnection& connection, uint16_t port) {
  connection.SetRemoteIP("127.0.0.1");
  connection.SetRemotePort(port);
}

// A server whose clients reach its datagram endpoint through a relay, with one listening
// connection whose notifications go to inbox.
struct TRelayedServer {
  TRelayedServer(const TRelayFaults& faults, std::vector<std::string> server_arguments = {})
      : relay(0, faults), server(WithRelayPort(std::move(server_arguments), relay)) {
    relay.SetServerPort(server.Port());
    Point(listener, server.Port());
    listener.SetOnNotification(inbox.Handler());
  }
  static std::vector<std::string> WithRelayPort(std::vector<std::string> arguments,
                                                const TLossyRelay& relay) {
    arguments.push_back("--notify-udp-port");
    arguments.push_back(std::to_string(relay.ClientPort()));
    return arguments;
  }

  TLossyRelay relay;
  TServerProcess server;
  TNotificationInbox inbox;
  TLarkspireConnection listener;
};

// Every channel's notifications arrived once, in the order sent, none marked missed.
void ExpectInOrder(const std::vector<TLarkspireNotification>& received,
                   const std::vector<std::string>& channels, int per_channel) {
  std::map<std::string, std::vector<TLarkspireNotification>> by_channel;
  for (const auto& notification : received)
    by_channel[notification.Channel].push_back(notification);
  ASSERT_EQ(by_channel.size(), channels.size());
  for (const std::string& channel : channels) {
    const auto& list = by_channel[channel];
    ASSERT_EQ(list.size(), static_cast<size_t>(per_channel)) << channel;
    for (int i = 0; i < per_channel; ++i) {
      EXPECT_EQ(list[i].Payload, channel + "-" + std::to_string(i + 1));
      EXPECT_EQ(list[i].Sequence, static_cast<uint64_t>(i + 1));
      EXPECT_FALSE(list[i].Missed) << channel << " " << i + 1;
    }
  }
}

std::vector<std::string> NotifyMessages(const std::vector<std::string>& datagrams);

void Publish(TLarkspireConnection& publisher, const std::vector<std::string>& channels,
             int per_channel, const std::string& prefix = "") {
  for (int i = 1; i <= per_channel; ++i) {
    for (const std::string& channel : channels) {
      publisher.Notify(channel, prefix + channel + "-" + std::to_string(i));
    }
  }
}

TEST(NotifyDatagramE2E, LossyReorderingNetworkDeliversEachOnceInOrder) {
  TRelayFaults faults;
  faults.drop = 0.15;
  faults.duplicate = 0.05;
  faults.reorder = 0.15;
  faults.seed = 7;
  TRelayedServer setup(faults);
  auto& [relay, server, inbox, listener] = setup;
  const std::vector<std::string> channels = {"prices", "orders"};
  for (const auto& channel : channels) listener.Subscribe(channel);
  ASSERT_TRUE(WaitForRoute(listener, TNotificationRoute::Datagram, std::chrono::seconds(20)))
      << server.Log();

  TLarkspireConnection publisher;
  Point(publisher, server.Port());
  constexpr int kPerChannel = 60;
  Publish(publisher, channels, kPerChannel);
  ASSERT_TRUE(inbox.WaitFor(channels.size() * kPerChannel, 90000))
      << inbox.Received().size() << " arrived";
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // nothing more comes
  ExpectInOrder(inbox.Received(), channels, kPerChannel);
  EXPECT_EQ(listener.NotificationRoute(), TNotificationRoute::Datagram);
  // The network did misbehave, both ways.
  EXPECT_GT(relay.Dropped(), 10u);
  EXPECT_GT(relay.Duplicated(), 3u);
  EXPECT_GT(relay.Reordered(), 10u);
  EXPECT_GE(NotifyMessages(relay.FromServer()).size(), channels.size() * kPerChannel);
}

TEST(NotifyDatagramE2E, NetworkDroppingEveryDatagramFallsBackToTcp) {
  TRelayedServer setup(TRelayFaults{});
  auto& [relay, server, inbox, listener] = setup;
  relay.SetDropAll(true);
  listener.Subscribe("jobs");
  ASSERT_TRUE(WaitForRoute(listener, TNotificationRoute::Tcp, std::chrono::seconds(10)));

  TLarkspireConnection publisher;
  Point(publisher, server.Port());
  Publish(publisher, {"jobs"}, 20);
  ASSERT_TRUE(inbox.WaitFor(20, 30000));
  ExpectInOrder(inbox.Received(), {"jobs"}, 20);
  EXPECT_EQ(listener.NotificationRoute(), TNotificationRoute::Tcp);
  EXPECT_GT(relay.Dropped(), 0u);  // the link was tried
}

TEST(NotifyDatagramE2E, LinkThatDiesFallsBackToTcpAndLosesNothing) {
  test::TJumpingClock clock;
  TRelayedServer setup(TRelayFaults{});
  auto& [relay, server, inbox, listener] = setup;
  listener.Subscribe("feed");
  ASSERT_TRUE(WaitForRoute(listener, TNotificationRoute::Datagram, std::chrono::seconds(20)));
  TLarkspireConnection publisher;
  Point(publisher, server.Port());
  for (int i = 1; i <= 5; ++i) publisher.Notify("feed", "feed-" + std::to_string(i));
  ASSERT_TRUE(inbox.WaitFor(5, 10000));

  // The path goes dead: the server's sends give up and it queues for 604 again; the listener,
  // hearing nothing for longer than its bound, stops counting on the link.
  relay.SetDropAll(true);
  for (int i = 6; i <= 10; ++i) publisher.Notify("feed", "feed-" + std::to_string(i));
  clock.Jump(kLinkSilenceMs + 1000);
  EXPECT_TRUE(WaitForRoute(listener, TNotificationRoute::Tcp, std::chrono::seconds(5)));
  ASSERT_TRUE(inbox.WaitFor(10, 40000));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ExpectInOrder(inbox.Received(), {"feed"}, 10);
}

// A self-signed certificate for 127.0.0.1, made with the openssl command.
class TSelfSigned {
 public:
  TSelfSigned() {
    dir_ = fs::temp_directory_path() / ("lk-notify-tls-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
    const auto made = test::RunProgram(
        "/usr/bin/openssl", {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                             "-nodes", "-days", "2", "-subj", "/CN=localhost", "-addext",
                             "subjectAltName=IP:127.0.0.1", "-keyout", Key(), "-out", Cert()});
    failure_ = made.exit_code == 0 ? "" : made.err;
  }
  ~TSelfSigned() {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  std::string Cert() const { return (dir_ / "cert.pem").string(); }
  std::string Key() const { return (dir_ / "key.pem").string(); }
  const std::string& Failure() const { return failure_; }

 private:
  fs::path dir_;
  std::string failure_;
};

// The messages in the datagrams the server sent: each record fits one data packet, so each
// such packet holds a whole TRemoteCommand.
std::vector<std::string> NotifyMessages(const std::vector<std::string>& datagrams) {
  namespace off = datagram_offset;
  std::vector<std::string> messages;
  for (const std::string& datagram : datagrams) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(datagram.data());
    if (datagram.size() < kDataHeaderSize || bytes[0] != pkData) continue;
    if (GetU32(bytes + off::kDataCount) != 1) continue;
    TMemoryStream stream;
    stream.WriteBuffer(bytes + off::kDataPayload,
                       static_cast<int64_t>(datagram.size() - kDataHeaderSize));
    stream.SetPosition(0);
    TRemoteCommand message;
    try {
      message.LoadFromStream(stream);
    } catch (const std::exception&) {
      continue;
    }
    if (message.Code == cmdNotify) messages.push_back(message.GetDataText());
  }
  return messages;
}

TEST(NotifyDatagramE2E, UnderTlsTheNetworkSeesSealedRecordsOnly) {
  TSelfSigned certificate;
  ASSERT_EQ(certificate.Failure(), "");
  TRelayedServer setup(TRelayFaults{},
                       {"--tls-cert", certificate.Cert(), "--tls-key", certificate.Key()});
  auto& [relay, server, inbox, listener] = setup;
  const auto tls = [&](TLarkspireConnection& connection) {
    connection.SetUseTls(true);
    connection.SetTlsCaFile(certificate.Cert());
  };
  tls(listener);
  listener.Subscribe("vault");
  ASSERT_TRUE(WaitForRoute(listener, TNotificationRoute::Datagram, std::chrono::seconds(20)))
      << server.Log();
  TLarkspireConnection publisher;
  Point(publisher, server.Port());
  tls(publisher);
  Publish(publisher, {"vault"}, 20, "combination ");
  ASSERT_TRUE(inbox.WaitFor(20, 30000));
  const auto received = inbox.Received();
  ASSERT_EQ(received.size(), 20u);
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(received[i].Payload, "combination vault-" + std::to_string(i + 1));
  }
  EXPECT_EQ(listener.NotificationRoute(), TNotificationRoute::Datagram);

  // Every record went over the relay sealed: nothing of a payload in the datagrams, nor in the
  // records once their messages are unpacked.
  const std::vector<std::string> datagrams = relay.FromServer();
  for (const std::string& datagram : datagrams) {
    EXPECT_EQ(datagram.find("combination"), std::string::npos);
  }
  const std::vector<std::string> records = NotifyMessages(datagrams);
  EXPECT_GE(records.size(), 20u);
  for (const std::string& record : records) {
    ASSERT_GT(record.size(), kSealOverhead);
    EXPECT_EQ(static_cast<uint8_t>(record[0]), kRecordSealed);
    EXPECT_EQ(record.find("combination"), std::string::npos);
    EXPECT_EQ(record.find("vault"), std::string::npos);
  }
}

}  // namespace
}  // namespace larkspire
