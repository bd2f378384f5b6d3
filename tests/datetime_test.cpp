#include "platform/datetime.h"

#include <gtest/gtest.h>

#include "platform/exception.h"

namespace larkspire {
namespace {

TDateTimeParts Parts(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
  TDateTimeParts p;
  p.year = y, p.month = mo, p.day = d, p.hour = h, p.minute = mi, p.second = s, p.millisecond = ms;
  return p;
}

void ExpectParts(double days, const TDateTimeParts& expected) {
  const TDateTimeParts p = DecodeDateTime(days);
  EXPECT_EQ(p.year, expected.year) << days;
  EXPECT_EQ(p.month, expected.month) << days;
  EXPECT_EQ(p.day, expected.day) << days;
  EXPECT_EQ(p.hour, expected.hour) << days;
  EXPECT_EQ(p.minute, expected.minute) << days;
  EXPECT_EQ(p.second, expected.second) << days;
  EXPECT_EQ(p.millisecond, expected.millisecond) << days;
  EXPECT_EQ(p.microsecond, expected.microsecond) << days;
}

TDateTimeParts Micro(TDateTimeParts p, int microsecond) {
  p.microsecond = microsecond;
  return p;
}

TEST(DateTime, EncodesDaysSinceTheEpoch) {
  EXPECT_EQ(EncodeDateTime(Parts(1899, 12, 30)), 0);
  EXPECT_EQ(EncodeDateTime(Parts(1899, 12, 31, 12)), 1.5);
  EXPECT_EQ(EncodeDateTime(Parts(1900, 3, 1)), 61);
  EXPECT_EQ(EncodeDateTime(Parts(2000, 1, 1)), 36526);
  EXPECT_EQ(EncodeDateTime(Parts(2024, 2, 29, 6)), 45351.25);
  EXPECT_EQ(EncodeDateTime(Parts(1, 1, 1)), -693593);
  EXPECT_EQ(EncodeDateTime(Parts(9999, 12, 31)), 2958465);
}

TEST(DateTime, BeforeTheEpochTheFractionStillCountsFromMidnight) {
  EXPECT_EQ(EncodeDateTime(Parts(1899, 12, 29)), -1);
  EXPECT_EQ(EncodeDateTime(Parts(1899, 12, 29, 6)), -1.25);
  EXPECT_EQ(EncodeDateTime(Parts(1899, 12, 28, 18)), -2.75);
  ExpectParts(-1.25, Parts(1899, 12, 29, 6));
  ExpectParts(-2.75, Parts(1899, 12, 28, 18));
  // Between -1 and 0 the day is the epoch itself, the time read from the fraction.
  ExpectParts(-0.5, Parts(1899, 12, 30, 12));
  ExpectParts(-693593, Parts(1, 1, 1));
}

TEST(DateTime, DecodesAndRoundsToTheMillisecond) {
  ExpectParts(1.5, Parts(1899, 12, 31, 12));
  ExpectParts(45351.25, Parts(2024, 2, 29, 6));
  const double stamp = EncodeDateTime(Parts(2026, 12, 9, 13, 45, 7, 123));
  ExpectParts(stamp, Parts(2026, 12, 9, 13, 45, 7, 123));
  // A hair (less than half a microsecond) before midnight rounds up into the next day, on both
  // sides of the epoch.
  ExpectParts(1.999999999999, Parts(1900, 1, 1));
  ExpectParts(-1.999999999999, Parts(1899, 12, 30));
  ExpectParts(-0.999999999999, Parts(1899, 12, 31));
}

TEST(DateTime, RejectsOutOfRangeParts) {
  EXPECT_THROW(EncodeDateTime(Parts(2023, 2, 29)), EVariantError);
  EXPECT_THROW(EncodeDateTime(Parts(1900, 2, 29)), EVariantError);
  EXPECT_NO_THROW(EncodeDateTime(Parts(2000, 2, 29)));
  EXPECT_THROW(EncodeDateTime(Parts(0, 1, 1)), EVariantError);
  EXPECT_THROW(EncodeDateTime(Parts(2020, 13, 1)), EVariantError);
  EXPECT_THROW(EncodeDateTime(Parts(2020, 1, 1, 24)), EVariantError);
  EXPECT_THROW(EncodeDateTime(Parts(2020, 1, 1, 0, 60)), EVariantError);
  EXPECT_THROW(EncodeDateTime(Parts(2020, 1, 1, 0, 0, 0, 1000)), EVariantError);
}

TEST(DateTime, TextForms) {
  EXPECT_EQ(DateTimeToText(0), "1899-12-30");
  EXPECT_EQ(DateTimeToText(1.5), "1899-12-31 12:00:00");
  EXPECT_EQ(DateTimeToText(EncodeDateTime(Parts(2026, 12, 9, 13, 45, 0, 5))),
            "2026-12-09 13:45:00.005");
  EXPECT_EQ(DateTimeToText(-1.25), "1899-12-29 06:00:00");

  double days = -100;
  ASSERT_TRUE(TextToDateTime("1899-12-31 12:00", days));
  EXPECT_EQ(days, 1.5);
  ASSERT_TRUE(TextToDateTime("2024-02-29T06:00:00", days));
  EXPECT_EQ(days, 45351.25);
  ASSERT_TRUE(TextToDateTime("2026-12-09 13:45:07.12", days));
  ExpectParts(days, Parts(2026, 12, 9, 13, 45, 7, 120));
  ASSERT_TRUE(TextToDateTime("1899-12-29 06:00:00", days));
  EXPECT_EQ(days, -1.25);
  ASSERT_TRUE(TextToDateTime("18:00", days));
  EXPECT_EQ(days, 0.75);
  ASSERT_TRUE(TextToDateTime("2000-01-01", days));
  EXPECT_EQ(days, 36526);
  for (const char* bad : {"", "noon", "2023-02-29", "2020-01-01 25:00", "2020-01-01 10:00x",
                          "2020-01-01 10:00:00.", "12", "2020-1"})
    EXPECT_FALSE(TextToDateTime(bad, days)) << bad;
}

// Microseconds survive encoding, decoding and text, while values of whole seconds or
// milliseconds decode without a rounding remainder, in every era a date number covers.
TEST(DateTime, MicrosecondsRoundTripAndShorterFractionsStayShort) {
  const TDateTimeParts cases[] = {
      Micro(Parts(2026, 12, 31, 23, 59, 59, 999), 999),
      Micro(Parts(1962, 2, 18, 0, 0, 0, 0), 1),
      Micro(Parts(1899, 12, 30, 13, 14, 15, 500), 0),
      Micro(Parts(1850, 6, 1, 6, 30, 0, 123), 456),
      Micro(Parts(2078, 1, 1, 12, 0, 0, 0), 7),
      Parts(9999, 12, 31, 23, 59, 59, 999),
      Parts(2026, 12, 9, 13, 45, 7, 120),
      Parts(1, 1, 1, 0, 0, 1),
  };
  for (const TDateTimeParts& p : cases) {
    const double days = EncodeDateTime(p);
    ExpectParts(days, p);
    double back;
    ASSERT_TRUE(TextToDateTime(DateTimeToText(days), back)) << DateTimeToText(days);
    EXPECT_EQ(back, days) << DateTimeToText(days);
  }
  // Arithmetic on date numbers leaves remainders far below a microsecond: they round away.
  ExpectParts(EncodeDateTime(Parts(2026, 1, 2)) + 0.1, Parts(2026, 1, 2, 2, 24));
  const double last = EncodeDateTime(Micro(Parts(2026, 12, 31, 23, 59, 59, 999), 999));
  EXPECT_EQ(DateTimeToText(last), "2026-12-31 23:59:59.999999");
  EXPECT_EQ(SecondFractionText(DecodeDateTime(last)), ".999999");
  EXPECT_EQ(SecondFractionText(Parts(2000, 1, 1, 0, 0, 0, 500)), ".5");
  EXPECT_EQ(SecondFractionText(Micro(Parts(2000, 1, 1), 10)), ".00001");
  EXPECT_EQ(SecondFractionText(Parts(2000, 1, 1, 1)), "");
  double days;
  ASSERT_TRUE(TextToDateTime("13:14:15.5", days));
  ExpectParts(days, Parts(1899, 12, 30, 13, 14, 15, 500));
  ASSERT_TRUE(TextToDateTime("2026-12-31 23:59:59.9999994", days));
  ExpectParts(days, Micro(Parts(2026, 12, 31, 23, 59, 59, 999), 999));
}

TEST(DateTime, TextRoundTrips) {
  for (double days : {0.0, 1.5, -1.25, 36526.999988425926, 45351.25, -693593.0, 2958465.5}) {
    double back;
    ASSERT_TRUE(TextToDateTime(DateTimeToText(days), back)) << DateTimeToText(days);
    EXPECT_NEAR(back, days, 1e-8) << DateTimeToText(days);
  }
}

}  // namespace
}  // namespace larkspire
