// The datagram endpoint a connection owns.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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

// Sends one stream message to the connection's endpoint and waits until the connection has
// handled it (kept or dropped).
class TEndpointPeer {
 public:
  explicit TEndpointPeer(TLarkspireConnection& connection) {
    EXPECT_TRUE(peer_.OpenLink("127.0.0.1", connection.UdpSocket().Port(), ""));
  }
  void Send(TStream& stream, const std::function<int()>& handled) {
    const int before = handled();
    stream.SetPosition(0);
    ASSERT_TRUE(peer_.SendStream(stream));
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (handled() == before && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  void Send(TRemoteCommand& command, const std::function<int()>& handled) {
    TLarkspireMemoryStream stream;
    command.SaveToStream(stream);
    Send(stream, handled);
  }

 private:
  TSuperUdpSocket peer_{"127.0.0.1", 0, 0};
};

TEST(TLarkspireConnectionEndpoint, UnwantedMessageIsDroppedUndecodedAndReportsNoProgress) {
  TLarkspireConnection connection;
  // Assigned after the endpoint was made: never called from its threads.
  std::atomic<int> progress_calls{0};
  connection.OnProgress = [&](double, TTransType) { ++progress_calls; };
  TEndpointPeer peer(connection);
  // Not a command message at all: nobody wants it, so nobody decodes it.
  TMemoryStream garbage;
  garbage.SetSize(30 * 1024);
  std::memset(garbage.Memory(), 0x5A, 30 * 1024);
  peer.Send(garbage, [&] { return connection.DatagramMessagesIgnored(); });
  EXPECT_EQ(connection.DatagramMessagesIgnored(), 1);
  EXPECT_EQ(progress_calls.load(), 0);
}

TEST(TLarkspireConnectionEndpoint, WantedMessagesAreDecodedWithinTheDatagramBound) {
  TLarkspireConnection connection;
  EXPECT_EQ(connection.MaxDatagramMessage(), uint64_t{64} << 20);
  connection.SetMaxDatagramMessage(1 << 20);
  std::mutex mutex;
  std::vector<std::string> seen;
  connection.SetOnDatagramCommand([&](const std::string&, int, TRemoteCommand& message) {
    std::lock_guard lock(mutex);
    seen.push_back(message.Message);
  });
  const auto handled = [&] {
    std::lock_guard lock(mutex);
    return static_cast<int>(seen.size()) + connection.DatagramMessagesIgnored();
  };
  TEndpointPeer peer(connection);
  TRemoteCommand note;
  note.Message = "note";
  peer.Send(note, handled);
  // A few kilobytes that would inflate past the bound are dropped once they pass it.
  TRemoteCommand bomb;
  bomb.Message = "bomb";
  bomb.Data.SetSize(4 << 20);
  std::memset(bomb.Data.Memory(), 0, 4 << 20);
  peer.Send(bomb, handled);
  std::lock_guard lock(mutex);
  EXPECT_EQ(seen, std::vector<std::string>{"note"});
  EXPECT_EQ(connection.DatagramMessagesIgnored(), 1);
}

}  // namespace
}  // namespace larkspire
