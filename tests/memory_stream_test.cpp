#include "protocol/memory_stream.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/exception.h"

namespace larkspire {
namespace {

constexpr int64_t kStep = 524288;

TEST(TLarkspireMemoryStream, GrowsInSteps) {
  TLarkspireMemoryStream stream;
  stream.WriteBuffer("x", 1);
  EXPECT_EQ(stream.Capacity(), kStep);
  EXPECT_EQ(stream.Size(), 1);

  TLarkspireMemoryStream big;
  const std::string bytes(kStep + 1, 'b');
  big.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
  EXPECT_EQ(big.Capacity(), 2 * kStep);

  TLarkspireMemoryStream sized;
  sized.SetSize(100);
  EXPECT_EQ(sized.Capacity(), kStep);
  EXPECT_EQ(sized.Size(), 100);
}

TEST(TLarkspireMemoryStream, ManySmallWritesReallocateOncePerStep) {
  TLarkspireMemoryStream stream;
  const uint8_t* block = nullptr;
  int changes = 0;
  int64_t capacity = 0;
  for (int i = 0; i < 3 * kStep / 16; ++i) {
    stream.WriteBuffer("0123456789abcdef", 16);
    if (stream.Capacity() != capacity) {
      capacity = stream.Capacity();
      ++changes;
      block = stream.Memory();
    }
  }
  EXPECT_EQ(changes, 3);
  EXPECT_EQ(capacity, 3 * kStep);
  EXPECT_EQ(block, stream.Memory());
}

TEST(TLarkspireMemoryStream, RequestEqualToTheSizeStaysExact) {
  TLarkspireMemoryStream stream;
  stream.SetSize(1000);
  // Asking for the size it already has reserves exactly that.
  stream.SetSize(1000);
  EXPECT_EQ(stream.Capacity(), 1000);
  stream.SetSize(1000);
  EXPECT_EQ(stream.Capacity(), 1000);
  stream.SetSize(10);
  EXPECT_EQ(stream.Capacity(), kStep);
}

TEST(TLarkspireMemoryStream, ClearFreesTheBlock) {
  TLarkspireMemoryStream stream;
  stream.WriteBuffer("abc", 3);
  stream.Clear();
  EXPECT_EQ(stream.Capacity(), 0);
  EXPECT_EQ(stream.Memory(), nullptr);
  EXPECT_EQ(stream.Size(), 0);
  EXPECT_EQ(stream.Position(), 0);
  stream.WriteBuffer("de", 2);
  EXPECT_EQ(stream.Bytes(), "de");
}

TEST(TLarkspireMemoryStream, OutOfMemoryKeepsTheOldBlock) {
  TLarkspireMemoryStream stream;
  stream.WriteBuffer("keep", 4);
  const uint8_t* block = stream.Memory();
  for (int64_t absurd : {int64_t{1} << 60, std::numeric_limits<int64_t>::max() - 10}) {
    try {
      stream.SetSize(absurd);
      FAIL() << "grew to " << absurd;
    } catch (const EStreamError& e) {
      EXPECT_STREQ(e.what(), "Out of memory while expanding memory stream");
    }
    EXPECT_EQ(stream.Memory(), block);
    EXPECT_EQ(stream.Size(), 4);
    EXPECT_EQ(stream.Capacity(), kStep);
    EXPECT_EQ(stream.Bytes(), "keep");
  }
}

}  // namespace
}  // namespace larkspire
