// The plug-in parameter containers: values and their bytes, the x87 extended format, lookups,
// the container layout and malformed input.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "platform/codepage.h"
#include "platform/exception.h"
#include "protocol/memory_stream.h"
#include "protocol/plugin_data.h"

namespace larkspire {
namespace {

std::string Hex(const std::string& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    if (!out.empty()) out += ' ';
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

std::string Saved(const TLarkspirePluginData& data) {
  TLarkspireMemoryStream stream;
  data.WriteToStream(stream);
  return stream.Bytes();
}

void Fill(TStream& stream, const std::string& bytes) {
  stream.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
}

void Load(TLarkspirePluginData& data, const std::string& bytes) {
  TLarkspireMemoryStream stream;
  stream.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
  data.ReadFromStream(stream);
}

std::string ExtendedBytes(long double value) {
  uint8_t bytes[kExtendedSize];
  EncodeExtended(value, bytes);
  return std::string(reinterpret_cast<char*>(bytes), kExtendedSize);
}

long double FromBytes(const std::string& bytes) {
  return DecodeExtended(reinterpret_cast<const uint8_t*>(bytes.data()));
}

class CodePageGuard {
 public:
  explicit CodePageGuard(const std::string& name) : previous_(AnsiCodePage()) {
    SetAnsiCodePage(name);
  }
  ~CodePageGuard() { SetAnsiCodePage(previous_); }

 private:
  std::string previous_;
};

// --- Layout ---------------------------------------------------------------------------------

TEST(TLarkspirePluginData, ReqTypeTwoIsTheTwentyFourByteExample) {
  TLarkspirePluginData data;
  data.Param("ReqType").SetAsInteger(2);
  EXPECT_EQ(Hex(Saved(data)),
            "01 00 00 00 07 00 00 00 52 65 71 54 79 70 65 00 04 00 00 00 02 00 00 00");
}

TEST(TLarkspirePluginData, EmptyContainerIsFourZeroBytesAndLoadsNothing) {
  TLarkspirePluginData data;
  EXPECT_EQ(Saved(data), std::string(4, '\0'));
  Load(data, std::string(4, '\0'));
  EXPECT_EQ(data.Count(), 0);
}

TEST(TLarkspirePluginData, SavingAfterLoadingReproducesTheBytesOfEveryType) {
  TLarkspirePluginData source;
  source.Param("i").SetAsInteger(-5);
  source.Param("l").SetAsInt64(int64_t{1} << 40);
  source.Param("s").SetAsString("héllo");
  source.Param("b").SetAsBoolean(true);
  source.Param("d").SetAsDouble(3.25);
  source.Param("e").SetAsExtended(-1.5L);
  TLarkspireMemoryStream blob;
  Fill(blob, std::string("\x00\xFF\x10", 3));
  source.Param("st").SetAsStream(blob);
  source.Param("empty").SetAsString("");
  const std::string bytes = Saved(source);

  TLarkspirePluginData loaded;
  Load(loaded, bytes);
  ASSERT_EQ(loaded.Count(), 8);
  EXPECT_EQ(Saved(loaded), bytes);
  EXPECT_EQ(loaded.Param("i").GetAsInteger(), -5);
  EXPECT_EQ(loaded.Param("l").GetAsInt64(), int64_t{1} << 40);
  EXPECT_EQ(loaded.Param("s").GetAsString(), "héllo");
  EXPECT_TRUE(loaded.Param("b").GetAsBoolean());
  EXPECT_EQ(loaded.Param("d").GetAsDouble(), 3.25);
  EXPECT_EQ(loaded.Param("e").GetAsExtended(), -1.5L);
  EXPECT_EQ(loaded.Items(6).Bytes(), std::string("\x00\xFF\x10", 3));
  EXPECT_EQ(loaded.Items(7).DataType(), pdtString);
  EXPECT_EQ(loaded.Items(7).DataSize(), 0);
}

TEST(TLarkspirePluginData, UnknownTagsAndTrailingBytesSurviveAsTheyAre) {
  // One entry "x" with tag 9 and two value bytes, then two bytes after the container.
  const std::string container("\x01\0\0\0\x01\0\0\0x\x09\x02\0\0\0ab", 16);
  TLarkspirePluginData data;
  Load(data, container + "zz");
  ASSERT_EQ(data.Count(), 1);
  EXPECT_EQ(static_cast<int>(data.Items(0).DataType()), 9);
  EXPECT_EQ(Saved(data), container);
}

TEST(TLarkspirePluginData, LoadingAppendsAndTheOldParametersWinLookups) {
  TLarkspirePluginData data;
  data.Param("Result").SetAsInteger(1);
  TLarkspirePluginData other;
  other.Param("RESULT").SetAsInteger(2);
  other.Param("more").SetAsBoolean(false);
  Load(data, Saved(other));
  ASSERT_EQ(data.Count(), 3);
  EXPECT_EQ(data.FindParam("result")->GetAsInteger(), 1);
  EXPECT_EQ(data.Items(1).Name(), "RESULT");
}

TEST(TLarkspirePluginData, OneNameTwiceGivesTwoParametersAndTheFirstIsFound) {
  TLarkspirePluginData source;
  source.Param("a").SetAsInteger(1);
  source.Param("b").SetAsInteger(2);
  std::string bytes = Saved(source);
  bytes[22] = 'a';  // the second entry's name becomes "a" too
  TLarkspirePluginData data;
  Load(data, bytes);
  ASSERT_EQ(data.Count(), 2);
  EXPECT_EQ(data.FindParam("A")->GetAsInteger(), 1);
}

TEST(TLarkspirePluginData, ClearFreesEveryParameter) {
  TLarkspirePluginData data;
  data.Param("a").SetAsInteger(1);
  data.Param("b").SetAsInteger(2);
  data.Clear();
  EXPECT_EQ(data.Count(), 0);
  EXPECT_EQ(data.FindParam("a"), nullptr);
}

// --- Malformed input ------------------------------------------------------------------------

struct TMalformedCase {
  const char* what;
  std::string bytes;
  const char* message;
};

TEST(TLarkspirePluginData, MalformedInputRaisesAClearErrorAndAppendsNothing) {
  const TMalformedCase cases[] = {
      {"no count", std::string("\x01\0", 2), "the count ends early"},
      {"negative count", std::string("\xFF\xFF\xFF\xFF", 4), "negative count -1"},
      {"absurd count", std::string("\x40\x42\x0F\x00\0\0\0\0", 8),
       "count 1000000 exceeds what the 4 bytes left can hold"},
      {"negative name length", std::string("\x01\0\0\0\xFE\xFF\xFF\xFF\0\0\0\0\0", 13),
       "name length -2 is negative"},
      {"oversized name length", std::string("\x01\0\0\0\x50\0\0\0\0\0\0\0\0", 13),
       "name length 80 exceeds the 5 bytes left"},
      {"negative data size", std::string("\x01\0\0\0\x01\0\0\0x\x00\xFF\xFF\xFF\xFF", 14),
       "data size -1 is negative"},
      {"oversized data size", std::string("\x01\0\0\0\x01\0\0\0x\x00\x04\0\0\0ab", 16),
       "data size 4 exceeds the 2 bytes left"},
      {"second entry cut", std::string("\x02\0\0\0\x01\0\0\0x\x00\x03\0\0\0abc\x01\0\0\0y\x01", 23),
       "entry 1: the data size ends early"},
  };
  for (const auto& c : cases) {
    TLarkspirePluginData data;
    data.Param("kept").SetAsInteger(7);
    try {
      Load(data, c.bytes);
      ADD_FAILURE() << c.what << ": no error";
    } catch (const EMalformedData& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos)
          << c.what << ": " << e.what();
    }
    EXPECT_EQ(data.Count(), 1) << c.what;
    EXPECT_EQ(data.Param("kept").GetAsInteger(), 7) << c.what;
  }
}

// --- Lookup ---------------------------------------------------------------------------------

TEST(TLarkspirePluginData, ParamReturnsTheExistingParameterWhateverTheLetterCase) {
  TLarkspirePluginData data;
  TLarkspirePluginParam& first = data.Param("ReqType");
  first.SetAsInteger(3);
  EXPECT_EQ(&data.Param("reqtype"), &first);
  EXPECT_EQ(data.FindParam("REQTYPE"), &first);
  EXPECT_EQ(data.Param("ReqType").GetAsInteger(), 3);
  EXPECT_EQ(data.Count(), 1);
  EXPECT_EQ(first.Name(), "ReqType");  // the name first given stays
}

TEST(TLarkspirePluginData, LookupFoldsLettersBeyondAscii) {
  TLarkspirePluginData data;
  data.Param("Ärger").SetAsInteger(1);
  EXPECT_NE(data.FindParam("äRGER"), nullptr);
  EXPECT_EQ(data.FindParam("Arger"), nullptr);
  EXPECT_EQ(data.FindParam("missing"), nullptr);
}

// --- Values ---------------------------------------------------------------------------------

TEST(TLarkspirePluginParam, TheLastSetterDecidesTypeAndSize) {
  TLarkspirePluginData data;
  auto& p = data.Param("p");
  EXPECT_EQ(p.DataType(), pdtInteger);
  EXPECT_EQ(p.DataSize(), 0);
  p.SetAsInteger(5);
  p.SetAsString("abc");
  EXPECT_EQ(p.DataType(), pdtString);
  EXPECT_EQ(p.DataSize(), 3);
  p.SetAsExtended(1.0L);
  EXPECT_EQ(p.DataType(), pdtExtended);
  EXPECT_EQ(p.DataSize(), 10);
  EXPECT_EQ(Hex(p.Bytes()), "00 00 00 00 00 00 00 80 FF 3F");
}

TEST(TLarkspirePluginParam, StringsAreStoredInTheCodePage) {
  CodePageGuard guard("CP1252");
  TLarkspirePluginData data;
  auto& p = data.Param("s");
  p.SetAsString("é中");
  EXPECT_EQ(p.DataSize(), 2);  // converted length, not the number of characters
  EXPECT_EQ(p.Bytes(), "\xE9?");
  EXPECT_EQ(p.GetAsString(), "é?");
}

TEST(TLarkspirePluginParam, SetAsStreamCopiesTheWholeSourceFromItsStart) {
  TLarkspireMemoryStream source;
  Fill(source, "abcdef");  // positioned at its end
  TLarkspirePluginData data;
  auto& p = data.Param("st");
  p.SetAsStream(source);
  EXPECT_EQ(p.DataSize(), 6);
  EXPECT_EQ(source.Position(), 6);
  TStream& value = p.GetAsStream();
  EXPECT_EQ(value.Position(), 0);
  p.SetAsInteger(1);
  EXPECT_EQ(&p.GetAsStream(), &value);  // the same stream across setters
  EXPECT_EQ(value.Size(), 4);
}

TEST(TLarkspirePluginParam, GettersReadNoMoreThanTheirWidthNorBeyondTheValue) {
  TLarkspirePluginData data;
  auto& p = data.Param("p");
  p.SetAsInt64(0x1122334455667788);
  EXPECT_EQ(p.GetAsInteger(), 0x55667788);  // the first four bytes
  EXPECT_TRUE(p.GetAsBoolean());
  p.SetAsInteger(-2);
  EXPECT_EQ(p.GetAsInt64(), -2);  // sign-extended, nothing read past the 4 bytes
  p.SetAsBoolean(true);
  EXPECT_EQ(p.GetAsInteger(), 1);
  EXPECT_EQ(p.GetAsDouble(), std::bit_cast<double>(uint64_t{1}));
  p.SetAsString("");
  EXPECT_EQ(p.GetAsInteger(), 0);
  EXPECT_FALSE(p.GetAsBoolean());
  EXPECT_EQ(p.GetAsExtended(), 0.0L);
  // A value stream shrunk by its user limits every getter to what is left.
  p.SetAsInt64(-1);
  p.GetAsStream().SetSize(2);
  EXPECT_EQ(p.GetAsInt64(), -1);
  EXPECT_EQ(p.GetAsString(), AnsiToWide("\xFF\xFF"));
}

// --- Extended -------------------------------------------------------------------------------

TEST(ExtendedFormat, KnownValuesHaveTheirX87Bytes) {
  EXPECT_EQ(Hex(ExtendedBytes(0.0L)), "00 00 00 00 00 00 00 00 00 00");
  EXPECT_EQ(Hex(ExtendedBytes(-0.0L)), "00 00 00 00 00 00 00 00 00 80");
  EXPECT_EQ(Hex(ExtendedBytes(2.0L)), "00 00 00 00 00 00 00 80 00 40");
  EXPECT_EQ(Hex(ExtendedBytes(-3.0L)), "00 00 00 00 00 00 00 C0 00 C0");
  EXPECT_EQ(Hex(ExtendedBytes(0.1L)), "CD CC CC CC CC CC CC CC FB 3F");
  EXPECT_EQ(Hex(ExtendedBytes(std::numeric_limits<long double>::infinity())),
            "00 00 00 00 00 00 00 80 FF 7F");
  EXPECT_EQ(Hex(ExtendedBytes(-std::numeric_limits<long double>::infinity())),
            "00 00 00 00 00 00 00 80 FF FF");
  EXPECT_EQ(Hex(ExtendedBytes(std::numeric_limits<long double>::quiet_NaN())),
            "00 00 00 00 00 00 00 C0 FF 7F");
  // A double's denormal is a normal number in the wider format.
  EXPECT_EQ(Hex(ExtendedBytes(std::numeric_limits<double>::denorm_min())),
            "00 00 00 00 00 00 00 80 CD 3B");
}

TEST(ExtendedFormat, EdgesOfTheFormatRoundTripExactly) {
  const std::string edges[] = {
      std::string("\x01\0\0\0\0\0\0\0\0\0", 10),                    // smallest denormal
      std::string("\xFF\xFF\xFF\xFF\xFF\xFF\xFF\x7F\0\0", 10),      // largest denormal
      std::string("\0\0\0\0\0\0\0\x80\x01\0", 10),                  // smallest normal
      std::string("\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFE\x7F", 10),  // largest finite
      std::string("\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFE\xFF", 10),  // its negative
      std::string("\x01\0\0\0\0\0\0\x80\xFF\x3F", 10),              // 1 + 2^-63
      std::string("\x01\0\0\0\0\0\0\0\0\x80", 10),                  // negative denormal
  };
  for (const std::string& bytes : edges) {
    const long double value = FromBytes(bytes);
    EXPECT_TRUE(std::isfinite(value)) << Hex(bytes);
    EXPECT_EQ(Hex(ExtendedBytes(value)), Hex(bytes));
  }
  if (std::numeric_limits<long double>::digits == 64) {
    EXPECT_EQ(FromBytes(edges[0]), std::numeric_limits<long double>::denorm_min());
    EXPECT_EQ(FromBytes(edges[3]), std::numeric_limits<long double>::max());
    EXPECT_EQ(FromBytes(edges[2]), std::numeric_limits<long double>::min());
  }
}

TEST(ExtendedFormat, SpecialEncodingsDecodeAsTheFpuReadsThem) {
  EXPECT_EQ(FromBytes(std::string("\0\0\0\0\0\0\0\x80\xFF\xFF", 10)),
            -std::numeric_limits<long double>::infinity());
  const long double nan = FromBytes(std::string("\x01\0\0\0\0\0\0\x80\xFF\xFF", 10));
  EXPECT_TRUE(std::isnan(nan));
  EXPECT_TRUE(std::signbit(nan));
  // Pseudo-infinity and an unnormal are invalid operands: NaN.
  EXPECT_TRUE(std::isnan(FromBytes(std::string("\0\0\0\0\0\0\0\0\xFF\x7F", 10))));
  EXPECT_TRUE(std::isnan(FromBytes(std::string("\0\0\0\0\0\0\0\x40\xFF\x3F", 10))));
  // A pseudo-denormal reads as its value, which is the smallest normal.
  EXPECT_EQ(Hex(ExtendedBytes(FromBytes(std::string("\0\0\0\0\0\0\0\x80\0\0", 10)))),
            "00 00 00 00 00 00 00 80 01 00");
  EXPECT_EQ(FromBytes(std::string("\0\0\0\0\0\0\0\0\0\x80", 10)), 0.0L);
  EXPECT_TRUE(std::signbit(FromBytes(std::string("\0\0\0\0\0\0\0\0\0\x80", 10))));
}

TEST(ExtendedFormat, ParameterRoundTripsThroughTheContainer) {
  TLarkspirePluginData data;
  const long double values[] = {std::numeric_limits<long double>::denorm_min(),
                                std::numeric_limits<long double>::max(), -1e-4000L, 1.0L / 3};
  for (size_t i = 0; i < std::size(values); ++i)
    data.Param("e" + std::to_string(i)).SetAsExtended(values[i]);
  TLarkspirePluginData loaded;
  Load(loaded, Saved(data));
  for (size_t i = 0; i < std::size(values); ++i)
    EXPECT_EQ(loaded.Param("e" + std::to_string(i)).GetAsExtended(), values[i]) << i;
}

}  // namespace
}  // namespace larkspire
