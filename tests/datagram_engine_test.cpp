#include "transport/datagram_engine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "support/datagram_doubles.h"

namespace larkspire {
namespace {

using test::TRecordingEngine;
using test::TSentDatagram;

constexpr char kPeer[] = "10.0.0.5";
constexpr int kPort = 5000;

std::string Header(uint8_t kind, uint8_t sub, uint32_t sender, uint32_t receiver,
                   size_t length = kDatagramHeaderSize) {
  std::string bytes(length, '\0');
  PutHeader(reinterpret_cast<uint8_t*>(bytes.data()), kind, sub, sender, receiver);
  return bytes;
}

class TSuperUdpProctolTest : public ::testing::Test {
 protected:
  // Links from kPeer:port and returns the reply.
  TSentDatagram Link(int port = kPort, uint32_t own = 0x01020304, const std::string& text = "") {
    engine_.Receive(kPeer, port, Header(pkLinkRequest, 0, own, 0) + text);
    auto sent = engine_.TakeSent();
    EXPECT_EQ(sent.size(), 1u);
    return sent.empty() ? TSentDatagram{} : sent[0];
  }

  TRecordingEngine engine_;
};

TEST_F(TSuperUdpProctolTest, LinkWithoutHandlerIsAccepted) {
  const TSentDatagram reply = Link();
  ASSERT_EQ(reply.bytes.size(), kLinkReplySize);
  EXPECT_EQ(reply.ip, kPeer);
  EXPECT_EQ(reply.port, kPort);
  EXPECT_EQ(reply.At(0), pkLinkReply);
  EXPECT_EQ(reply.At(1), lsAccepted);
  EXPECT_NE(reply.U32(2), 0u);
  EXPECT_EQ(reply.U32(6), 0x01020304u);
  EXPECT_EQ(reply.U32(10), 0u);
  EXPECT_EQ(engine_.ChannelCount(), 1);
  EXPECT_EQ(engine_.FindChannel(kPeer, kPort), reply.U32(2));
}

TEST_F(TSuperUdpProctolTest, RefusedLinkMakesNoChannel) {
  std::string seen;
  engine_.OnLinkRequest = [&](const std::string& ip, int port, const std::string& text) {
    seen = text;
    return 7;
  };
  const TSentDatagram reply = Link(kPort, 1, "who");
  EXPECT_EQ(seen, "who");
  EXPECT_EQ(reply.At(1), lsRefused);
  EXPECT_EQ(reply.U32(2), 0u);
  EXPECT_EQ(static_cast<int32_t>(reply.U32(10)), 7);
  EXPECT_EQ(engine_.ChannelCount(), 0);
  EXPECT_EQ(engine_.ModuleCount(), 0u);
}

TEST_F(TSuperUdpProctolTest, RepeatedLinkFromOnePeerKeepsItsChannel) {
  const uint32_t first = Link().U32(2);
  const uint32_t second = Link().U32(2);
  EXPECT_EQ(first, second);
  EXPECT_EQ(engine_.ChannelCount(), 2);
  EXPECT_EQ(engine_.ModuleCount(), 1u);
  EXPECT_NE(Link(kPort + 1).U32(2), first);
}

TEST_F(TSuperUdpProctolTest, UnlinkOnlyFromThePeerAndReportedOnce) {
  TManualClock clock(0);
  IClock* previous = SetClock(&clock);
  std::vector<int> reasons;
  engine_.OnChannelClosed = [&](TDataProcessModule*, int reason) { reasons.push_back(reason); };
  const uint32_t id = Link().U32(2);

  engine_.Receive(kPeer, kPort + 1, Header(pkUnlinkRequest, 0, 9, id));
  EXPECT_TRUE(engine_.TakeSent().empty());
  engine_.Receive(kPeer, kPort, Header(pkUnlinkRequest, 0, 9, id));
  const auto sent = engine_.TakeSent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].At(0), pkUnlinkReply);
  EXPECT_EQ(sent[0].U32(2), id);
  EXPECT_EQ(sent[0].U32(6), 9u);
  EXPECT_EQ(reasons, std::vector<int>{0});
  EXPECT_EQ(engine_.ChannelCount(), 0);
  EXPECT_EQ(engine_.ModuleCount(), 1u);

  // The closed channel expires without a second report.
  clock.Advance(30000);
  engine_.SweepExpiredChannels();
  EXPECT_EQ(engine_.ModuleCount(), 0u);
  EXPECT_EQ(reasons, std::vector<int>{0});
  SetClock(previous);
}

TEST_F(TSuperUdpProctolTest, IdleChannelIsFreedAndReportedExpired) {
  TManualClock clock(0);
  IClock* previous = SetClock(&clock);
  std::vector<int> reasons;
  engine_.OnChannelClosed = [&](TDataProcessModule*, int reason) { reasons.push_back(reason); };
  Link();
  clock.Advance(20000);
  engine_.SweepExpiredChannels();
  EXPECT_EQ(engine_.ModuleCount(), 1u);
  clock.Advance(10000);
  engine_.SweepExpiredChannels();
  EXPECT_EQ(engine_.ModuleCount(), 0u);
  EXPECT_EQ(reasons, std::vector<int>{1});
  EXPECT_EQ(engine_.ChannelCount(), 0);
  SetClock(previous);
}

TEST_F(TSuperUdpProctolTest, OneAddressHoldsAtMostItsChannelCap) {
  TManualClock clock(0);
  IClock* previous = SetClock(&clock);
  int accepted = 0;
  for (int port = 6000; port < 6064; ++port) {
    const TSentDatagram reply = Link(port);
    if (reply.At(1) == lsAccepted) {
      ++accepted;
    } else {
      EXPECT_EQ(reply.At(1), lsFailed);
      EXPECT_EQ(reply.U32(2), 0u);
    }
  }
  EXPECT_EQ(accepted, 16);
  EXPECT_EQ(Link(6000).At(1), lsAccepted);  // a peer that holds a channel keeps it
  engine_.Receive("10.0.0.6", kPort, Header(pkLinkRequest, 0, 1, 0));
  EXPECT_EQ(engine_.TakeSent().at(0).At(1), lsAccepted);
  // An unlinked channel still counts until it expires.
  engine_.Receive(kPeer, 6001, Header(pkUnlinkRequest, 0, 1, engine_.FindChannel(kPeer, 6001)));
  engine_.TakeSent();
  EXPECT_EQ(Link(7000).At(1), lsFailed);
  clock.Advance(30000);
  engine_.SweepExpiredChannels();
  EXPECT_EQ(Link(7000).At(1), lsAccepted);
  SetClock(previous);
}

TEST_F(TSuperUdpProctolTest, ChannelFreedDuringASendStaysUntilTheSendHasStopped) {
  TManualClock clock(0);
  IClock* previous = SetClock(&clock);
  TMemoryStream message;
  message.SetSize(64 * 1024);
  for (int round = 0; round < 20; ++round) {
    const uint32_t id = Link(kPort + round).U32(2);
    message.SetPosition(0);
    std::future<bool> sent =
        std::async(std::launch::async, [&] { return engine_.SendStreamOnChannel(id, message); });
    for (int i = 0; i < 2000 && engine_.Sent().empty(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // The peer never answers; its channel expires and is freed while the send runs on it.
    clock.Advance(30000);
    engine_.SweepExpiredChannels();
    EXPECT_FALSE(sent.get());
    EXPECT_EQ(engine_.ModuleCount(), 0u);
    engine_.TakeSent();
  }
  SetClock(previous);
}

TEST_F(TSuperUdpProctolTest, KeepAliveAnsweredOnlyForALiveChannelOfThePeer) {
  TManualClock clock(0);
  IClock* previous = SetClock(&clock);
  const uint32_t id = Link().U32(2);
  engine_.Receive(kPeer, kPort, Header(pkKeepAlive, 0, 3, id + 1000));
  EXPECT_TRUE(engine_.TakeSent().empty());
  clock.Advance(15000);
  engine_.Receive(kPeer, kPort, Header(pkKeepAlive, 0, 3, id));
  const auto sent = engine_.TakeSent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].At(0), pkKeepAliveReply);
  EXPECT_EQ(sent[0].U32(2), id);
  EXPECT_EQ(sent[0].U32(6), 3u);
  clock.Advance(15000);  // 30 s after the link, 15 s after the keep-alive
  engine_.SweepExpiredChannels();
  EXPECT_EQ(engine_.ModuleCount(), 1u);
  SetClock(previous);
}

TEST_F(TSuperUdpProctolTest, LoadQueryIsAnsweredWithBytesTwoToNineKept) {
  Link();
  std::string query = Header(pkLoad, 0, 0xAABBCCDD, 0x11223344);
  engine_.Receive(kPeer, kPort, query);
  auto sent = engine_.TakeSent();
  ASSERT_EQ(sent.size(), 1u);
  ASSERT_EQ(sent[0].bytes.size(), kLoadSize);
  EXPECT_EQ(sent[0].At(1), 1);
  EXPECT_EQ(sent[0].bytes.substr(2, 8), query.substr(2, 8));
  EXPECT_EQ(sent[0].U32(10), 1u);  // ChannelCount

  engine_.OnQueryLoad = [] { return 42; };
  engine_.Receive(kPeer, kPort, query);
  EXPECT_EQ(engine_.TakeSent().at(0).U32(10), 42u);

  std::string answer = Header(pkLoad, 1, 0, 0, kLoadSize);
  PutI32(reinterpret_cast<uint8_t*>(answer.data()) + 10, -3);
  engine_.Receive(kPeer, kPort, answer);
  EXPECT_EQ(engine_.RemoteLoad(), -3);
  EXPECT_TRUE(engine_.TakeSent().empty());
}

TEST_F(TSuperUdpProctolTest, RawShortAndUnknownDatagrams) {
  std::vector<size_t> raw;
  engine_.OnRawData = [&](const std::string&, int, const uint8_t* buffer, size_t length) {
    raw.push_back(length);
    if (buffer[1] == 0xEE) throw std::runtime_error("handler fails");
  };
  engine_.Receive(kPeer, kPort, std::string("\x10\x01\x02", 3));
  std::string nine(9, '\0');
  nine[0] = pkData;
  engine_.Receive(kPeer, kPort, nine);
  nine[0] = 16;
  engine_.Receive(kPeer, kPort, nine);
  for (int kind : {0, 11, 12, 13, 14, 15}) {
    engine_.Receive(kPeer, kPort, Header(static_cast<uint8_t>(kind), 0, 1, 1, 20));
  }
  engine_.Receive(kPeer, kPort, std::string("\x20\xEE", 2));  // the handler's throw is swallowed
  EXPECT_EQ(raw, (std::vector<size_t>{3, 9, 2}));
  EXPECT_TRUE(engine_.Sent().empty());
}

TEST_F(TSuperUdpProctolTest, LinkAndUnlinkRepliesAndRecords) {
  std::string reply = Header(pkLinkReply, lsRefused, 55, 0, kLinkReplySize);
  PutI32(reinterpret_cast<uint8_t*>(reply.data()) + 10, 9);
  engine_.Receive(kPeer, kPort, reply);
  EXPECT_EQ(engine_.LinkChannel(), 55u);
  EXPECT_EQ(engine_.LinkState(), lsRefused);
  EXPECT_EQ(engine_.RefuseCode(), 9);
  engine_.Receive(kPeer, kPort, Header(pkUnlinkReply, 0, 0, 0));
  EXPECT_EQ(engine_.LinkState(), lsNone);

  std::string seen;
  engine_.OnRecvRecord = [&](const std::string&, int, const uint8_t* record) {
    seen.assign(reinterpret_cast<const char*>(record), kRecordSize);
  };
  std::string record = Header(pkRecord, 4, 1, 2) + "rec";
  engine_.Receive(kPeer, kPort, record);
  EXPECT_EQ(seen, record + std::string(kRecordSize - record.size(), '\0'));
}

}  // namespace
}  // namespace larkspire
