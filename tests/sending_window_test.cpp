#include "transport/sending_window.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/datagram_doubles.h"

namespace larkspire {
namespace {

using test::TRecordingEngine;
using test::TSentDatagram;

// A send of packet_count packets with the given window, its first packets already sent.
class TDataSendObjTest : public ::testing::Test {
 protected:
  void StartSend(uint32_t packet_count, uint32_t window, uint32_t last_size = 1024) {
    const std::string message(static_cast<size_t>(packet_count - 1) * 1024 + last_size, 'm');
    source_.WriteBuffer(message.data(), static_cast<int64_t>(message.size()));
    source_.SetPosition(0);
    send_.Start(&engine_, "127.0.0.1", 6000, source_, 3, ckStream, 11, 22, tickets_, window);
  }
  std::string Ack(uint32_t ticket, std::vector<uint32_t> history = {}, uint8_t complete = 0) {
    std::string ack(kAckSize, '\0');
    auto* p = reinterpret_cast<uint8_t*>(ack.data());
    PutHeader(p, pkDataAck, 0, 22, 11);
    p[10] = 3;
    p[11] = complete;
    PutU32(p + 12, ticket);
    for (size_t i = 0; i < history.size(); ++i) PutU32(p + 16 + 4 * i, history[i]);
    return ack;
  }
  void Process(const std::string& ack) {
    send_.ProcessAck(reinterpret_cast<const uint8_t*>(ack.data()));
  }
  std::vector<uint32_t> SentTickets() {
    std::vector<uint32_t> tickets;
    for (const auto& d : engine_.TakeSent()) tickets.push_back(d.U32(11));
    return tickets;
  }

  TRecordingEngine engine_;
  TMemoryStream source_;
  TTicketMaker tickets_;
  TDataSendObj send_;
};

TEST_F(TDataSendObjTest, StartSendsTheFirstWindowOfPackets) {
  StartSend(30, 10, 100);
  const auto sent = engine_.TakeSent();
  ASSERT_EQ(sent.size(), 10u);
  EXPECT_EQ(sent[0].bytes.size(), kDataPacketSize);
  EXPECT_EQ(sent[0].At(0), pkData);
  EXPECT_EQ(sent[0].At(1), ckStream);
  EXPECT_EQ(sent[0].U32(2), 11u);
  EXPECT_EQ(sent[0].U32(6), 22u);
  EXPECT_EQ(sent[0].At(10), 3);
  EXPECT_EQ(sent[0].U32(15), 30u);
  EXPECT_EQ(sent[9].U32(19), 10u);
  EXPECT_EQ(send_.Period.FirstTicket, 1u);
  EXPECT_EQ(send_.Period.LastTicket, 20u);
  EXPECT_EQ(send_.PrevPeriod.Ratio, 1.0);
  EXPECT_TRUE(send_.InFlight[0]->Timed);
  EXPECT_FALSE(send_.InFlight[1]->Timed);
}

TEST_F(TDataSendObjTest, LaterMessageOnALongLivedChannelMeasuresItsOwnTickets) {
  tickets_.SetCounter(50000);
  StartSend(200, 10);
  EXPECT_EQ(send_.Period.FirstTicket, 50001u);
  EXPECT_EQ(send_.Period.LastTicket, 50020u);
  for (uint32_t t = 50001; t <= 50020; ++t) Process(Ack(t));
  EXPECT_EQ(send_.Window, 12u);
  EXPECT_EQ(send_.Period.FirstTicket, 50021u);
}

TEST_F(TDataSendObjTest, FullPeriodGrowsTheWindowByTwoAndRefillsIt) {
  StartSend(200, 10);
  engine_.TakeSent();
  for (uint32_t t = 1; t <= 19; ++t) Process(Ack(t));
  EXPECT_EQ(send_.Window, 10u);
  EXPECT_EQ(send_.Period.Acks, 19u);
  // The twentieth acknowledgement closes the period: 10 -> 12, two slots more at once.
  send_.Period.Acks = 20;
  send_.AdaptWindow(20, false);
  EXPECT_EQ(send_.Window, 12u);
  EXPECT_EQ(send_.WindowDelta, 2);
  EXPECT_EQ(send_.Period.FirstTicket, 21u);
  EXPECT_EQ(send_.Period.LastTicket, 44u);
  EXPECT_EQ(send_.Period.Expected, 24);
  Process(Ack(20));
  EXPECT_EQ(send_.WindowDelta, 0);
  EXPECT_EQ(send_.SlotsInFlight(), 12u);
  EXPECT_EQ(send_.AckedCount, 20u);
  EXPECT_EQ(engine_.TakeSent().size(), 22u);  // one per acknowledged slot, two new
}

TEST_F(TDataSendObjTest, WindowFollowsTheRatioOfEachPeriod) {
  StartSend(200, 10);
  auto close_period = [&](uint32_t acks) {
    send_.Period.Acks = acks;
    send_.AdaptWindow(send_.Period.LastTicket, false);
  };
  close_period(19);  // 0.95
  EXPECT_EQ(send_.Window, 11u);
  close_period(11);  // 0.5 after 0.95
  EXPECT_EQ(send_.Window, 11u);
  close_period(11);  // 0.5 after 0.5
  EXPECT_EQ(send_.Window, 10u);
  EXPECT_EQ(send_.WindowDelta, -1);

  send_.AdaptWindow(send_.Period.LastTicket - 1, false);  // before the period's end: nothing
  EXPECT_EQ(send_.Window, 10u);

  send_.Window = 100;
  send_.Period.Window = 100;
  send_.Period.Expected = 200;
  close_period(200);
  EXPECT_EQ(send_.Window, 100u);
  send_.Window = 4;
  send_.Period.Window = 4;
  send_.Period.Expected = 8;
  close_period(1);
  close_period(1);
  EXPECT_EQ(send_.Window, 4u);
}

TEST_F(TDataSendObjTest, PeriodWithoutAcknowledgementsClosesOnceItIsPassed) {
  StartSend(200, 10);
  send_.AdaptWindow(20, false);  // at its last ticket with no acknowledgement: stays open
  EXPECT_EQ(send_.Period.FirstTicket, 1u);
  send_.AdaptWindow(25, false);  // passed without one: a total loss
  EXPECT_EQ(send_.Period.FirstTicket, 21u);
  EXPECT_EQ(send_.PrevPeriod.Ratio, 0.0);
  EXPECT_EQ(send_.Window, 10u);  // the period before was full
}

TEST_F(TDataSendObjTest, GapInTicketsResendsUnderFreshTickets) {
  StartSend(200, 10);
  engine_.TakeSent();
  tickets_.SetCounter(29);
  Process(Ack(30));
  EXPECT_EQ(SentTickets(), (std::vector<uint32_t>{30, 31, 32, 33, 34, 35, 36, 37, 38, 39}));
  EXPECT_EQ(send_.Resends, 10u);
  EXPECT_EQ(send_.AckedCount, 0u);
}

TEST_F(TDataSendObjTest, HistoryAcknowledgesSeveralSlotsAtOnce) {
  StartSend(200, 10);
  engine_.TakeSent();
  Process(Ack(5, {1, 2, 3, 4}));
  EXPECT_EQ(send_.AckedCount, 5u);
  EXPECT_EQ(SentTickets(), (std::vector<uint32_t>{11, 12, 13, 14, 15}));  // refills, no resends
}

TEST_F(TDataSendObjTest, SlotsStayEmptyOnceEveryPacketIsBuilt) {
  StartSend(5, 10);
  EXPECT_EQ(send_.InFlight.size(), 5u);
  engine_.TakeSent();
  for (uint32_t t = 1; t <= 5; ++t) Process(Ack(t));
  EXPECT_TRUE(engine_.TakeSent().empty());
  EXPECT_EQ(send_.SlotsInFlight(), 0u);
  EXPECT_EQ(send_.InFlight.size(), 5u);
}

TEST_F(TDataSendObjTest, CompleteAcknowledgementEndsTheSendOnce) {
  std::vector<double> progress;
  engine_.OnProgress = [&](double value, TTransType type) {
    if (type == tstSend) progress.push_back(value);
  };
  StartSend(3, 4);
  Process(Ack(3, {1, 2}, 1));
  Process(Ack(3, {1, 2}, 1));
  EXPECT_FALSE(send_.Active);
  EXPECT_TRUE(send_.Completed);
  EXPECT_EQ(progress, std::vector<double>{1.0});
}

TEST_F(TDataSendObjTest, TimeoutResendsWhatIsInFlightOrProbesWithTheLastPacket) {
  StartSend(2, 4, 10);
  engine_.TakeSent();
  send_.ResendOnTimeout();
  EXPECT_EQ(SentTickets(), (std::vector<uint32_t>{3, 4}));
  Process(Ack(3));
  Process(Ack(4));
  engine_.TakeSent();
  send_.ResendOnTimeout();
  const auto probe = engine_.TakeSent();
  ASSERT_EQ(probe.size(), 1u);
  EXPECT_EQ(probe[0].U32(19), 2u);
  EXPECT_EQ(probe[0].bytes.size(), kDataHeaderSize + 10);
}

}  // namespace
}  // namespace larkspire
