// Field conversions and text forms, display formats, and the field types given to columns.
#include "dataset/field.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "dataset/ado_xml.h"
#include "dataset/recordset_dataset.h"
#include "platform/datetime.h"
#include "platform/exception.h"
#include "support/dataset_fixtures.h"

namespace larkspire {
namespace {

std::string ErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const EDatabaseError& e) {
    return e.what();
  }
  return "(no error)";
}

TEST(TFloatField, WritesTheShortestTextOfAtMostFifteenDigits) {
  TFloatField f("PurPrice");
  EXPECT_EQ(f.TextOf(TVariant(12.5)), "12.5");
  EXPECT_EQ(f.TextOf(TVariant(12.0)), "12");
  EXPECT_EQ(f.TextOf(TVariant(0.1 + 0.2)), "0.3");
  EXPECT_EQ(f.TextOf(TVariant(-1.0)), "-1");
  EXPECT_EQ(f.TextOf(TVariant(int32_t{7})), "7");
  EXPECT_EQ(f.TextOf(TVariant::Null()), "");
}

TEST(TFloatField, AcceptsOnlyWholeDecimalNumbersAsText) {
  TFloatField f("PurPrice");
  EXPECT_EQ(f.Convert(TVariant("1e3")).AsDouble(), 1000);
  EXPECT_EQ(f.Convert(TVariant(" -2.5 ")).AsDouble(), -2.5);
  EXPECT_EQ(f.Convert(TVariant(".5")).AsDouble(), 0.5);
  for (const char* bad : {"abc", "12a", "0x10", "inf", "nan", "1,5", "1e", "--1"})
    EXPECT_THROW(f.Convert(TVariant(bad)), EDatabaseError) << bad;
  EXPECT_EQ(ErrorOf([&] { f.Convert(TVariant("abc")); }),
            "'abc' is not a valid floating point value for field 'PurPrice'");
  EXPECT_TRUE(f.Convert(TVariant(" ")).IsNull()) << "a blank text clears a number";
}

TEST(TIntegerField, KeepsValuesInsideTheRangeOfItsType) {
  TIntegerField small("S", ftSmallint);
  EXPECT_EQ(small.Convert(TVariant(int32_t{-32768})).AsInteger(), -32768);
  EXPECT_EQ(ErrorOf([&] { small.Convert(TVariant(int32_t{40000})); }),
            "40000 is not a valid value for field 'S'. The allowed range is -32768 to 32767");
  TIntegerField word("W", ftWord);
  EXPECT_THROW(word.Convert(TVariant(int32_t{-1})), EDatabaseError);
  TIntegerField i("I");
  EXPECT_THROW(i.Convert(TVariant(int64_t{1} << 40)), EDatabaseError);
  EXPECT_EQ(i.Convert(TVariant(" 42 ")).Type(), TVarType::vtInteger);
  EXPECT_EQ(ErrorOf([&] { i.Convert(TVariant("12.5")); }),
            "'12.5' is not a valid integer value for field 'I'");
  EXPECT_EQ(i.TextOf(TVariant(int32_t{-17})), "-17");
  TLargeintField big("B");
  EXPECT_EQ(big.TextOf(big.Convert(TVariant("9000000000"))), "9000000000");
}

TEST(TBCDField, HoldsExactCurrencyValues) {
  TBCDField f("Amount");
  const TVariant v = f.Convert(TVariant("1234.5678"));
  EXPECT_EQ(v.Type(), TVarType::vtCurrency);
  EXPECT_EQ(v.AsCurrency(), 12345678);
  EXPECT_EQ(f.TextOf(v), "1234.5678");
  EXPECT_EQ(f.TextOf(TVariant::FromCurrency(15000)), "1.5");
  EXPECT_EQ(f.TextOf(TVariant("12345678901234567890.5")), "12345678901234567890.5")
      << "a decimal too wide for a currency shows its own text";
  EXPECT_THROW(f.Convert(TVariant("1.2.3")), EDatabaseError);
  TFMTBCDField wide("Wide");
  EXPECT_EQ(wide.TextOf(wide.Convert(TVariant("0.123456789"))), "0.123456789");
}

TEST(TBooleanField, ReadsTrueAndFalseByPrefixIgnoringCase) {
  TBooleanField f("Active");
  EXPECT_EQ(f.Convert(TVariant("t")).AsBoolean(), true);
  EXPECT_EQ(f.Convert(TVariant("FALSE")).AsBoolean(), false);
  EXPECT_EQ(f.TextOf(TVariant(true)), "True");
  EXPECT_EQ(f.TextOf(TVariant(int32_t{0})), "False");
  EXPECT_THROW(f.Convert(TVariant("yes")), EDatabaseError);
  EXPECT_THROW(f.Convert(TVariant("truer")), EDatabaseError);
}

TEST(TDateTimeField, ShowsTheDateTheTimeOrBothByType) {
  const double when = EncodeDateTime({2026, 3, 4, 13, 45, 6, 0});
  EXPECT_EQ(TDateTimeField("D", ftDateTime).TextOf(TVariant::FromDateTime(when)),
            "2026-03-04 13:45:06");
  EXPECT_EQ(TDateTimeField("D", ftDate).TextOf(TVariant::FromDateTime(when)), "2026-03-04");
  EXPECT_EQ(TDateTimeField("D", ftTime).TextOf(TVariant::FromDateTime(when)), "13:45:06");
  TDateTimeField f("When");
  EXPECT_DOUBLE_EQ(f.Convert(TVariant("2026-03-04 13:45:06")).AsDateTime(), when);
  EXPECT_EQ(ErrorOf([&] { f.Convert(TVariant("soon")); }),
            "'soon' is not a valid date and time for field 'When'");
}

TEST(TNumericField, DisplayFormatShapesTheNumber) {
  TFloatField f("RetaiPrice");
  f.SetDisplayFormat("￥0.00");
  EXPECT_EQ(f.DisplayTextOf(TVariant(12.5)), "￥12.50");
  EXPECT_EQ(f.DisplayTextOf(TVariant(-3.0)), "-￥3.00");
  EXPECT_EQ(f.DisplayTextOf(TVariant(0.004)), "￥0.00");
  EXPECT_EQ(f.DisplayTextOf(TVariant::Null()), "");
  EXPECT_EQ(f.TextOf(TVariant(12.5)), "12.5") << "the plain text ignores the display format";
  EXPECT_EQ(FormatFloat("#,##0.00", 1234567.891), "1,234,567.89");
  EXPECT_EQ(FormatFloat("0.##", 2.5), "2.5");
  EXPECT_EQ(FormatFloat("0.##", 2.0), "2");
  EXPECT_EQ(FormatFloat("#.00", 0.5), ".50");
  EXPECT_EQ(FormatFloat("0 'kg'", 3.6), "4 kg");
  EXPECT_EQ(FormatFloat("0.0;(0.0);'none'", -1.25), "(1.2)");
  EXPECT_EQ(FormatFloat("0.0;(0.0);'none'", 0.0), "none");
}

TEST(TField, ValuesGoThroughTheDatasetAndNullReadsAsZeroOrEmpty) {
  testing::TRecordingDataSet ds;
  ds.OpenProducts(1);
  TField& price = ds.FieldByName("PurPrice");
  TField& name = ds.FieldByName("ProName");
  ds.Edit();
  price.Clear();
  name.SetAsString("");
  EXPECT_TRUE(price.IsNull());
  EXPECT_EQ(price.AsFloat(), 0);
  EXPECT_EQ(price.AsInteger(), 0);
  EXPECT_EQ(price.AsString(), "");
  EXPECT_FALSE(name.IsNull()) << "an empty text is a value of a string field";
  price.SetAsString("");
  EXPECT_TRUE(price.IsNull()) << "an empty text clears a number";
  price.SetAsString("12.5");
  EXPECT_EQ(price.AsCurrency(), 125000);
  EXPECT_EQ(price.AsInteger(), 12) << "rounded half to even";
  ds.Post();
  EXPECT_EQ(price.AsString(), "12.5");
  EXPECT_EQ(name.AsString(), "");
  EXPECT_FALSE(name.IsNull());
}

TEST(TField, OnValidateCanRefuseAValueAndOnChangeFollowsAStoredOne) {
  testing::TRecordingDataSet ds;
  ds.OpenProducts(1);
  TField& name = ds.FieldByName("ProName");
  std::vector<std::string> seen;
  name.OnValidate = [&](TField&, const TVariant& v) {
    if (v.AsString() == "bad") throw EDatabaseError("refused");
  };
  name.OnChange = [&](TField& f) { seen.push_back(f.AsString()); };
  ds.Edit();
  EXPECT_THROW(name.SetAsString("bad"), EDatabaseError);
  EXPECT_EQ(name.AsString(), "Name 1");
  name.SetAsString("good");
  EXPECT_THAT(seen, ::testing::ElementsAre("good"));
}

TEST(TField, ColumnsGetTheFieldTypesOfTheFramework) {
  auto column = [](TAdoDataType type, int precision = 0, int scale = 0) {
    return TRecordsetField::Make("c", type, 10, precision, scale);
  };
  EXPECT_EQ(FieldTypeOfColumn(column(TAdoDataType::adTinyInt)), ftSmallint);
  EXPECT_EQ(FieldTypeOfColumn(column(TAdoDataType::adUnsignedSmallInt)), ftWord);
  EXPECT_EQ(FieldTypeOfColumn(column(TAdoDataType::adUnsignedInt)), ftLargeint);
  EXPECT_EQ(FieldTypeOfColumn(column(TAdoDataType::adCurrency)), ftBCD);
  EXPECT_EQ(FieldTypeOfColumn(column(TAdoDataType::adNumeric, 10, 2)), ftBCD);
  EXPECT_EQ(FieldTypeOfColumn(column(TAdoDataType::adNumeric, 28, 8)), ftFMTBcd);
  EXPECT_EQ(FieldTypeOfColumn(column(TAdoDataType::adNumeric, 10, 2), false), ftFloat);
  EXPECT_EQ(FieldTypeOfColumn(column(TAdoDataType::adVarWChar)), ftWideString);
  EXPECT_EQ(FieldTypeOfColumn(column(TAdoDataType::adLongVarWChar)), ftMemo);
  EXPECT_EQ(FieldTypeOfColumn(column(TAdoDataType::adDBDate)), ftDate);
  TRecordsetField id = column(TAdoDataType::adInteger);
  id.AutoIncrement = true;
  EXPECT_EQ(FieldTypeOfColumn(id), ftAutoInc);
  EXPECT_NE(dynamic_cast<TAutoIncField*>(CreateField({"Id", ftAutoInc}).get()), nullptr);
  EXPECT_NE(dynamic_cast<TBCDField*>(CreateField({"A", ftBCD, 4, 19}).get()), nullptr);
  EXPECT_NE(dynamic_cast<TMemoField*>(CreateField({"M", ftMemo}).get()), nullptr);
}

TEST(TField, EveryValueOfARealRowsetHasAText) {
  // A rowset written by the recordset engine with every column type the format carries.
  TRecordsetDataSet ds;
  auto recordset = std::make_unique<TRecordset>();
  recordset->OpenFromFile(std::string(LARKSPIRE_TEST_DATA_DIR) +
                          "/ado-xml/pending-changes-all-types.xml");
  ds.SetRecordset(std::move(recordset));
  ASSERT_GT(ds.RecordCount(), 0);
  ASSERT_GT(ds.FieldCount(), 20);
  for (ds.First(); !ds.Eof(); ds.Next()) {
    for (int i = 0; i < ds.FieldCount(); ++i) {
      TField& field = ds.Fields(i);
      EXPECT_NO_THROW(field.AsString()) << field.FieldName() << " row " << ds.RecNo();
      EXPECT_NO_THROW(field.DisplayText()) << field.FieldName();
    }
  }
}

}  // namespace
}  // namespace larkspire
