#include "transport/datagram_packets.h"

#include <gtest/gtest.h>

#include <string>

namespace larkspire {
namespace {

TEST(TDatagramPackets, FirstByteDecidesTheClass) {
  for (int b : {1, 5, 10}) {
    EXPECT_EQ(ClassifyDatagram(static_cast<uint8_t>(b)), TDatagramClass::dcProtocol) << b;
  }
  for (int b : {16, 17, 255}) {
    EXPECT_EQ(ClassifyDatagram(static_cast<uint8_t>(b)), TDatagramClass::dcRaw) << b;
  }
  for (int b : {0, 11, 12, 13, 14, 15}) {
    EXPECT_EQ(ClassifyDatagram(static_cast<uint8_t>(b)), TDatagramClass::dcIgnored) << b;
  }
}

TEST(TDatagramPackets, ViewPadsShortDatagramsWithZerosAndCutsLongOnes) {
  const std::string shorter = std::string("\x02\x01\x05\x00\x00\x00", 6);
  const TLinkReplyView reply(shorter.data(), shorter.size());
  EXPECT_EQ(reply.U8(1), 1);
  EXPECT_EQ(reply.U32(2), 5u);
  EXPECT_EQ(reply.U32(6), 0u);
  EXPECT_EQ(reply.I32(10), 0);

  std::string ten(10, '\0');
  ten[0] = pkLinkRequest;
  EXPECT_EQ(LinkRequestText(TLinkRequestView(ten.data(), ten.size())), "");

  std::string longer(2000, 'x');
  longer[0] = pkLinkRequest;
  EXPECT_EQ(LinkRequestText(TLinkRequestView(longer.data(), longer.size())),
            std::string(kLinkRequestSize - 10, 'x'));

  std::string ended = ten + "hello" + std::string(1, '\0') + "rest";
  EXPECT_EQ(LinkRequestText(TLinkRequestView(ended.data(), ended.size())), "hello");
}

TEST(TTicketMaker, IssuesFromOneAndWrapsPastZero) {
  TTicketMaker tickets;
  EXPECT_EQ(tickets.NextTicket(), 1u);
  EXPECT_EQ(tickets.NextTicket(), 2u);
  tickets.SetCounter(4294967294u);
  EXPECT_EQ(tickets.NextTicket(), 4294967295u);
  EXPECT_EQ(tickets.NextTicket(), 1u);
  tickets.ResetTickets();
  EXPECT_EQ(tickets.Counter(), 0u);
  EXPECT_EQ(tickets.NextTicket(), 1u);
}

TEST(TDatagramPackets, MessageNumbersWrapAfter255) {
  EXPECT_FALSE(IsOlderMessage(252, 3));  // new
  EXPECT_TRUE(IsOlderMessage(5, 4));     // older
  EXPECT_FALSE(IsOlderMessage(5, 200));  // new
  EXPECT_FALSE(IsOlderMessage(255, 0));  // new
  EXPECT_TRUE(IsOlderMessage(251, 10));  // older
  EXPECT_FALSE(IsOlderMessage(251, 9));  // 9 + 255 is past 251: new
  EXPECT_FALSE(IsOlderMessage(0, 0));
}

}  // namespace
}  // namespace larkspire
