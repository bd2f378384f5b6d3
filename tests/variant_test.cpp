#include "platform/variant.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>

#include "platform/exception.h"

namespace larkspire {
namespace {

TEST(TVariant, KindsAndEquality) {
  EXPECT_TRUE(TVariant().IsEmpty());
  EXPECT_TRUE(TVariant::Null().IsNull());
  EXPECT_TRUE(TVariant().IsClear());
  EXPECT_TRUE(TVariant::Null().IsClear());
  EXPECT_FALSE(TVariant(int32_t{0}).IsClear());
  EXPECT_NE(TVariant(), TVariant::Null());
  EXPECT_NE(TVariant(int32_t{1}), TVariant(int64_t{1}));  // same value, another kind
  EXPECT_EQ(TVariant("a"), TVariant(std::string("a")));
  EXPECT_TRUE(TVariant::FromCurrency(15000).IsNumeric());
  EXPECT_FALSE(TVariant("1").IsNumeric());
}

TEST(TVariant, NumbersBecomeDecimalText) {
  EXPECT_EQ(TVariant(12.5).AsString(), "12.5");
  EXPECT_EQ(TVariant(0.1 + 0.2).AsString(), "0.3");
  EXPECT_EQ(TVariant(1e20).AsString(), "1E20");
  EXPECT_EQ(TVariant(1e-7).AsString(), "1E-7");
  EXPECT_EQ(TVariant(-3.0).AsString(), "-3");
  EXPECT_EQ(TVariant(int32_t{-42}).AsString(), "-42");
  EXPECT_EQ(TVariant(int64_t{1} << 40).AsString(), "1099511627776");
  EXPECT_EQ(TVariant::FromCurrency(15000).AsString(), "1.5");
  EXPECT_EQ(TVariant::FromCurrency(std::numeric_limits<int64_t>::min()).AsString(),
            "-922337203685477.5808");
  EXPECT_EQ(TVariant(true).AsString(), "True");
  EXPECT_EQ(TVariant().AsString(), "");
}

TEST(TVariant, TextBecomesANumberOnlyWhenItIsOne) {
  EXPECT_EQ(TVariant("12.5").AsDouble(), 12.5);
  EXPECT_EQ(TVariant("1e3").AsDouble(), 1000);
  EXPECT_EQ(TVariant(" -7 ").AsInteger(), -7);
  EXPECT_EQ(TVariant("+8").AsInteger(), 8);
  EXPECT_EQ(TVariant(".5").AsDouble(), 0.5);
  EXPECT_EQ(TVariant("5.").AsDouble(), 5);
  EXPECT_EQ(TVariant("1E+2").AsInt64(), 100);
  for (const char* text :
       {"abc", "12a", "", " ", "0x10", "inf", "nan", "1e", "--1", "+-1", "1,5", "."}) {
    EXPECT_THROW(TVariant(text).AsDouble(), EVariantError) << text;
    EXPECT_THROW(TVariant(text).AsInteger(), EVariantError) << text;
  }
  double value;
  EXPECT_FALSE(TextToFloat("1e400", value));
  int64_t whole;
  EXPECT_FALSE(TextToInt64("+-5", whole));
  EXPECT_TRUE(TextToInt64(" -9223372036854775808", whole));
  EXPECT_EQ(whole, std::numeric_limits<int64_t>::min());
  EXPECT_FALSE(TextToInt64("9223372036854775808", whole));
}

TEST(TVariant, BooleanIsZeroOrOne) {
  EXPECT_EQ(TVariant(true).AsInteger(), 1);
  EXPECT_EQ(TVariant(false).AsInteger(), 0);
  EXPECT_EQ(TVariant(true).AsDouble(), 1.0);
  EXPECT_TRUE(TVariant(int32_t{2}).AsBoolean());
  EXPECT_FALSE(TVariant(0.0).AsBoolean());
  EXPECT_TRUE(TVariant("True").AsBoolean());
  EXPECT_FALSE(TVariant("false").AsBoolean());
  EXPECT_TRUE(TVariant("1").AsBoolean());
  EXPECT_FALSE(TVariant("0").AsBoolean());
  EXPECT_THROW(TVariant("yes").AsBoolean(), EVariantError);
}

TEST(TVariant, CurrencyRoundsHalfToEven) {
  EXPECT_EQ(TVariant(1.5).AsCurrency(), 15000);
  EXPECT_EQ(TVariant("0.00005").AsCurrency(), 0);
  EXPECT_EQ(TVariant("0.00015").AsCurrency(), 2);
  EXPECT_EQ(TVariant("0.000151").AsCurrency(), 2);
  EXPECT_EQ(TVariant("-0.00025").AsCurrency(), -2);
  EXPECT_EQ(TVariant("-0.000251").AsCurrency(), -3);
  EXPECT_EQ(TVariant("1.5e2").AsCurrency(), 1500000);
  EXPECT_EQ(TVariant(int32_t{3}).AsCurrency(), 30000);
  EXPECT_EQ(TVariant("922337203685477.5807").AsCurrency(), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(TVariant::FromCurrency(25000).AsInteger(), 2);  // 2.5 to even
  EXPECT_EQ(TVariant::FromCurrency(35000).AsInteger(), 4);  // 3.5 to even
  EXPECT_EQ(TVariant::FromCurrency(-25000).AsInteger(), -2);
  EXPECT_EQ(TVariant(2.5).AsInteger(), 2);
  EXPECT_EQ(TVariant(-3.5).AsInt64(), -4);
  EXPECT_EQ(RoundHalfEven(0.5), 0);
  EXPECT_EQ(RoundHalfEven(1.5), 2);
  int64_t scaled;
  EXPECT_TRUE(TextToCurrency("12.34567", scaled));
  EXPECT_EQ(scaled, 123457);
  EXPECT_EQ(CurrencyToText(-5), "-0.0005");
}

TEST(TVariant, OverflowRaises) {
  EXPECT_THROW(TVariant(int64_t{1} << 31).AsInteger(), EVariantError);
  EXPECT_EQ(TVariant(int64_t{-(int64_t{1} << 31)}).AsInteger(),
            std::numeric_limits<int32_t>::min());
  EXPECT_THROW(TVariant(1e19).AsInt64(), EVariantError);
  EXPECT_THROW(TVariant(std::nan("")).AsInt64(), EVariantError);
  EXPECT_THROW(TVariant("3000000000").AsInteger(), EVariantError);
  EXPECT_THROW(TVariant(int64_t{1} << 62).AsCurrency(), EVariantError);
  EXPECT_THROW(TVariant(1e300).AsCurrency(), EVariantError);
  EXPECT_THROW(TVariant("922337203685477.5808").AsCurrency(), EVariantError);
}

TEST(TVariant, NullDoesNotConvert) {
  const TVariant null = TVariant::Null();
  EXPECT_THROW(null.AsInteger(), EVariantError);
  EXPECT_THROW(null.AsInt64(), EVariantError);
  EXPECT_THROW(null.AsDouble(), EVariantError);
  EXPECT_THROW(null.AsCurrency(), EVariantError);
  EXPECT_THROW(null.AsBoolean(), EVariantError);
  EXPECT_THROW(null.AsString(), EVariantError);
  EXPECT_THROW(null.AsDateTime(), EVariantError);
  EXPECT_THROW(null.AsBytes(), EVariantError);
  try {
    null.AsInteger();
  } catch (const EVariantError& e) {
    EXPECT_STREQ(e.what(), "Could not convert variant of type (Null) into type (Int64)");
  }
  // Empty converts to zero and empty text.
  EXPECT_EQ(TVariant().AsInteger(), 0);
  EXPECT_EQ(TVariant().AsDouble(), 0);
  EXPECT_FALSE(TVariant().AsBoolean());
}

TEST(TVariant, BytesAndDates) {
  EXPECT_EQ(TVariant(TBytes{'h', 'i'}).AsString(), "hi");
  EXPECT_EQ(TVariant("hi").AsBytes(), (TBytes{'h', 'i'}));
  EXPECT_THROW(TVariant(TBytes{1}).AsDouble(), EVariantError);
  EXPECT_THROW(TVariant(TBytes{1}).AsDateTime(), EVariantError);
  EXPECT_EQ(TVariant("1899-12-31 12:00").AsDateTime(), 1.5);
  EXPECT_EQ(TVariant("2.25").AsDateTime(), 2.25);
  EXPECT_EQ(TVariant::FromDateTime(1.5).AsString(), "1899-12-31 12:00:00");
  EXPECT_EQ(TVariant::FromDateTime(1.5).AsDouble(), 1.5);
  EXPECT_THROW(TVariant("noon").AsDateTime(), EVariantError);
}

TEST(TVariant, TextsShortAndLongSurviveCopiesMovesAndAssignment) {
  // Texts of 14 bytes are held in the value, longer ones in a block its copies share: every
  // length around the edge, with NUL bytes inside, keeps its bytes through copies and moves.
  for (size_t length : {0, 1, 13, 14, 15, 16, 100, 70000}) {
    std::string text(length, 'x');
    for (size_t i = 0; i < length; i += 7) text[i] = static_cast<char>(i % 251);
    auto original = std::make_unique<TVariant>(text);
    TVariant copy = *original;
    TVariant assigned(int64_t{5});
    assigned = copy;
    original.reset();  // the copies outlive the value they came from
    EXPECT_EQ(copy.AsString(), text) << length;
    EXPECT_EQ(assigned.BytesView(), text) << length;
    EXPECT_EQ(copy, TVariant::FromText(text)) << length;
    EXPECT_EQ(TVariant(TBytes(text.begin(), text.end())).AsBytes(),
              TBytes(text.begin(), text.end()));
    TVariant moved = std::move(copy);
    EXPECT_EQ(moved.AsString(), text);
    const TVariant& same = assigned;
    assigned = same;  // assigning a value to itself keeps it
    EXPECT_EQ(assigned.AsString(), text);
    assigned = TVariant(2.5);
    EXPECT_EQ(assigned, TVariant(2.5));
    EXPECT_EQ(moved.AsString(), text);
  }
  EXPECT_NE(TVariant(std::string(20, 'a')), TVariant(std::string(20, 'a') + "b"));
  EXPECT_NE(TVariant("same"), TVariant(TBytes{'s', 'a', 'm', 'e'}));  // another kind
  EXPECT_EQ(TVariant(int64_t{7}).BytesView(), "");
}

}  // namespace
}  // namespace larkspire
