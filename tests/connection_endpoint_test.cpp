// The datagram endpoint a connection owns.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "components/connection.h"
#include "protocol/memory_stream.h"
#include "support/datagram_doubles.h"

namespace larkspire {
namespace {

using test::TDatagramApiGuard;
using test::TFaultDatagramApi;

TEST(TLarkspireConnectionEndpoint, IsMadeAndFreedWithTheConnection) {
  TFaultDatagramApi api;
  TDatagramApiGuard guard(api);
  {
    TLarkspireConnection connection;
    EXPECT_EQ(connection.UdpSocket().BindAddress(), "0.0.0.0");
    EXPECT_GT(connection.UdpSocket().Port(), 0);
    EXPECT_TRUE(connection.UdpSocket().Receiving());
    EXPECT_EQ(api.OpenSockets(), 1);
  }
  EXPECT_EQ(api.OpenSockets(), 0);
}

TEST(TLarkspireConnectionEndpoint, MessageWithoutAWaitingCommandLeavesTheConnectionIdle) {
  TLarkspireConnection connection;
  connection.Reply().Message = "kept";
  TSuperUdpSocket peer("127.0.0.1", 0, 0);
  ASSERT_TRUE(peer.OpenLink("127.0.0.1", connection.UdpSocket().Port(), ""));
  TRemoteCommand reply;
  reply.Success = true;
  reply.Message = "from a datagram peer";
  TLarkspireMemoryStream stream;
  reply.SaveToStream(stream);
  stream.SetPosition(0);
  ASSERT_TRUE(peer.SendStream(stream));
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (connection.DatagramMessagesIgnored() == 0 && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_EQ(connection.DatagramMessagesIgnored(), 1);
  EXPECT_FALSE(connection.Busy());
  EXPECT_EQ(connection.Reply().Message, "kept");
}

}  // namespace
}  // namespace larkspire
