#include "protocol/param_encoding.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "platform/codepage.h"
#include "platform/exception.h"
#include "protocol/memory_stream.h"

namespace larkspire {
namespace {

std::string Hex(const std::string& bytes) {
  static const char* kDigits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    if (!out.empty()) out.push_back(' ');
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 15]);
  }
  return out;
}

std::string Encode(const TParameters& parameters) {
  TLarkspireMemoryStream stream;
  WriteParameterList(parameters, stream);
  return stream.Bytes();
}

void Decode(const std::string& bytes, TParameters& parameters) {
  TLarkspireMemoryStream stream;
  stream.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
  stream.SetPosition(0);
  ReadParameterList(parameters, stream);
  EXPECT_EQ(stream.Position(), stream.Size()) << "the whole list is consumed";
}

TParameter RoundTrip(TFieldType type, const TVariant& value) {
  TParameters written;
  written.CreateParameter("P", type, pdInput, 10, value);
  TParameters read;
  Decode(Encode(written), read);
  EXPECT_EQ(read.Count(), 1);
  return read.Count() == 1 ? read[0] : TParameter();
}

std::string ValueBytes(const TVariant& value, uint8_t tag) {
  TLarkspireMemoryStream stream;
  WriteParamValue(value, stream, tag);
  return stream.Bytes();
}

class ParamEncoding : public ::testing::Test {
 protected:
  void TearDown() override { SetAnsiCodePage("UTF-8"); }
};

TEST_F(ParamEncoding, EmptyListIsFourZeroBytes) {
  TParameters empty;
  EXPECT_EQ(Encode(empty), std::string(4, '\0'));
  TParameters read;
  Decode(std::string(4, '\0'), read);
  EXPECT_EQ(read.Count(), 0);
}

TEST_F(ParamEncoding, StringParameterHasTheKnownBytes) {
  TParameters parameters;
  parameters.CreateParameter("ProName", ftString, pdInput, 0, TVariant("%ab%"));
  const std::string bytes = Encode(parameters);
  EXPECT_EQ(bytes.size(), 28u);
  EXPECT_EQ(Hex(bytes),
            "01 00 00 00 01 01 07 00 00 00 50 72 6F 4E 61 6D 65 00 00 00 04 00 00 00 25 61 62 25");
  TParameters read;
  Decode(bytes, read);
  ASSERT_EQ(read.Count(), 1);
  EXPECT_EQ(read[0].Name, "ProName");
  EXPECT_EQ(read[0].DataType, ftString);
  EXPECT_EQ(read[0].Direction, pdInput);
  EXPECT_EQ(read[0].Size, 0);
  EXPECT_EQ(read[0].Value, TVariant("%ab%"));
}

TEST_F(ParamEncoding, ReadingAppendsToTheCollection) {
  TParameters parameters;
  parameters.CreateParameter("A", ftInteger, pdInput, 0, TVariant(int32_t{1}));
  const std::string bytes = Encode(parameters);
  TParameters read;
  read.CreateParameter("Existing", ftString, pdInput, 0, TVariant("x"));
  Decode(bytes, read);
  ASSERT_EQ(read.Count(), 2);
  EXPECT_EQ(read[1].Name, "A");
}

TEST_F(ParamEncoding, EmptyAndNullValuesStayApart) {
  const TParameter empty = RoundTrip(ftInteger, TVariant());
  EXPECT_TRUE(empty.Value.IsEmpty());
  const TParameter null = RoundTrip(ftInteger, TVariant::Null());
  EXPECT_TRUE(null.Value.IsNull());

  TParameters parameters;
  parameters.CreateParameter("E", ftString, pdInput, 0, TVariant());
  parameters.CreateParameter("N", ftString, pdOutput, 0, TVariant::Null());
  EXPECT_EQ(Hex(Encode(parameters)),
            "02 00 00 00 01 01 01 00 00 00 45 00 00 01 01 02 01 00 00 00 4E 00 01 00");
}

TEST_F(ParamEncoding, ScalarFormsByTag) {
  EXPECT_EQ(Hex(ValueBytes(TVariant(int32_t{-2}), ftSmallint)), "FE FF FF FF");
  EXPECT_EQ(Hex(ValueBytes(TVariant("300"), ftWord)), "2C 01 00 00");
  EXPECT_EQ(Hex(ValueBytes(TVariant(true), ftBoolean)), "01");
  EXPECT_EQ(Hex(ValueBytes(TVariant(int32_t{0}), ftBoolean)), "00");
  EXPECT_EQ(Hex(ValueBytes(TVariant(1.5), ftFloat)), "00 00 00 00 00 00 F8 3F");
  EXPECT_EQ(Hex(ValueBytes(TVariant(int64_t{1} << 40), ftLargeint)), "00 00 00 00 00 01 00 00");
  EXPECT_EQ(Hex(ValueBytes(TVariant(12.5), ftString)), "04 00 00 00 31 32 2E 35");
  EXPECT_EQ(Hex(ValueBytes(TVariant(true), ftInteger)), "01 00 00 00");

  EXPECT_EQ(RoundTrip(ftSmallint, TVariant(int32_t{7})).Value, TVariant(int32_t{7}));
  EXPECT_EQ(RoundTrip(ftWord, TVariant(int32_t{65535})).Value, TVariant(int32_t{65535}));
  EXPECT_EQ(RoundTrip(ftLargeint, TVariant(int64_t{-5})).Value, TVariant(int64_t{-5}));
  EXPECT_EQ(RoundTrip(ftFloat, TVariant(-0.25)).Value, TVariant(-0.25));
  EXPECT_EQ(RoundTrip(ftWideString, TVariant("wide")).Value, TVariant("wide"));
}

TEST_F(ParamEncoding, BooleanReadsAnyNonZeroByteAsTrue) {
  TLarkspireMemoryStream stream;
  WriteByte(stream, 7);
  stream.SetPosition(0);
  EXPECT_EQ(ReadParamValue(stream, ftBoolean), TVariant(true));
}

TEST_F(ParamEncoding, CurrencyTravelsWithoutItsValueButBcdCarriesIt) {
  TParameters parameters;
  parameters.CreateParameter("C", ftCurrency, pdInput, 0, TVariant(1.5));
  const std::string bytes = Encode(parameters);
  EXPECT_EQ(Hex(bytes.substr(bytes.size() - 3)), "00 00 00");
  EXPECT_EQ(bytes.size(), 4u + 1 + 1 + 4 + 1 + 3);
  EXPECT_TRUE(RoundTrip(ftCurrency, TVariant(1.5)).Value.IsNull());

  EXPECT_EQ(Hex(ValueBytes(TVariant(1.5), ftBCD)), "98 3A 00 00 00 00 00 00");
  const TParameter bcd = RoundTrip(ftBCD, TVariant(1.5));
  EXPECT_EQ(bcd.Value.Type(), TVarType::vtCurrency);
  EXPECT_EQ(bcd.Value.AsDouble(), 1.5);
  // Halves of the fourth decimal go to even.
  EXPECT_EQ(Hex(ValueBytes(TVariant("0.00005"), ftBCD)), "00 00 00 00 00 00 00 00");
  EXPECT_EQ(Hex(ValueBytes(TVariant("0.00015"), ftBCD)), "02 00 00 00 00 00 00 00");
}

TEST_F(ParamEncoding, DateTimeTravelsAsItsDayNumber) {
  const TVariant noon_new_years_eve = TVariant::FromDateTime(1.5);  // 1899-12-31 12:00
  EXPECT_EQ(Hex(ValueBytes(noon_new_years_eve, ftDateTime)), "00 00 00 00 00 00 F8 3F");
  EXPECT_EQ(Hex(ValueBytes(TVariant("1899-12-31 12:00"), ftDateTime)), "00 00 00 00 00 00 F8 3F");
  const TParameter read = RoundTrip(ftDateTime, noon_new_years_eve);
  EXPECT_EQ(read.DataType, ftDateTime);
  EXPECT_EQ(read.Value, TVariant(1.5));
  for (TFieldType no_value : {ftUnknown, ftDate, ftTime, ftMemo, ftBlob, ftGuid, ftFMTBcd})
    EXPECT_TRUE(RoundTrip(no_value, TVariant("2020-01-01")).Value.IsNull()) << int{no_value};
}

TEST_F(ParamEncoding, ByteArrays) {
  TParameters parameters;
  parameters.CreateParameter("B", ftBlob, pdInput, 0, TVariant(TBytes{1, 2, 0xFF}));
  parameters.CreateParameter("E", ftBytes, pdInput, 0, TVariant(TBytes{}));
  const std::string bytes = Encode(parameters);
  EXPECT_EQ(Hex(bytes),
            "02 00 00 00 0F 01 01 00 00 00 42 01 00 00 03 00 00 00 01 02 FF "
            "0C 01 01 00 00 00 45 01 00 00 00 00 00 00");
  TParameters read;
  Decode(bytes, read);
  ASSERT_EQ(read.Count(), 2);
  EXPECT_EQ(read[0].Value, TVariant(TBytes{1, 2, 0xFF}));
  EXPECT_EQ(read[1].Value, TVariant(TBytes{}));

  // A negative count reads as an empty array with nothing after it.
  std::string negative = bytes.substr(0, 18);
  negative[0] = 1;
  negative.replace(14, 4, "\xFF\xFF\xFF\xFF");
  TParameters read_negative;
  Decode(negative, read_negative);
  ASSERT_EQ(read_negative.Count(), 1);
  EXPECT_EQ(read_negative[0].Value, TVariant(TBytes{}));
}

TEST_F(ParamEncoding, ScalarOfATagWithoutValueFormConsumesNothing) {
  TParameters parameters;
  parameters.CreateParameter("OraBlob", ftOraBlob, pdInput, 0, TVariant(int32_t{99}));
  parameters.CreateParameter("Next", ftInteger, pdOutput, 0, TVariant(int32_t{5}));
  TParameters read;
  Decode(Encode(parameters), read);
  ASSERT_EQ(read.Count(), 2);
  EXPECT_EQ(read[0].DataType, ftOraBlob);
  EXPECT_TRUE(read[0].Value.IsNull());
  EXPECT_EQ(read[1].Name, "Next");
  EXPECT_EQ(read[1].Direction, pdOutput);
  EXPECT_EQ(read[1].Value, TVariant(int32_t{5}));

  TLarkspireMemoryStream stream;
  WriteInt32(stream, 12345);
  stream.SetPosition(0);
  EXPECT_TRUE(ReadParamValue(stream, 200).IsNull());
  EXPECT_EQ(stream.Position(), 0);
}

TEST_F(ParamEncoding, TextsGoThroughTheCodePage) {
  SetAnsiCodePage("GBK");
  TParameters parameters;
  parameters.CreateParameter("名称", ftWideString, pdInput, 0, TVariant("中文"));
  const std::string bytes = Encode(parameters);
  EXPECT_EQ(Hex(bytes.substr(6, 8)), "04 00 00 00 C3 FB B3 C6");  // the name in GBK
  EXPECT_EQ(Hex(bytes.substr(bytes.size() - 8)), "04 00 00 00 D6 D0 CE C4");
  TParameters read;
  Decode(bytes, read);
  ASSERT_EQ(read.Count(), 1);
  EXPECT_EQ(read[0].Name, "名称");
  EXPECT_EQ(read[0].Value, TVariant("中文"));

  SetAnsiCodePage("CP1252");
  EXPECT_EQ(RoundTrip(ftWideString, TVariant("a中b")).Value, TVariant("a?b"));
}

TEST_F(ParamEncoding, ConversionErrorsPropagate) {
  TLarkspireMemoryStream stream;
  EXPECT_THROW(WriteParamValue(TVariant("abc"), stream, ftInteger), EVariantError);
  EXPECT_THROW(WriteParamValue(TVariant(int64_t{1} << 40), stream, ftInteger), EVariantError);
  EXPECT_THROW(WriteParamValue(TVariant("12a"), stream, ftFloat), EVariantError);
  EXPECT_EQ(stream.Size(), 0);
  TParameters parameters;
  parameters.CreateParameter("ok", ftInteger, pdInput, 0, TVariant(int32_t{1}));
  parameters.CreateParameter("bad", ftBoolean, pdInput, 0, TVariant("maybe"));
  EXPECT_THROW(WriteParameterList(parameters, stream), EVariantError);
}

TEST_F(ParamEncoding, SmallHelpers) {
  TLarkspireMemoryStream stream;
  WriteInt32(stream, -1);
  WriteInt64(stream, 0x0102030405060708);
  WriteByte(stream, 9);
  WriteText(stream, "hi");
  WriteInt32(stream, -5);  // a negative text length reads as empty
  stream.SetPosition(0);
  EXPECT_EQ(ReadInt32(stream, "a"), -1);
  EXPECT_EQ(ReadInt64(stream, "b"), 0x0102030405060708);
  EXPECT_EQ(ReadByte(stream, "c"), 9);
  EXPECT_EQ(ReadText(stream, "d"), "hi");
  EXPECT_EQ(ReadText(stream, "e"), "");
  try {
    ReadInt64(stream, "record count");
    FAIL();
  } catch (const EMalformedData& e) {
    EXPECT_STREQ(e.what(), "record count: needs 8 bytes, 0 left");
  }
}

void ExpectMalformed(const std::string& bytes, const std::string& message) {
  TParameters read;
  read.CreateParameter("Kept", ftInteger, pdInput, 0, TVariant(int32_t{1}));
  TLarkspireMemoryStream stream;
  stream.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
  stream.SetPosition(0);
  try {
    ReadParameterList(read, stream);
    ADD_FAILURE() << "read without error, expected: " << message;
  } catch (const EMalformedData& e) {
    EXPECT_EQ(std::string(e.what()), message);
  }
  EXPECT_EQ(read.Count(), 1) << "a malformed list adds nothing";
}

std::string Le32(int32_t v) {
  std::string s(4, '\0');
  std::memcpy(s.data(), &v, 4);
  return s;
}

TEST_F(ParamEncoding, MalformedListsRaiseAndAddNothing) {
  ExpectMalformed(Le32(1000000) + std::string(12, '\0'),
                  "parameter list: count 1000000 exceeds the 12 bytes left");
  ExpectMalformed(Le32(-1), "parameter list: count -1 exceeds the 0 bytes left");
  ExpectMalformed(std::string(2, '\0'), "parameter list: count: needs 4 bytes, 2 left");

  TParameters one;
  one.CreateParameter("ProName", ftString, pdInput, 0, TVariant("%ab%"));
  const std::string good = Encode(one);
  ExpectMalformed(good.substr(0, good.size() - 1),
                  "parameter list: record 1 value: length 4 exceeds the 3 bytes left");
  ExpectMalformed(good.substr(0, 20), "parameter list: record 1 value: needs 4 bytes, 0 left");
  std::string long_name = good;
  long_name.replace(6, 4, Le32(0x7FFFFFFF));
  ExpectMalformed(long_name,
                  "parameter list: record 1 name: length 2147483647 exceeds the 18 bytes left");
  std::string bad_direction = good;
  bad_direction[5] = 9;
  ExpectMalformed(bad_direction,
                  "parameter list: record 1: direction 9 is not a parameter direction");

  TParameters array;
  array.CreateParameter("B", ftBlob, pdInput, 0, TVariant(TBytes{1, 2, 3}));
  std::string huge_array = Encode(array);
  huge_array.replace(14, 4, Le32(1 << 30));
  ExpectMalformed(huge_array,
                  "parameter list: record 1 byte array: length 1073741824 exceeds the 3 bytes "
                  "left");

  TParameters two;
  two.CreateParameter("A", ftLargeint, pdInput, 0, TVariant(int64_t{1}));
  two.CreateParameter("B", ftFloat, pdInput, 0, TVariant(2.0));
  const std::string both = Encode(two);
  ExpectMalformed(both.substr(0, both.size() - 4),
                  "parameter list: record 2 value: needs 8 bytes, 4 left");
}

TEST_F(ParamEncoding, SurvivesRandomDamage) {
  TParameters parameters;
  parameters.CreateParameter("S", ftString, pdInput, 0, TVariant("text value"));
  parameters.CreateParameter("B", ftBlob, pdInput, 0, TVariant(TBytes{1, 2, 3, 4}));
  parameters.CreateParameter("D", ftBCD, pdInputOutput, 0, TVariant(3.25));
  parameters.CreateParameter("N", ftInteger, pdOutput, 0, TVariant::Null());
  const std::string good = Encode(parameters);
  std::mt19937 random(11);
  for (int round = 0; round < 5000; ++round) {
    std::string damaged = good.substr(0, random() % (good.size() + 1));
    if (!damaged.empty()) damaged[random() % damaged.size()] = static_cast<char>(random());
    TParameters read;
    TLarkspireMemoryStream stream;
    stream.WriteBuffer(damaged.data(), static_cast<int64_t>(damaged.size()));
    stream.SetPosition(0);
    try {
      ReadParameterList(read, stream);
      EXPECT_LE(stream.Position(), stream.Size());
    } catch (const EMalformedData&) {
    }
  }
}

}  // namespace
}  // namespace larkspire
