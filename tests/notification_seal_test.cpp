// The sealing of notification records: a sealed record opens to what went in, a flipped bit
// anywhere fails, a record opens under its own key only, and a counter not above the last one
// accepted is refused.
#include "transport/notification_seal.h"

#include <gtest/gtest.h>

#include <string>

namespace larkspire {
namespace {

TNotificationKey KeyOf(uint8_t seed) {
  TNotificationKey key;
  for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(seed + 7 * i);
  return key;
}

std::string SealText(TNotificationSealer& sealer, const std::string& text) {
  std::string out = "prefix";
  sealer.Seal(reinterpret_cast<const uint8_t*>(text.data()), text.size(), out);
  EXPECT_EQ(out.substr(0, 6), "prefix");  // appended, not replaced
  return out.substr(6);
}

const uint8_t* Bytes(const std::string& text) {
  return reinterpret_cast<const uint8_t*>(text.data());
}

TEST(NotificationSeal, RoundTripsAndHidesTheRecord) {
  TNotificationSealer sealer(KeyOf(1));
  TNotificationOpener opener(KeyOf(1));
  const std::string record = "payload: the price of tea went up";
  const std::string sealed = SealText(sealer, record);
  ASSERT_EQ(sealed.size(), record.size() + kSealOverhead);
  EXPECT_EQ(sealed[0], static_cast<char>(kRecordSealed));
  // The nonce is four zero bytes and the counter, little-endian, from 1.
  EXPECT_EQ(sealed.substr(1, 12), std::string("\0\0\0\0\x01\0\0\0\0\0\0\0", 12));
  EXPECT_EQ(sealed.find("price"), std::string::npos);
  std::string opened;
  ASSERT_TRUE(opener.Open(Bytes(sealed), sealed.size(), opened));
  EXPECT_EQ(opened, record);
  EXPECT_EQ(opener.LastCounter(), 1u);

  // An empty record seals and opens too.
  const std::string empty = SealText(sealer, "");
  ASSERT_TRUE(opener.Open(Bytes(empty), empty.size(), opened));
  EXPECT_EQ(opened, "");
  EXPECT_EQ(opener.LastCounter(), 2u);
}

TEST(NotificationSeal, AnyFlippedBitWrongKeyOrShortMessageFails) {
  TNotificationSealer sealer(KeyOf(3));
  const std::string sealed = SealText(sealer, "channel and payload");
  // Every byte: the kind (the additional data), the nonce, the ciphertext and the tag.
  for (size_t i = 0; i < sealed.size(); ++i) {
    std::string damaged = sealed;
    damaged[i] = static_cast<char>(damaged[i] ^ 0x10);
    TNotificationOpener opener(KeyOf(3));
    std::string opened = "untouched";
    EXPECT_FALSE(opener.Open(Bytes(damaged), damaged.size(), opened)) << "byte " << i;
    EXPECT_EQ(opened, "untouched");
    EXPECT_EQ(opener.LastCounter(), 0u);
  }
  std::string opened;
  TNotificationOpener other(KeyOf(4));
  EXPECT_FALSE(other.Open(Bytes(sealed), sealed.size(), opened));
  TNotificationOpener opener(KeyOf(3));
  for (size_t length = 0; length < kSealOverhead; ++length) {
    EXPECT_FALSE(opener.Open(Bytes(sealed), length, opened)) << length;
  }
  EXPECT_FALSE(opener.Open(Bytes(sealed), sealed.size() - 1, opened));
  EXPECT_TRUE(opener.Open(Bytes(sealed), sealed.size(), opened));
}

TEST(NotificationSeal, ReplayedAndStaleCountersAreRefused) {
  TNotificationSealer sealer(KeyOf(9));
  const std::string first = SealText(sealer, "one");
  const std::string second = SealText(sealer, "two");
  const std::string third = SealText(sealer, "three");
  TNotificationOpener opener(KeyOf(9));
  std::string opened;
  ASSERT_TRUE(opener.Open(Bytes(second), second.size(), opened));
  EXPECT_FALSE(opener.Open(Bytes(second), second.size(), opened));  // the same again
  EXPECT_FALSE(opener.Open(Bytes(first), first.size(), opened));    // older than accepted
  EXPECT_EQ(opened, "two");
  ASSERT_TRUE(opener.Open(Bytes(third), third.size(), opened));
  EXPECT_EQ(opened, "three");

  // The two-step form verifies first and judges the counter apart.
  uint64_t counter = 0;
  ASSERT_TRUE(OpenSealedRecord(KeyOf(9), Bytes(first), first.size(), counter, opened));
  EXPECT_EQ(counter, 1u);
  EXPECT_EQ(opened, "one");
  EXPECT_FALSE(opener.Accept(counter));
}

}  // namespace
}  // namespace larkspire
