#include "transport/tcp_client.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/exception.h"
#include "support/fault_socket_api.h"
#include "support/scripted_peer.h"

namespace larkspire {
namespace {

using test::AcceptedHandshake;
using test::Frame;
using test::HandshakeReply;
using test::TFaultSocketApi;
using test::TScriptedPeer;
using test::TSocketApiGuard;
using ::testing::ElementsAre;

constexpr char kLoopback[] = "127.0.0.1";

void Fill(TMemoryStream& stream, const std::string& bytes) {
  stream.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
}

std::string Pattern(size_t size) {
  std::string bytes(size, '\0');
  std::mt19937 random(42);
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A stream that claims a size without holding the bytes; reads give zeros.
class TSizedStream : public TStream {
 public:
  explicit TSizedStream(int64_t size) : size_(size) {}
  int64_t Read(void* buffer, int64_t count) override {
    const int64_t n = std::min(count, size_ - position_);
    if (n <= 0) return 0;
    std::memset(buffer, 0, static_cast<size_t>(n));
    position_ += n;
    return n;
  }
  int64_t Write(const void*, int64_t) override { return 0; }
  int64_t Seek(int64_t offset, TSeekOrigin origin) override {
    position_ = origin == TSeekOrigin::soBeginning ? offset
                : origin == TSeekOrigin::soCurrent ? position_ + offset
                                                   : size_ + offset;
    return position_;
  }
  void SetSize(int64_t) override {}

 private:
  int64_t size_;
  int64_t position_ = 0;
};

// ---------------------------------------------------------------------------------------------
// Connect and the handshake

TEST(TSuperTcpClient, ConnectWhenConnectedDoesNoTraffic) {
  TScriptedPeer peer(TScriptedPeer::AnswerHandshake(AcceptedHandshake()));
  TFaultSocketApi api;
  TSocketApiGuard guard(api);
  TSuperTcpClient client;
  ASSERT_TRUE(client.Connect(kLoopback, peer.Port(), "id/client", 1));
  const TSocket socket = client.Socket();
  api.Reset();

  EXPECT_TRUE(client.Connect("no.such.host.invalid", 1, "other", 1));
  EXPECT_TRUE(api.Calls().empty());
  EXPECT_EQ(client.Socket(), socket);
  EXPECT_EQ(peer.Connections(), 1);
}

TEST(TSuperTcpClient, ConnectSetsUpTheSocketBeforeTheHandshake) {
  TScriptedPeer peer(TScriptedPeer::AnswerHandshake(AcceptedHandshake()));
  TFaultSocketApi api;
  TSocketApiGuard guard(api);
  TSuperTcpClient client;
  client.SetReceiveTimeout(300);
  ASSERT_TRUE(client.Connect("LocalHost", peer.Port(), "x", 1));

  const std::vector<std::string> calls = api.Calls();
  ASSERT_GE(calls.size(), 8u);
  EXPECT_THAT(std::vector<std::string>(calls.begin(), calls.begin() + 8),
              ElementsAre("CreateStreamSocket", "SetNonBlocking(1)",
                          "Connect(127.0.0.1:" + std::to_string(peer.Port()) + ")", "Select",
                          "SetNonBlocking(0)", "SetKeepAlive(1,4400,4)", "SetReceiveTimeout(300)",
                          "Send(4)"));
}

TEST(TSuperTcpClient, ReceiveTimeoutDefaultsToTwoMinutes) {
  TScriptedPeer peer(TScriptedPeer::AnswerHandshake(AcceptedHandshake()));
  TFaultSocketApi api;
  TSocketApiGuard guard(api);
  TSuperTcpClient client;
  EXPECT_EQ(client.ReceiveTimeout(), 120000u);
  ASSERT_TRUE(client.Connect(kLoopback, peer.Port(), "x", 1));
  EXPECT_THAT(api.ReceiveTimeouts(), ElementsAre(120000u));
}

TEST(TSuperTcpClient, SendsAuthTextAsTheHandshakeBody) {
  TScriptedPeer peer(TScriptedPeer::AnswerHandshake(AcceptedHandshake()));
  TSuperTcpClient client;
  const std::string auth = "00-1A-2B-3C-4D-5E/Client \xE5\xAE\xA2";
  ASSERT_TRUE(client.Connect(kLoopback, peer.Port(), auth, 1));
  ASSERT_TRUE(peer.WaitForFrames(1));
  EXPECT_EQ(peer.Frames()[0], "Auth:" + auth);
  EXPECT_EQ(peer.RawReceived(), Frame("Auth:" + auth));
  EXPECT_TRUE(client.Connected());
  EXPECT_EQ(client.HandshakeStatus(), 1);
  EXPECT_EQ(client.HandshakeCode(), 0);
}

TEST(TSuperTcpClient, NothingListeningFailsWithinTheTimeout) {
  const uint16_t port = test::FreeLoopbackPort();
  TFaultSocketApi api;
  TSocketApiGuard guard(api);
  TSuperTcpClient client;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(client.Connect(kLoopback, port, "x", 1));
  EXPECT_LT(SecondsSince(start), 1.5);
  EXPECT_FALSE(client.Connected());
  EXPECT_EQ(client.HandshakeStatus(), 0);
  EXPECT_EQ(client.Socket(), kInvalidSocket);
  EXPECT_EQ(api.OpenSockets(), 0);
  EXPECT_EQ(api.CountCalls("Send"), 0);
}

TEST(TSuperTcpClient, FailedSelectClosesTheSocket) {
  TScriptedPeer peer(TScriptedPeer::AnswerHandshake(AcceptedHandshake()));
  TFaultSocketApi api;
  api.FailSelect();
  TSocketApiGuard guard(api);
  TSuperTcpClient client;
  EXPECT_FALSE(client.Connect(kLoopback, peer.Port(), "x", 1));
  EXPECT_EQ(client.Socket(), kInvalidSocket);
  EXPECT_EQ(api.OpenSockets(), 0);
  // Blocking mode and keep-alive are set whatever the wait returned.
  EXPECT_EQ(api.CountCalls("SetNonBlocking(0)"), 1);
  EXPECT_EQ(api.CountCalls("SetKeepAlive(1,4400,4)"), 1);
}

TEST(TSuperTcpClient, RefusedHandshakeKeepsStatusAndCode) {
  TScriptedPeer peer(TScriptedPeer::AnswerHandshake(HandshakeReply(3, 100022)));
  TFaultSocketApi api;
  TSocketApiGuard guard(api);
  TSuperTcpClient client;
  EXPECT_FALSE(client.Connect(kLoopback, peer.Port(), "x", 1));
  EXPECT_EQ(client.HandshakeStatus(), 3);
  EXPECT_EQ(client.HandshakeCode(), 100022);
  EXPECT_EQ(client.Socket(), kInvalidSocket);
  EXPECT_EQ(api.OpenSockets(), 0);
}

TEST(TSuperTcpClient, StatusOtherThanOneIsNotAccepted) {
  TScriptedPeer peer(TScriptedPeer::AnswerHandshake(HandshakeReply(2, -7)));
  TSuperTcpClient client;
  EXPECT_FALSE(client.Connect(kLoopback, peer.Port(), "x", 1));
  EXPECT_EQ(client.HandshakeStatus(), 2);
  EXPECT_EQ(client.HandshakeCode(), -7);
}

TEST(TSuperTcpClient, ShortHandshakeReplyLeavesFieldsAsTheyWere) {
  {
    TScriptedPeer peer(TScriptedPeer::AnswerHandshake("LKSRV"));
    TSuperTcpClient client;
    EXPECT_FALSE(client.Connect(kLoopback, peer.Port(), "x", 1));
    EXPECT_EQ(client.HandshakeStatus(), 0);
  }
  // A body with the status but no room for the code keeps the code of the previous handshake.
  TScriptedPeer refusing(TScriptedPeer::AnswerHandshake(HandshakeReply(3, 100021)));
  TScriptedPeer short_accept(TScriptedPeer::AnswerHandshake(std::string("LKSRV\x01\x09", 7)));
  TSuperTcpClient client;
  EXPECT_FALSE(client.Connect(kLoopback, refusing.Port(), "x", 1));
  EXPECT_TRUE(client.Connect(kLoopback, short_accept.Port(), "x", 1));
  EXPECT_EQ(client.HandshakeStatus(), 1);
  EXPECT_EQ(client.HandshakeCode(), 100021);
}

TEST(TSuperTcpClient, PeerThatHangsUpOrNeverAnswersFailsTheHandshake) {
  TScriptedPeer closing(TScriptedPeer::AcceptThenClose());
  TScriptedPeer silent(TScriptedPeer::NeverAnswer());
  TFaultSocketApi api;
  TSocketApiGuard guard(api);
  TSuperTcpClient client;
  client.SetReceiveTimeout(300);
  EXPECT_FALSE(client.Connect(kLoopback, closing.Port(), "x", 1));
  EXPECT_EQ(client.HandshakeStatus(), 0);

  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(client.Connect(kLoopback, silent.Port(), "x", 1));
  EXPECT_LT(SecondsSince(start), 3.0);
  EXPECT_EQ(client.HandshakeStatus(), 0);
  EXPECT_EQ(api.OpenSockets(), 0);
}

TEST(TSuperTcpClient, SocketCreationFailureRaises) {
  TFaultSocketApi api;
  api.FailCreateSocket();
  TSocketApiGuard guard(api);
  TSuperTcpClient client;
  try {
    client.Connect(kLoopback, 8008, "x", 1);
    FAIL() << "Connect did not raise";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "套接字创建失败");
  }
  EXPECT_EQ(client.Socket(), kInvalidSocket);
  EXPECT_FALSE(client.Connected());
}

TEST(TSuperTcpClient, UnresolvableHostFailsWithoutConnecting) {
  TFaultSocketApi api;
  api.FailLookup();
  TSocketApiGuard guard(api);
  TSuperTcpClient client;
  EXPECT_FALSE(client.Connect("no.such.host", 8008, "x", 1));
  EXPECT_EQ(api.CountCalls("Connect"), 0);
  EXPECT_EQ(api.OpenSockets(), 0);
}

TEST(TSuperTcpClient, ReconnectAfterBrokenTransferUsesAFreshSocket) {
  TScriptedPeer peer([](test::TPeerConnection& connection) {
    std::string request;
    if (!connection.ReadFrame(request) || !connection.WriteFrame(AcceptedHandshake())) return;
    // The first connection breaks off in the middle of its reply; later ones echo.
    while (connection.ReadFrame(request)) {
      if (connection.Index() == 0) {
        connection.WriteRaw(Frame(request).substr(0, 6));
        return;
      }
      connection.WriteFrame(request);
    }
  });
  TFaultSocketApi api;
  TSocketApiGuard guard(api);
  {
    TSuperTcpClient client;
    ASSERT_TRUE(client.Connect(kLoopback, peer.Port(), "x", 1));
    TMemoryStream request;
    Fill(request, "ping");
    ASSERT_TRUE(client.SendStream(request));
    TMemoryStream reply;
    EXPECT_FALSE(client.ReceiveStream(reply));
    EXPECT_FALSE(client.Connected());
    EXPECT_NE(client.Socket(), kInvalidSocket);  // open until Disconnect or the next Connect

    ASSERT_TRUE(client.Connect(kLoopback, peer.Port(), "x", 1));
    EXPECT_EQ(api.OpenSockets(), 1);
    ASSERT_TRUE(client.SendStream(request));
    TMemoryStream echo;
    ASSERT_TRUE(client.ReceiveStream(echo));
    EXPECT_EQ(echo.Bytes(), "ping");
    EXPECT_EQ(peer.Connections(), 2);

    client.Disconnect();
    EXPECT_EQ(client.Socket(), kInvalidSocket);
    EXPECT_FALSE(client.Connected());
    EXPECT_EQ(client.HandshakeStatus(), 1);
    ASSERT_TRUE(client.Connect(kLoopback, peer.Port(), "x", 1));
  }
  // Destruction closes the socket.
  EXPECT_EQ(api.OpenSockets(), 0);
}

// ---------------------------------------------------------------------------------------------
// SendStream

struct TProgressLog {
  std::vector<double> values;
  std::vector<TTransType> kinds;
  TOnTransProgressEvent Handler() {
    return [this](double progress, TTransType kind) {
      values.push_back(progress);
      kinds.push_back(kind);
    };
  }
};

// Holds an Interrupt inside its shutdown until released, and notes the order of events.
class TSlowInterruptApi : public TFaultSocketApi {
 public:
  int Shutdown(TSocket socket) override {
    if (std::this_thread::get_id() == interrupter) {
      std::unique_lock lock(mutex);
      entered = true;
      changed.notify_all();
      changed.wait_for(lock, std::chrono::seconds(2), [&] { return released; });
      events.push_back("interrupt's shutdown");
    }
    return TFaultSocketApi::Shutdown(socket);
  }
  int Close(TSocket socket) override {
    {
      std::lock_guard lock(mutex);
      events.push_back("close");
    }
    return TFaultSocketApi::Close(socket);
  }

  std::thread::id interrupter;
  std::mutex mutex;
  std::condition_variable changed;
  bool entered = false;
  bool released = false;
  std::vector<std::string> events;
};

TEST(TSuperTcpClient, DisconnectNeverClosesTheSocketUnderAnInterrupt) {
  TScriptedPeer peer([](test::TPeerConnection& connection) {
    std::string request;
    if (connection.ReadFrame(request)) connection.WriteFrame(AcceptedHandshake());
    while (connection.ReadFrame(request)) {
    }
  });
  TSlowInterruptApi api;
  TSocketApiGuard guard(api);
  TSuperTcpClient client;
  ASSERT_TRUE(client.Connect(kLoopback, peer.Port(), "x", 1));
  std::thread interrupting([&] {
    {
      std::lock_guard lock(api.mutex);
      api.interrupter = std::this_thread::get_id();
    }
    client.Interrupt();
  });
  {
    std::unique_lock lock(api.mutex);
    ASSERT_TRUE(api.changed.wait_for(lock, std::chrono::seconds(2), [&] { return api.entered; }));
  }
  // The interrupt holds the socket's number; a disconnect meanwhile must not free it, or the
  // number could name a stranger's socket by the time the interrupt shuts it down.
  std::atomic<bool> disconnected{false};
  std::thread disconnecting([&] {
    client.Disconnect();
    disconnected = true;
  });
  for (int i = 0; i < 100 && !disconnected; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  {
    std::lock_guard lock(api.mutex);
    api.released = true;
  }
  api.changed.notify_all();
  interrupting.join();
  disconnecting.join();
  EXPECT_THAT(api.events, ElementsAre("interrupt's shutdown", "close"));
}

TEST(TSuperTcpClient, SendsChunksOf8192WithProgressAfterEach) {
  TScriptedPeer peer(TScriptedPeer::ServeReplies(AcceptedHandshake(), {"ok"}));
  TFaultSocketApi api;
  TSocketApiGuard guard(api);
  TSuperTcpClient client;
  ASSERT_TRUE(client.Connect(kLoopback, peer.Port(), "x", 1));
  api.Reset();

  TProgressLog progress;
  client.OnProgress = progress.Handler();
  const std::string body = Pattern(20000);
  TMemoryStream stream;
  Fill(stream, body);  // the position is at the end: SendStream rewinds
  ASSERT_TRUE(client.SendStream(stream));

  EXPECT_THAT(api.Calls(), ElementsAre("Send(4)", "Send(8192)", "Send(8192)", "SetNoDelay(1)",
                                       "Send(3616)", "SetNoDelay(0)"));
  EXPECT_THAT(progress.values, ElementsAre(8192.0 / 20000, 16384.0 / 20000, 1.0));
  EXPECT_THAT(progress.kinds, ElementsAre(tstSend, tstSend, tstSend));

  ASSERT_TRUE(peer.WaitForFrames(2));
  const std::string raw = peer.RawReceived();
  const size_t handshake = Frame("Auth:x").size();
  ASSERT_EQ(raw.size(), handshake + 4 + 20000);
  EXPECT_EQ(raw.substr(handshake, 4), std::string("\x00\x00\x4E\x20", 4));
  EXPECT_EQ(peer.Frames()[1], body);
}

TEST(TSuperTcpClient, MultipleOf8192NeverSwitchesNoDelayOn) {
  TScriptedPeer peer(TScriptedPeer::ServeReplies(AcceptedHandshake(), {"ok"}));
  TFaultSocketApi api;
  TSocketApiGuard guard(api);
  TSuperTcpClient client;
  ASSERT_TRUE(client.Connect(kLoopback, peer.Port(), "x", 1));
  api.Reset();

  TMemoryStream stream;
  Fill(stream, Pattern(16384));
  ASSERT_TRUE(client.SendStream(stream));
  EXPECT_THAT(api.NoDelayValues(), ElementsAre(false));
  EXPECT_THAT(api.SendSizes(), ElementsAre(4u, 8192u, 8192u));
}

TEST(TSuperTcpClient, PartialSendsAreCompletedBySendBuffer) {
  TScriptedPeer peer(TScriptedPeer::ServeReplies(AcceptedHandshake(), {"ok"}));
  TFaultSocketApi api;
  api.CapSendBytes(1000);
  TSocketApiGuard guard(api);
  TSuperTcpClient client;
  ASSERT_TRUE(client.Connect(kLoopback, peer.Port(), "x", 1));

  TMemoryStream stream;
  const std::string body = Pattern(9000);
  Fill(stream, body);
  ASSERT_TRUE(client.SendStream(stream));
  ASSERT_TRUE(peer.WaitForFrames(2));
  EXPECT_EQ(peer.Frames()[1], body);
  TMemoryStream reply;
  ASSERT_TRUE(client.ReceiveStream(reply));
  EXPECT_EQ(reply.Bytes(), "ok");
}

TEST(TSuperTcpClient, FailedSendStopsAndSwitchesNoDelayOff) {
  TScriptedPeer peer(TScriptedPeer::AnswerHandshake(AcceptedHandshake()));
  TFaultSocketApi api;
  TSocketApiGuard guard(api);
  TSuperTcpClient client;
  ASSERT_TRUE(client.Connect(kLoopback, peer.Port(), "x", 1));
  api.Reset();
  api.FailSendsFrom(3);  // prefix and first chunk go out, the second chunk fails

  TProgressLog progress;
  client.OnProgress = progress.Handler();
  TMemoryStream stream;
  Fill(stream, Pattern(20000));
  EXPECT_FALSE(client.SendStream(stream));
  EXPECT_FALSE(client.Connected());
  EXPECT_NE(client.Socket(), kInvalidSocket);
  EXPECT_THAT(api.SendSizes(), ElementsAre(4u, 8192u, 8192u));
  EXPECT_THAT(api.NoDelayValues(), ElementsAre(false));
  EXPECT_THAT(progress.values, ElementsAre(8192.0 / 20000));
}

TEST(TSuperTcpClient, FailedLengthPrefixSendsNoBody) {
  TScriptedPeer peer(TScriptedPeer::AnswerHandshake(AcceptedHandshake()));
  TFaultSocketApi api;
  TSocketApiGuard guard(api);
  TSuperTcpClient client;
  ASSERT_TRUE(client.Connect(kLoopback, peer.Port(), "x", 1));
  api.Reset();
  api.FailSendsFrom(1);

  TMemoryStream stream;
  Fill(stream, "abc");
  EXPECT_FALSE(client.SendStream(stream));
  EXPECT_FALSE(client.Connected());
  EXPECT_THAT(api.Calls(), ElementsAre("Send(4)", "SetNoDelay(0)"));
}

TEST(TSuperTcpClient, EmptyOrOversizedStreamSendsNothing) {
  TScriptedPeer peer(TScriptedPeer::AnswerHandshake(AcceptedHandshake()));
  TFaultSocketApi api;
  TSocketApiGuard guard(api);
  TSuperTcpClient client;
  ASSERT_TRUE(client.Connect(kLoopback, peer.Port(), "x", 1));
  api.Reset();

  TMemoryStream empty;
  EXPECT_FALSE(client.SendStream(empty));
  TSizedStream huge(int64_t{1} << 31);
  EXPECT_FALSE(client.SendStream(huge));
  EXPECT_TRUE(api.Calls().empty());
  EXPECT_TRUE(client.Connected());

  // Just below 2 GiB is framed (the first chunk is enough to see the prefix).
  TSizedStream largest(0x7FFFFFFF);
  api.FailSendsFrom(2);
  EXPECT_FALSE(client.SendStream(largest));
  EXPECT_THAT(api.SendSizes(), ElementsAre(4u, 8192u));
}

// ---------------------------------------------------------------------------------------------
// ReceiveStream

// Connects to a peer that answers the first request with raw bytes, and sends that request.
void ConnectAndRequest(TSuperTcpClient& client, TScriptedPeer& peer) {
  ASSERT_TRUE(client.Connect(kLoopback, peer.Port(), "x", 1));
  TMemoryStream request;
  Fill(request, "request");
  ASSERT_TRUE(client.SendStream(request));
}

TEST(TSuperTcpClient, NonPositiveLengthReadsNothingFurther) {
  for (const std::string& prefix :
       {std::string("\x00\x00\x00\x00", 4), std::string("\x80\x00\x00\x00", 4),
        std::string("\xFF\xFF\xFF\xFF", 4)}) {
    SCOPED_TRACE(testing::PrintToString(prefix));
    TScriptedPeer peer(TScriptedPeer::ServeRaw(AcceptedHandshake(), {prefix + "XYZ"}));
    TSuperTcpClient client;
    ConnectAndRequest(client, peer);
    TMemoryStream reply;
    EXPECT_FALSE(client.ReceiveStream(reply));
    EXPECT_FALSE(client.Connected());
    EXPECT_EQ(reply.Size(), 0);
    char rest[3];
    ASSERT_EQ(client.ReceiveBuffer(rest, 3), 3);
    EXPECT_EQ(std::string(rest, 3), "XYZ");
  }
}

TEST(TSuperTcpClient, SecondFrameBackToBackFailsTheReceive) {
  TScriptedPeer peer(TScriptedPeer::ServeRaw(AcceptedHandshake(), {Frame("one") + Frame("two")}));
  TSuperTcpClient client;
  ConnectAndRequest(client, peer);
  TMemoryStream reply;
  EXPECT_FALSE(client.ReceiveStream(reply));
  EXPECT_FALSE(client.Connected());
  // What arrived is kept as it came: nothing is written beyond what recv returned.
  EXPECT_EQ(reply.Bytes(), "one" + Frame("two"));
}

TEST(TSuperTcpClient, ReceiveAppendsAtTheStreamPosition) {
  TScriptedPeer peer(TScriptedPeer::ServeReplies(AcceptedHandshake(), {"tail"}));
  TSuperTcpClient client;
  ConnectAndRequest(client, peer);
  TMemoryStream reply;
  Fill(reply, "head:");
  ASSERT_TRUE(client.ReceiveStream(reply));
  EXPECT_TRUE(client.Connected());
  EXPECT_EQ(reply.Bytes(), "head:tail");
}

TEST(TSuperTcpClient, PeerClosingMidFrameFailsTheReceive) {
  TScriptedPeer peer(TScriptedPeer::CloseMidFrame(AcceptedHandshake(), Pattern(100), 4 + 50));
  TSuperTcpClient client;
  ConnectAndRequest(client, peer);
  TMemoryStream reply;
  EXPECT_FALSE(client.ReceiveStream(reply));
  EXPECT_FALSE(client.Connected());
  EXPECT_EQ(reply.Size(), 50);
  EXPECT_NE(client.Socket(), kInvalidSocket);
  EXPECT_FALSE(client.ReceiveTimedOut());  // the peer went away: not a slow reply
}

TEST(TSuperTcpClient, ReceiveTimeoutFailsAgainstASilentPeerAndSaysSo) {
  TScriptedPeer peer(TScriptedPeer::AnswerHandshake(AcceptedHandshake()));
  TSuperTcpClient client;
  client.SetReceiveTimeout(300);
  ConnectAndRequest(client, peer);
  TMemoryStream reply;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(client.ReceiveStream(reply));
  const double elapsed = SecondsSince(start);
  EXPECT_GE(elapsed, 0.2);
  EXPECT_LT(elapsed, 3.0);
  EXPECT_FALSE(client.Connected());
  EXPECT_TRUE(client.ReceiveTimedOut());
}

TEST(TSuperTcpClient, FailedRecvMidFrameFailsTheReceive) {
  TScriptedPeer peer(TScriptedPeer::ServeReplies(AcceptedHandshake(), {Pattern(30000)}));
  TFaultSocketApi api;
  TSocketApiGuard guard(api);
  TSuperTcpClient client;
  ConnectAndRequest(client, peer);
  api.Reset();
  api.CapRecvBytes(1000);
  api.FailRecvsFrom(3);  // the prefix and one piece arrive
  TMemoryStream reply;
  EXPECT_FALSE(client.ReceiveStream(reply));
  EXPECT_EQ(reply.Size(), 1000);
}

TEST(TSuperTcpClient, RoundTripsAMultiMegabyteFrame) {
  TScriptedPeer peer(TScriptedPeer::ServeWith(AcceptedHandshake(),
                                              [](const std::string& request) { return request; }));
  TSuperTcpClient client;
  ASSERT_TRUE(client.Connect(kLoopback, peer.Port(), "x", 1));
  int reports = 0;
  double last = 0;
  client.OnProgress = [&](double progress, TTransType) {
    ++reports;
    EXPECT_GT(progress, last);
    last = progress;
  };
  const std::string body = Pattern(5 * 1024 * 1024 + 123);
  TMemoryStream request;
  Fill(request, body);
  ASSERT_TRUE(client.SendStream(request));
  EXPECT_EQ(reports, static_cast<int>((body.size() + 8191) / 8192));
  EXPECT_EQ(last, 1.0);
  TMemoryStream reply;
  ASSERT_TRUE(client.ReceiveStream(reply));
  EXPECT_TRUE(reply.Bytes() == body);
}

// ---------------------------------------------------------------------------------------------
// Host resolution

TEST(ResolveHost, LocalhostInAnyCaseIsTheLoopback) {
  EXPECT_EQ(ResolveHost("localhost"), "127.0.0.1");
  EXPECT_EQ(ResolveHost("LOCALHOST"), "127.0.0.1");
  EXPECT_EQ(ResolveHost("LocalHost"), "127.0.0.1");
}

TEST(ResolveHost, DottedQuadStaysAndEverythingElseIsLookedUp) {
  TFaultSocketApi api;
  api.AnswerLookup(0xC0A80A05);  // 192.168.10.5
  TSocketApiGuard guard(api);
  EXPECT_EQ(ResolveHost("10.1.2.3"), "10.1.2.3");
  EXPECT_EQ(api.CountCalls("LookupHost"), 0);

  EXPECT_EQ(ResolveHost("10.0.0.256"), "192.168.10.5");
  EXPECT_EQ(ResolveHost("1.2.3"), "192.168.10.5");
  EXPECT_EQ(ResolveHost("db.example"), "192.168.10.5");
  EXPECT_THAT(api.Calls(),
              ElementsAre("LookupHost(10.0.0.256)", "LookupHost(1.2.3)", "LookupHost(db.example)"));
}

TEST(ResolveHost, IPv6AddressesStayInTheirShortestTextWithoutBrackets) {
  TFaultSocketApi api;
  api.FailLookup();
  TSocketApiGuard guard(api);
  EXPECT_EQ(ResolveHost("::1"), "::1");
  EXPECT_EQ(ResolveHost("[0:0:0::1]"), "::1");
  EXPECT_EQ(ResolveHost("2001:DB8:0:0::7"), "2001:db8::7");
  EXPECT_EQ(ResolveHost("::ffff:192.0.2.7"), "192.0.2.7");
  EXPECT_EQ(api.CountCalls("LookupHost"), 0);
  // Not addresses: looked up, and unknown here.
  EXPECT_EQ(ResolveHost("[::1"), "");
  EXPECT_EQ(ResolveHost("1:2:3:4:5:6:7:8:9"), "");
  EXPECT_EQ(api.CountCalls("LookupHost"), 2);
}

TEST(ResolveHost, FailedLookupGivesEmptyText) {
  TFaultSocketApi api;
  api.FailLookup();
  TSocketApiGuard guard(api);
  EXPECT_EQ(LookupHostAddress("no.such.host"), "");
  EXPECT_EQ(ResolveHost("no.such.host"), "");
}

TEST(ResolveHost, OctetsAreDecimalNumbersUpTo255) {
  for (const char* good : {"0", "9", "255", "007", "0255"}) EXPECT_TRUE(IsValidOctet(good)) << good;
  for (const char* bad : {"", "256", "-1", "+1", " 1", "1 ", "1a", "0x1", "99999999999"})
    EXPECT_FALSE(IsValidOctet(bad)) << '"' << bad << '"';

  EXPECT_TRUE(IsIPv4Address("0.0.0.0"));
  EXPECT_TRUE(IsIPv4Address("255.255.255.255"));
  for (const char* bad : {"1.2.3", "1.2.3.4.5", "1..2.3", "1.2.3.", ".1.2.3", "a.b.c.d", ""})
    EXPECT_FALSE(IsIPv4Address(bad)) << '"' << bad << '"';
}

}  // namespace
}  // namespace larkspire
