#include "dataset/column_type.h"

#include <gtest/gtest.h>

#include "dataset/recordset.h"
#include "dataset/recordset_dataset.h"

namespace larkspire {
namespace {

std::vector<const TColumnTypeTraits*> AllTypes() {
  std::vector<const TColumnTypeTraits*> all;
  for (int value = 0; value <= 255; ++value)
    if (const TColumnTypeTraits* traits = FindColumnType(static_cast<TAdoDataType>(value)))
      all.push_back(traits);
  return all;
}

// A column made of each type is written with an XML type that reads back as the same type, and
// a recordset of such columns saves and reopens with the types and values unchanged.
TEST(TColumnType, EveryTypeMadeReadsBackAsItself) {
  const std::vector<const TColumnTypeTraits*> all = AllTypes();
  ASSERT_EQ(all.size(), 30u);
  std::vector<TRecordsetField> fields;
  for (const TColumnTypeTraits* traits : all) {
    const int type = static_cast<int>(traits->DataType);
    SCOPED_TRACE(type);
    // A BSTR given a size reads back as a long wide string; without one it stays itself.
    const int64_t size = traits->DataType == TAdoDataType::adBSTR ? 0 : 12;
    const TRecordsetField f =
        TRecordsetField::Make("c" + std::to_string(type), traits->DataType, size, 10, 2);
    EXPECT_EQ(AdoTypeOf(f.TypeName, f.DbType, f.FixedLength, f.Long, f.MaxLength),
              traits->DataType);
    EXPECT_EQ(ColumnTypeOf(f), traits);
    fields.push_back(f);
  }
  TRecordset rs;
  rs.CreateFields(fields);
  rs.AddNew();
  for (int i = 0; i < rs.FieldCount(); ++i)
    rs.SetValue(
        i, TVariant(all[i]->Kind == TValueKind::vkGuid ? "{6F9619FF-8B86-D011-B42D-00C04FC964FF}"
                                                       : "1"));
  rs.Update();
  const std::string saved = rs.SaveToString();
  TRecordset back;
  back.OpenFromString(saved);
  ASSERT_EQ(back.FieldCount(), rs.FieldCount());
  for (int i = 0; i < rs.FieldCount(); ++i) {
    EXPECT_EQ(back.Field(i).DataType, rs.Field(i).DataType) << rs.Field(i).Name;
    EXPECT_EQ(back.Value(i), rs.Value(i)) << rs.Field(i).Name;
  }
  EXPECT_EQ(back.SaveToString(), saved);
}

// A time column is a time field and a date column a date field; a parameter filled from either
// travels as a date-time, the one kind of the two the wire carries.
TEST(TColumnType, DatesAndTimesAreTheirOwnFieldsButTravelAsDateTimes) {
  const TRecordsetField time = TRecordsetField::Make("t", TAdoDataType::adDBTime);
  const TRecordsetField date = TRecordsetField::Make("d", TAdoDataType::adDBDate);
  EXPECT_EQ(FieldTypeOfColumn(time), ftTime);
  EXPECT_EQ(FieldTypeOfColumn(date), ftDate);
  EXPECT_EQ(ColumnTypeOf(time)->ParameterType, ftDateTime);
  EXPECT_EQ(ColumnTypeOf(date)->ParameterType, ftDateTime);
  EXPECT_EQ(CoerceFieldValue(time, TVariant::FromDateTime(45000.25)), TVariant::FromDateTime(0.25));
  EXPECT_EQ(CoerceFieldValue(date, TVariant::FromDateTime(45000.25)),
            TVariant::FromDateTime(45000));
}

}  // namespace
}  // namespace larkspire
