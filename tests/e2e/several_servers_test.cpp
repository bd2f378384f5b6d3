// Several real larkspire-servers: each answers load queries on its datagram port (read by an
// independent peer written from the wire layout alone, tests/support/datagram_peer.py), and a
// client given all of them connects to the least loaded, skips one that is down at once and
// goes on on another when the one it used dies. A server bound to "::" serves IPv6 and IPv4
// clients on both of its ports.
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "components/connection.h"
#include "components/exception.h"
#include "components/query.h"
#include "gtest/gtest.h"
#include "protocol/error_codes.h"
#include "support/raw_client.h"
#include "support/run_program.h"
#include "support/server_fixture.h"
#include "transport/load_probe.h"

namespace larkspire {
namespace {

using test::TRawClient;
using test::TServerProcess;

const std::string kPeerScript =
    std::string(LARKSPIRE_SOURCE_DIR) + "/tests/support/datagram_peer.py";

std::string LoadSeenByPeer(uint16_t port, const std::string& host = "127.0.0.1") {
  const test::TProgramResult result = test::RunProgram(
      "/usr/bin/python3", {kPeerScript, "load", std::to_string(port), host}, 10000);
  EXPECT_EQ(result.exit_code, 0) << result.err;
  return result.out;
}

// A loopback port nobody listens on (bound, then closed).
uint16_t ClosedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

std::string Entry(uint16_t port) {
  return "127.0.0.1:" + std::to_string(port);
}

// Holds n sessions of the server open.
std::vector<std::unique_ptr<TRawClient>> HoldSessions(uint16_t port, int n) {
  std::vector<std::unique_ptr<TRawClient>> clients;
  for (int i = 0; i < n; ++i) {
    clients.push_back(std::make_unique<TRawClient>());
    EXPECT_TRUE(clients.back()->Connect(port));
    EXPECT_EQ(clients.back()->Handshake("00-11-22-33-44-55", "Holder").Status, 1);
  }
  return clients;
}

TEST(SeveralServersE2ETest, TheLoadAnswerFollowsTheSessionsInUseAndItsPortCanBeMovedOrClosed) {
  TServerProcess server({"--max-connections", "4"});
  EXPECT_EQ(LoadSeenByPeer(server.Port()), "load 0\n");
  {
    auto held = HoldSessions(server.Port(), 1);
    EXPECT_EQ(LoadSeenByPeer(server.Port()), "load 250\n");
  }

  const uint16_t moved = ClosedPort();
  TServerProcess elsewhere({"--udp-port", std::to_string(moved)});
  EXPECT_EQ(LoadSeenByPeer(moved), "load 0\n");
  TServerProcess none({"--udp-port", "0"});
  EXPECT_EQ(LoadSeenByPeer(none.Port()), "no answer\n");
}

TEST(SeveralServersE2ETest, TheClientGoesToTheLeastLoadedAndSkipsADeadHostAtOnce) {
  TServerProcess busy({"--max-connections", "4"});
  TServerProcess idle({"--max-connections", "4"});
  auto held = HoldSessions(busy.Port(), 2);
  const test::TProgramResult status =
      test::RunCli({"status", "-H", Entry(busy.Port()) + "," + Entry(idle.Port())});
  EXPECT_EQ(status.exit_code, 0) << status.err;
  EXPECT_NE(status.out.find("connected to " + Entry(idle.Port())), std::string::npos) << status.out;

  // A first host that is down costs no wait.
  TLarkspireConnection connection;
  connection.SetRemoteIP(Entry(ClosedPort()) + ", " + Entry(idle.Port()) + "," +
                         Entry(busy.Port()));
  const auto start = std::chrono::steady_clock::now();
  connection.SetConnected(true);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  ASSERT_TRUE(connection.Connected()) << connection.ErrorText();
  EXPECT_EQ(connection.ConnectedServer(), Entry(idle.Port()));
  EXPECT_LT(elapsed, std::chrono::milliseconds(600));

  TLarkspireConnection bad;
  bad.SetRemoteIP("127.0.0.1:99999," + Entry(idle.Port()));
  bad.SetConnected(true);
  EXPECT_FALSE(bad.Connected());
  EXPECT_NE(bad.ErrorText().find("99999"), std::string::npos) << bad.ErrorText();
}

TEST(SeveralServersE2ETest, WhenItsServerDiesTheClientGoesOnOnTheOtherAndALostTransactionIsSaid) {
  auto first = std::make_unique<TServerProcess>();
  TServerProcess second;
  TLarkspireConnection connection;
  connection.SetName("Conn");
  connection.SetRemoteIP(Entry(first->Port()) + "," + Entry(second.Port()));
  TLarkspireQuery read;
  read.SetName("Read");
  read.SetConnection(&connection);
  read.SQL().SetText("select ProName from products where ProId = 1");
  read.Open();
  const std::string name = read.FieldByName("ProName").AsString();
  // Equal loads: list order.
  ASSERT_EQ(connection.ConnectedServer(), Entry(first->Port()));

  ASSERT_EQ(connection.StartTransaction(), 1);
  ASSERT_EQ(::kill(first->Pid(), SIGKILL), 0);
  first->Stop();
  read.Close();
  try {
    read.Open();
    ADD_FAILURE() << "the open in a lost transaction succeeded";
  } catch (const ELarkspireException& e) {
    EXPECT_EQ(e.ErrorCode(), kErrTransactionLost) << e.what();
  }
  EXPECT_EQ(connection.ConnectedServer(), Entry(second.Port()));
  read.Open();
  EXPECT_EQ(read.FieldByName("ProName").AsString(), name);
}

// Whether this machine has the IPv6 loopback address.
bool HasIPv6Loopback() {
  const int fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_loopback;
  const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return bound;
}

TEST(SeveralServersE2ETest, AServerBoundToBothFamiliesServesIPv6AndIPv4OnBothPorts) {
  if (!HasIPv6Loopback()) GTEST_SKIP() << "this machine has no IPv6 loopback address (::1)";
  TServerProcess server({"--bind", "::", "--max-connections", "4"});
  const std::string port = std::to_string(server.Port());
  auto held = HoldSessions(server.Port(), 1);  // over IPv4

  // Commands over TCP, from either family.
  for (const std::string& entry : {"[::1]:" + port, "127.0.0.1:" + port}) {
    TLarkspireConnection connection;
    connection.SetRemoteIP(entry);
    TLarkspireQuery read;
    read.SetConnection(&connection);
    read.SQL().SetText("select ProId from products where ProId = 2");
    read.Open();
    EXPECT_EQ(read.FieldByName("ProId").AsInteger(), 2) << entry;
    EXPECT_EQ(connection.ConnectedServer(), entry);
  }
  // The load over UDP, from either family: one session of four, once the two connections'
  // sessions, closed just now, have ended on the server.
  auto loads = ProbeLoads({{"::1", server.Port()}, {"127.0.0.1", server.Port()}}, 1000);
  for (int tries = 0; tries < 100 && (loads[0] > 250 || loads[1] > 250); ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    loads = ProbeLoads({{"::1", server.Port()}, {"127.0.0.1", server.Port()}}, 1000);
  }
  EXPECT_EQ(loads[0], 250);
  EXPECT_EQ(loads[1], 250);
  EXPECT_EQ(LoadSeenByPeer(server.Port(), "::1"), "load 250\n");

  const test::TProgramResult status = test::RunCli({"-H", "[::1]:" + port, "status"});
  EXPECT_EQ(status.exit_code, 0) << status.err;
  EXPECT_NE(status.out.find("connected to [::1]:" + port), std::string::npos) << status.out;

  held.clear();
  server.Stop();
  // IPv4 clients of the dual-stack listener are logged as IPv4, IPv6 ones in brackets.
  EXPECT_NE(server.Log().find("peer [::1]:"), std::string::npos) << server.Log();
  EXPECT_NE(server.Log().find("peer 127.0.0.1:"), std::string::npos) << server.Log();
  EXPECT_EQ(server.Log().find("::ffff:"), std::string::npos) << server.Log();
}

}  // namespace
}  // namespace larkspire
