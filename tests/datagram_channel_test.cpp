#include "transport/datagram_channel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "support/datagram_doubles.h"

namespace larkspire {
namespace {

using test::TRecordingEngine;
using test::TSentDatagram;

constexpr char kPeer[] = "127.0.0.9";
constexpr int kPeerPort = 4100;
constexpr uint32_t kPeerChannel = 77;

std::string DataPacket(uint32_t receiver, uint8_t msg_no, uint32_t ticket, uint32_t count,
                       uint32_t index, const std::string& payload, uint8_t kind = ckStream) {
  std::string bytes(kDataHeaderSize + payload.size(), '\0');
  auto* p = reinterpret_cast<uint8_t*>(bytes.data());
  PutHeader(p, pkData, kind, kPeerChannel, receiver);
  p[10] = msg_no;
  PutU32(p + 11, ticket);
  PutU32(p + 15, count);
  PutU32(p + 19, index);
  PutU16(p + 23, static_cast<uint16_t>(payload.size()));
  std::copy(payload.begin(), payload.end(), bytes.begin() + kDataHeaderSize);
  return bytes;
}

// A message cut into packets of 1024 bytes.
std::vector<std::string> Packets(uint32_t receiver, uint8_t msg_no, const std::string& message,
                                 uint32_t first_ticket) {
  const uint32_t count = static_cast<uint32_t>((message.size() + 1023) / 1024);
  std::vector<std::string> packets;
  for (uint32_t i = 1; i <= count; ++i) {
    packets.push_back(DataPacket(receiver, msg_no, first_ticket + i - 1, count, i,
                                 message.substr((i - 1) * 1024, 1024)));
  }
  return packets;
}

std::string Pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7 + i / 1024);
  return bytes;
}

class TDataProcessModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    engine_.OnRecvStream = [this](const std::string&, int, TStream& stream, TDataProcessModule*) {
      TMemoryStream copy;
      copy.CopyFrom(stream, 0);
      std::lock_guard lock(mutex_);
      delivered_.push_back(copy.Bytes());
    };
    id_ = engine_.OpenChannel(kPeer, kPeerPort);
  }
  // Deliveries still running use the fixture's members.
  void TearDown() override { engine_.Wait(); }

  // Feeds a packet and returns the acknowledgement it drew (empty when none).
  std::string Feed(const std::string& packet, int port = kPeerPort) {
    engine_.Receive(kPeer, port, packet);
    std::vector<TSentDatagram> sent = engine_.TakeSent();
    return sent.empty() ? std::string() : sent.back().bytes;
  }
  std::vector<std::string> Delivered() {
    engine_.Wait();
    std::lock_guard lock(mutex_);
    return delivered_;
  }
  static uint8_t Complete(const std::string& ack) { return static_cast<uint8_t>(ack.at(11)); }

  TRecordingEngine engine_;
  uint32_t id_ = 0;
  std::mutex mutex_;
  std::vector<std::string> delivered_;
};

TEST_F(TDataProcessModuleTest, OnePacketMessageIsAcknowledgedCompleteAndDeliveredOnce) {
  const std::string ack = Feed(DataPacket(id_, 1, 9, 1, 1, "hello"));
  ASSERT_EQ(ack.size(), kAckSize);
  EXPECT_EQ(ack[0], pkDataAck);
  EXPECT_EQ(GetU32(reinterpret_cast<const uint8_t*>(ack.data()) + 2), id_);
  EXPECT_EQ(GetU32(reinterpret_cast<const uint8_t*>(ack.data()) + 6), kPeerChannel);
  EXPECT_EQ(ack[10], 1);
  EXPECT_EQ(Complete(ack), 1);
  EXPECT_EQ(GetU32(reinterpret_cast<const uint8_t*>(ack.data()) + 12), 9u);
  // A repeat after completion is answered complete and not delivered again.
  EXPECT_EQ(Complete(Feed(DataPacket(id_, 1, 10, 1, 1, "hello"))), 1);
  EXPECT_EQ(Delivered(), std::vector<std::string>{"hello"});
}

TEST_F(TDataProcessModuleTest, RepeatedPacketInProgressIsStoredOnce) {
  const auto packets = Packets(id_, 1, Pattern(3000), 1);
  EXPECT_EQ(Complete(Feed(packets[0])), 0);
  EXPECT_EQ(Complete(Feed(packets[0])), 0);
  EXPECT_EQ(Complete(Feed(packets[1])), 0);
  EXPECT_EQ(Complete(Feed(packets[2])), 1);
  EXPECT_EQ(Delivered(), std::vector<std::string>{Pattern(3000)});
}

TEST_F(TDataProcessModuleTest, PacketsLastFirstGiveTheSameMessage) {
  const std::string message = Pattern(5 * 1024 + 17);
  auto packets = Packets(id_, 3, message, 1);
  for (auto it = packets.rbegin(); it != packets.rend(); ++it) Feed(*it);
  EXPECT_EQ(Delivered(), std::vector<std::string>{message});
}

TEST_F(TDataProcessModuleTest, OlderMessageIsAnsweredCompleteAndChangesNothing) {
  const auto packets = Packets(id_, 5, Pattern(2048), 1);
  Feed(packets[0]);
  EXPECT_EQ(Complete(Feed(DataPacket(id_, 4, 50, 1, 1, "old"))), 1);
  EXPECT_EQ(Complete(Feed(packets[1])), 1);
  EXPECT_EQ(Delivered(), std::vector<std::string>{Pattern(2048)});
}

TEST_F(TDataProcessModuleTest, MessageNumberZeroAfterResetIsNeverDelivered) {
  EXPECT_EQ(Complete(Feed(DataPacket(id_, 0, 1, 1, 1, "zero"))), 1);
  EXPECT_TRUE(Delivered().empty());
}

TEST_F(TDataProcessModuleTest, MalformedOrForeignPacketsDrawNoAcknowledgement) {
  EXPECT_EQ(Feed(DataPacket(id_, 1, 1, 1, 1, "x"), kPeerPort + 1), "");        // another port
  EXPECT_EQ(Feed(DataPacket(id_, 1, 1, 0, 1, "x")), "");                       // count 0
  EXPECT_EQ(Feed(DataPacket(id_, 1, 1, 2, 0, "x")), "");                       // index 0
  EXPECT_EQ(Feed(DataPacket(id_, 1, 1, 2, 3, "x")), "");                       // index past count
  EXPECT_EQ(Feed(DataPacket(id_, 1, 1, kMaxMessagePackets + 1, 1, "x")), "");  // too large
  EXPECT_NE(Feed(DataPacket(id_, 1, 1, kMaxMessagePackets, 1, "x")), "");
  EXPECT_TRUE(Delivered().empty());
}

TEST_F(TDataProcessModuleTest, AcknowledgementsCarryTheHistoryOfTheMessageBefore) {
  Feed(DataPacket(id_, 1, 11, 2, 1, "a"));
  Feed(DataPacket(id_, 1, 12, 2, 2, "b"));
  // The first packet of the next message still carries 12 (11 went with the reset that began
  // its message); the one after, nothing.
  const std::string first = Feed(DataPacket(id_, 2, 13, 2, 1, "c"));
  const auto* p = reinterpret_cast<const uint8_t*>(first.data());
  EXPECT_EQ(GetU32(p + 16 + 4 * 9), 12u);
  EXPECT_EQ(first.substr(16, 36), std::string(36, '\0'));
  const std::string second = Feed(DataPacket(id_, 2, 14, 2, 2, "d"));
  EXPECT_EQ(second.substr(16), std::string(40, '\0'));
}

TEST_F(TDataProcessModuleTest, ReceiveProgressAtEveryTenthPacketAndAtCompletion) {
  std::vector<double> progress;
  engine_.OnProgress = [&](double value, TTransType type) {
    EXPECT_EQ(type, tstRecv);
    progress.push_back(value);
  };
  for (const auto& packet : Packets(id_, 1, Pattern(25 * 1024), 1)) Feed(packet);
  EXPECT_EQ(progress, (std::vector<double>{1.0 / 25, 11.0 / 25, 21.0 / 25, 1.0}));
}

TEST_F(TDataProcessModuleTest, TextAndUnknownContentKinds) {
  std::vector<std::string> texts;
  engine_.OnRecvText = [&](const std::string&, int, const std::string& text, TDataProcessModule*) {
    texts.push_back(text);
  };
  Feed(DataPacket(id_, 1, 1, 1, 1, std::string("a\0b", 3), ckText));
  EXPECT_EQ(Complete(Feed(DataPacket(id_, 2, 2, 1, 1, "lost", 7))), 1);
  EXPECT_EQ(Delivered(), std::vector<std::string>{});
  EXPECT_EQ(texts, std::vector<std::string>{std::string("a\0b", 3)});
}

TEST_F(TDataProcessModuleTest, DeliveryKeepsItsMessageWhileTheChannelMovesOn) {
  std::mutex gate_mutex;
  std::condition_variable gate;
  bool release = false;
  std::string seen;
  engine_.OnRecvStream = [&](const std::string&, int, TStream& stream, TDataProcessModule*) {
    std::unique_lock lock(gate_mutex);
    gate.wait(lock, [&] { return release; });
    TMemoryStream copy;
    copy.CopyFrom(stream, 0);
    if (seen.empty()) seen = copy.Bytes();
  };
  const std::string first = Pattern(3000);
  for (const auto& packet : Packets(id_, 1, first, 1)) Feed(packet);
  // A new message begins and replaces the channel's buffer while the delivery waits.
  Feed(DataPacket(id_, 2, 10, 3, 1, std::string(1024, 'z')));
  {
    std::lock_guard lock(gate_mutex);
    release = true;
  }
  gate.notify_all();
  engine_.Wait();
  EXPECT_EQ(seen, first);
}

TEST_F(TDataProcessModuleTest, MemoryFollowsThePacketsThatArrivedNotTheCountAnnounced) {
  // A message announcing the largest count takes room for what came, not 64 MiB.
  const std::string first = DataPacket(id_, 1, 1, kMaxMessagePackets, 1, std::string(1024, 'a'));
  EXPECT_EQ(Complete(Feed(first)), 0);
  EXPECT_LE(engine_.ReassemblyBytes(), 64 * 1024);
  // A packet far ahead of what the message holds is not taken (nor answered) until the
  // message has caught up with it; one within reach is.
  EXPECT_EQ(Feed(DataPacket(id_, 1, 2, kMaxMessagePackets, 60000, std::string(1024, 'b'))), "");
  EXPECT_EQ(Feed(DataPacket(id_, 1, 3, kMaxMessagePackets, kMaxMessagePackets, "c")), "");
  EXPECT_NE(Feed(DataPacket(id_, 1, 4, kMaxMessagePackets, 200, std::string(1024, 'd'))), "");
  EXPECT_LE(engine_.ReassemblyBytes(), 512 * 1024);
  // The next message gives back what the partial one took; a delivered one, once handed over.
  const std::string message = Pattern(300 * 1024 + 5);
  for (const auto& packet : Packets(id_, 2, message, 10)) Feed(packet);
  EXPECT_EQ(Delivered(), std::vector<std::string>{message});
  EXPECT_EQ(engine_.ReassemblyBytes(), 0);
}

TEST_F(TDataProcessModuleTest, MessagesPastACapAreRefusedAndTheLinkStays) {
  TDatagramLimits limits;
  limits.MaxMessageBytes = 4096;
  engine_.SetLimits(limits);
  EXPECT_EQ(Feed(DataPacket(id_, 1, 1, 5, 1, std::string(1024, 'x'))), "");
  for (const auto& packet : Packets(id_, 1, Pattern(4096), 2)) Feed(packet);
  EXPECT_EQ(Delivered(), std::vector<std::string>{Pattern(4096)});

  // No memory at all: the first packet is refused before the channel changes, so the packets
  // after it find no half-begun message to write into; once memory is there, it completes.
  limits.MaxReassemblyBytes = 0;
  engine_.SetLimits(limits);
  const auto packets = Packets(id_, 2, Pattern(3000), 20);
  for (const auto& packet : packets) EXPECT_EQ(Feed(packet), "");
  EXPECT_EQ(engine_.ReassemblyBytes(), 0);
  limits.MaxReassemblyBytes = 1 << 20;
  engine_.SetLimits(limits);
  for (const auto& packet : packets) Feed(packet);
  EXPECT_EQ(Delivered(), (std::vector<std::string>{Pattern(4096), Pattern(3000)}));
}

TEST_F(TDataProcessModuleTest, OneAddressCannotTakeTheMemoryOfAnother) {
  TDatagramLimits limits;
  limits.MaxAddressReassemblyBytes = 256 * 1024;
  engine_.SetLimits(limits);
  // kPeer holds its share with a message it never finishes...
  for (uint32_t i = 1; i <= 256; ++i) Feed(DataPacket(id_, 1, i, 1000, i, std::string(1024, 'h')));
  EXPECT_EQ(Feed(DataPacket(id_, 1, 300, 1000, 257, std::string(1024, 'h'))), "");
  EXPECT_LE(engine_.ReassemblyBytesOf(kPeer), 256 * 1024);
  // ... and a peer at another address still completes its own.
  const uint32_t other = engine_.OpenChannel("127.0.0.10", kPeerPort);
  const std::string message = Pattern(200 * 1024);
  for (const auto& packet : Packets(other, 1, message, 1)) {
    engine_.Receive("127.0.0.10", kPeerPort, packet);
  }
  EXPECT_EQ(Delivered(), std::vector<std::string>{message});
}

// A wall clock that can jump while the tick count goes its own way.
class TJumpingClock : public IClock {
 public:
  uint32_t TickCount() override { return ticks.load(); }
  double Now() override { return now.load(); }
  void Sleep(uint32_t) override {}
  std::atomic<uint32_t> ticks{1000};
  std::atomic<double> now{46000.0};
};

TEST(TDataProcessModule, ExpiresAfterMoreThanTwentyWholeSecondsOfTicks) {
  TJumpingClock clock;
  IClock* previous = SetClock(&clock);
  {
    TDataProcessModule channel(nullptr);
    channel.Touch();
    clock.now = 46001.0;  // the wall clock a day ahead: a live channel stays
    clock.ticks += 20900;
    EXPECT_FALSE(channel.IsExpired());
    clock.now = 45000.0;  // ... or far behind: a dead one goes
    clock.ticks += 100;
    EXPECT_TRUE(channel.IsExpired());
  }
  SetClock(previous);
}

}  // namespace
}  // namespace larkspire
