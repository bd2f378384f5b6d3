// Two datagram engines on loopback, linked directly or through a relay that loses, repeats and
// reorders datagrams.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include <zlib.h>

#include <cstdio>

#include "platform/exception.h"
#include "support/datagram_doubles.h"
#include "transport/datagram_socket.h"
#include "transport/sending_window.h"

namespace larkspire {
namespace {

using test::TLossyRelay;
using test::TRelayFaults;

constexpr size_t kFiveMiB = 5 * 1024 * 1024;

std::string RandomBytes(size_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  std::mt19937 random(seed);
  for (size_t i = 0; i + 4 <= size; i += 4) {
    const uint32_t v = random();
    std::memcpy(&bytes[i], &v, 4);
  }
  return bytes;
}

// Collects the messages an engine delivers.
class TInbox {
 public:
  explicit TInbox(TSuperUdpProctol& engine) {
    engine.OnRecvStream = [this](const std::string&, int, TStream& stream, TDataProcessModule*) {
      TMemoryStream copy;
      copy.CopyFrom(stream, 0);
      std::lock_guard lock(mutex_);
      messages_.push_back(copy.Bytes());
      arrived_.notify_all();
    };
  }
  // The first message, waiting up to 30 s for it.
  std::string First() {
    std::unique_lock lock(mutex_);
    arrived_.wait_for(lock, std::chrono::seconds(30), [&] { return !messages_.empty(); });
    return messages_.empty() ? std::string() : messages_.front();
  }
  size_t Count() {
    std::lock_guard lock(mutex_);
    return messages_.size();
  }

 private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<std::string> messages_;
};

TDatagramTiming TestTiming() {
  TDatagramTiming timing;
  timing.GiveUpMs = 20000;
  return timing;
}

// Links a to b's port (directly or through a relay) and moves 5 MiB each way at once.
void ExchangeBothWays(TSuperUdpSocket& a, TSuperUdpSocket& b, int b_port) {
  TInbox a_inbox(a), b_inbox(b);
  ASSERT_TRUE(a.OpenLink("127.0.0.1", b_port, "loopback"));
  const std::string to_b = RandomBytes(kFiveMiB, 1), to_a = RandomBytes(kFiveMiB + 1000, 2);
  TMemoryStream out_a, out_b;
  out_a.WriteBuffer(to_b.data(), static_cast<int64_t>(to_b.size()));
  out_a.SetPosition(0);
  out_b.WriteBuffer(to_a.data(), static_cast<int64_t>(to_a.size()));
  out_b.SetPosition(0);
  // The channel b keeps for a's link, as its link reply named it.
  const uint32_t b_channel = a.LinkChannel();
  TSendReport report_a, report_b;
  auto back = std::async(std::launch::async,
                         [&] { return b.SendStreamOnChannel(b_channel, out_b, &report_b); });
  EXPECT_TRUE(a.SendStream(out_a, &report_a));
  EXPECT_TRUE(back.get());
  EXPECT_TRUE(b_inbox.First() == to_b);
  EXPECT_TRUE(a_inbox.First() == to_a);
  EXPECT_EQ(a_inbox.Count(), 1u);
  EXPECT_EQ(b_inbox.Count(), 1u);
  EXPECT_EQ(report_a.PacketCount, 5120u);
  EXPECT_GE(report_a.FinalWindow, kMinWindow);
  EXPECT_LE(report_a.LargestWindow, kMaxWindow);
}

TEST(TDatagramLoopback, FiveMebibytesEachWay) {
  TSuperUdpSocket a("127.0.0.1", 0, 0, TestTiming()), b("127.0.0.1", 0, 0, TestTiming());
  ExchangeBothWays(a, b, b.Port());
  EXPECT_TRUE(a.Connected());
  EXPECT_EQ(b.ChannelCount(), 1);
}

TEST(TDatagramLoopback, FiveMebibytesEachWayThroughALossyRelay) {
  TSuperUdpSocket a("127.0.0.1", 0, 0, TestTiming()), b("127.0.0.1", 0, 0, TestTiming());
  TRelayFaults faults;
  faults.drop = 0.05;
  faults.duplicate = 0.01;
  faults.reorder = 0.05;
  faults.seed = 7;
  TLossyRelay relay(b.Port(), faults);
  ExchangeBothWays(a, b, relay.ClientPort());
  EXPECT_GT(relay.Dropped(), 100u);
  EXPECT_GT(relay.Duplicated(), 10u);
  EXPECT_GT(relay.Reordered(), 100u);
}

TEST(TDatagramLoopback, RefusedLinkReportsTheCode) {
  TSuperUdpSocket a("127.0.0.1", 0, 0), b("127.0.0.1", 0, 0);
  b.OnLinkRequest = [](const std::string&, int, const std::string& text) {
    return text == "let me in" ? 0 : 7;
  };
  EXPECT_FALSE(a.OpenLink("127.0.0.1", b.Port(), "knock"));
  EXPECT_EQ(a.LinkState(), lsRefused);
  EXPECT_EQ(a.RefuseCode(), 7);
  EXPECT_TRUE(a.OpenLink("localhost", b.Port(), "let me in"));
  EXPECT_EQ(a.LinkState(), lsAccepted);
  TMemoryStream nothing;
  TSendReport report;
  EXPECT_TRUE(a.SendStream(nothing, &report));  // an empty message is one empty packet
  EXPECT_EQ(report.PacketCount, 1u);
}

TEST(TDatagramLoopback, LinkToNobodyAndSendToAGonePeerFail) {
  TDatagramTiming timing;
  timing.GiveUpMs = 300;
  TSuperUdpSocket a("127.0.0.1", 0, 0, timing);
  int gone_port = 0;
  {
    TSuperUdpSocket b("127.0.0.1", 0, 0);
    gone_port = b.Port();
    ASSERT_TRUE(a.OpenLink("127.0.0.1", gone_port, ""));
  }
  EXPECT_FALSE(a.OpenLink("127.0.0.1", gone_port, "", 300));
  EXPECT_FALSE(a.Connected());
  EXPECT_FALSE(a.SendText("nobody"));
}

TEST(TDatagramLoopback, UnlinkOnDestructionAndLoadQuery) {
  TSuperUdpSocket b("127.0.0.1", 0, 0);
  std::promise<int> closed;
  b.OnChannelClosed = [&](TDataProcessModule*, int reason) { closed.set_value(reason); };
  TSuperUdpSocket probe("127.0.0.1", 0, 0);
  {
    TSuperUdpSocket a("127.0.0.1", 0, 0);
    ASSERT_TRUE(a.OpenLink("127.0.0.1", b.Port(), ""));
    ASSERT_TRUE(probe.QueryLoad("127.0.0.1", b.Port()));
    EXPECT_EQ(probe.RemoteLoad(), 1);
  }
  auto reason = closed.get_future();
  ASSERT_EQ(reason.wait_for(std::chrono::seconds(2)), std::future_status::ready);
  EXPECT_EQ(reason.get(), 0);
  ASSERT_TRUE(probe.QueryLoad("127.0.0.1", b.Port()));
  EXPECT_EQ(probe.RemoteLoad(), 0);
}

TEST(TDatagramLoopback, AnEndpointOnBothFamiliesKnowsEachPeerByOneAddress) {
  std::unique_ptr<TSuperUdpSocket> six_socket;
  try {
    six_socket = std::make_unique<TSuperUdpSocket>("::1", 0, 0);
  } catch (const Exception&) {
    GTEST_SKIP() << "this machine has no IPv6 loopback address (::1)";
  }
  TSuperUdpSocket& six = *six_socket;
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<std::string> linked, texts;
  TSuperUdpSocket both("::", 0, 0, TDatagramTiming{}, [&](TSuperUdpSocket& socket) {
    socket.OnLinkRequest = [&](const std::string& ip, int, const std::string&) {
      std::lock_guard lock(mutex);
      linked.push_back(ip);
      return 0;
    };
    socket.OnRecvText = [&](const std::string& ip, int, const std::string& text,
                            TDataProcessModule*) {
      std::lock_guard lock(mutex);
      texts.push_back(ip + " " + text);
      arrived.notify_all();
    };
  });
  EXPECT_EQ(both.BindAddress(), "::");
  TSuperUdpSocket four("127.0.0.1", 0, 0);
  TInbox four_inbox(four), six_inbox(six);
  // An IPv4 peer arrives IPv4-mapped and is known by its plain address.
  ASSERT_TRUE(four.OpenLink("localhost", both.Port(), "four"));
  ASSERT_TRUE(six.OpenLink("[::1]", both.Port(), "six"));
  {
    std::lock_guard lock(mutex);
    EXPECT_EQ(linked, (std::vector<std::string>{"127.0.0.1", "::1"}));
  }

  // Messages go both ways on each channel: to the IPv4 peer through its mapped address.
  EXPECT_TRUE(four.SendText("over IPv4"));
  EXPECT_TRUE(six.SendText("over IPv6"));
  TMemoryStream to_four, to_six;
  to_four.WriteBuffer("back to four", 12);
  to_four.SetPosition(0);
  to_six.WriteBuffer("back to six", 11);
  to_six.SetPosition(0);
  EXPECT_TRUE(both.SendStreamOnChannel(four.LinkChannel(), to_four));
  EXPECT_TRUE(both.SendStreamOnChannel(six.LinkChannel(), to_six));
  EXPECT_EQ(four_inbox.First(), "back to four");
  EXPECT_EQ(six_inbox.First(), "back to six");
  std::unique_lock lock(mutex);
  arrived.wait_for(lock, std::chrono::seconds(10), [&] { return texts.size() >= 2; });
  std::sort(texts.begin(), texts.end());
  EXPECT_EQ(texts, (std::vector<std::string>{"127.0.0.1 over IPv4", "::1 over IPv6"}));
}

// The protocol's second implementation, in Python, written from the wire layout alone.
std::string PeerScript() {
  return std::string("python3 ") + LARKSPIRE_SOURCE_DIR + "/tests/support/datagram_peer.py";
}

std::string ReadLine(FILE* pipe) {
  char line[256] = {};
  if (pipe == nullptr || std::fgets(line, sizeof line, pipe) == nullptr) return "";
  std::string text(line);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

TEST(TDatagramLoopback, IndependentPeerSendsToUsAndReceivesFromUs) {
  TSuperUdpSocket engine("127.0.0.1", 0, 0);
  TInbox inbox(engine);
  // A load query to itself passes through the receiving thread, which thereby sees the handler
  // (the peer's traffic reaches it through the kernel only).
  ASSERT_TRUE(engine.QueryLoad("127.0.0.1", engine.Port()));
  const size_t size = 40 * 1024 + 321;
  FILE* sender =
      ::popen((PeerScript() + " send " + std::to_string(engine.Port()) + " " + std::to_string(size))
                  .c_str(),
              "r");
  EXPECT_EQ(ReadLine(sender), "sent " + std::to_string(size));
  ::pclose(sender);
  std::string expected(size, '\0');
  for (size_t i = 0; i < size; ++i) expected[i] = static_cast<char>((i * 7 + 3) & 255);
  EXPECT_TRUE(inbox.First() == expected);

  FILE* receiver = ::popen((PeerScript() + " receive").c_str(), "r");
  const std::string port_line = ReadLine(receiver);
  ASSERT_EQ(port_line.rfind("port ", 0), 0u) << port_line;
  ASSERT_TRUE(engine.OpenLink("127.0.0.1", std::stoi(port_line.substr(5)), ""));
  const std::string message = RandomBytes(3 * 1024 * 1024 + 5, 9);
  TMemoryStream stream;
  stream.WriteBuffer(message.data(), static_cast<int64_t>(message.size()));
  stream.SetPosition(0);
  EXPECT_TRUE(engine.SendStream(stream));
  const uLong crc =
      crc32(0, reinterpret_cast<const Bytef*>(message.data()), static_cast<uInt>(message.size()));
  EXPECT_EQ(ReadLine(receiver),
            "received " + std::to_string(message.size()) + " " + std::to_string(crc));
  ::pclose(receiver);
}

}  // namespace
}  // namespace larkspire
