#include "dataset/column_type.h"

#include <array>
#include <limits>

namespace larkspire {
namespace {

using A = TAdoDataType;
using K = TValueKind;
using C = TColumnLength;
constexpr int64_t kInt32Min = std::numeric_limits<int32_t>::min();
constexpr int64_t kInt32Max = std::numeric_limits<int32_t>::max();
constexpr int64_t kInt64Min = std::numeric_limits<int64_t>::min();
constexpr int64_t kInt64Max = std::numeric_limits<int64_t>::max();

// clang-format off
constexpr TColumnTypeTraits kTypes[] = {
  // type                  dt:type     rs:dbtype      length        size kind         low        high        int32  field        parameter
  {A::adTinyInt,           "i1",       "",            C::clFixed,     1, K::vkInteger, -128,      127,        true,  ftSmallint,  ftWideString},
  {A::adUnsignedTinyInt,   "ui1",      "",            C::clFixed,     1, K::vkInteger, 0,         255,        true,  ftWord,      ftWideString},
  {A::adSmallInt,          "i2",       "",            C::clFixed,     2, K::vkInteger, -32768,    32767,      true,  ftSmallint,  ftSmallint},
  {A::adUnsignedSmallInt,  "ui2",      "",            C::clFixed,     2, K::vkInteger, 0,         65535,      true,  ftWord,      ftWideString},
  {A::adInteger,           "int",      "",            C::clFixed,     4, K::vkInteger, kInt32Min, kInt32Max,  true,  ftInteger,   ftInteger},
  // An unsigned 32-bit value does not fit an Integer field.
  {A::adUnsignedInt,       "ui4",      "",            C::clFixed,     4, K::vkInteger, 0,         4294967295, false, ftLargeint,  ftWideString},
  {A::adBigInt,            "i8",       "",            C::clFixed,     8, K::vkInteger, kInt64Min, kInt64Max,  false, ftLargeint,  ftLargeint},
  {A::adUnsignedBigInt,    "ui8",      "",            C::clFixed,     8, K::vkUInt64,  0,         0,          false, ftLargeint,  ftWideString},
  {A::adSingle,            "r4",       "",            C::clFixed,     4, K::vkSingle,  0,         0,          false, ftFloat,     ftFloat},
  {A::adDouble,            "float",    "",            C::clFixed,     8, K::vkDouble,  0,         0,          false, ftFloat,     ftFloat},
  {A::adCurrency,          "number",   "currency",    C::clFixed,     8, K::vkCurrency,0,         0,          false, ftBCD,       ftBCD},
  {A::adNumeric,           "number",   "numeric",     C::clFixed,    19, K::vkDecimal, 0,         0,          false, ftBCD,       ftWideString},
  {A::adDecimal,           "number",   "decimal",     C::clFixed,    16, K::vkDecimal, 0,         0,          false, ftBCD,       ftBCD},
  {A::adBoolean,           "boolean",  "",            C::clFixed,     2, K::vkBoolean, 0,         0,          false, ftBoolean,   ftBoolean},
  {A::adDate,              "dateTime", "variantdate", C::clFixed,    16, K::vkDateTime,0,         0,          false, ftDateTime,  ftWideString},
  {A::adDBTimeStamp,       "dateTime", "timestamp",   C::clFixed,    16, K::vkDateTime,0,         0,          false, ftDateTime,  ftDateTime},
  {A::adFileTime,          "dateTime", "filetime",    C::clFixed,    16, K::vkDateTime,0,         0,          false, ftDateTime,  ftWideString},
  {A::adDBDate,            "date",     "",            C::clFixed,     6, K::vkDate,    0,         0,          false, ftDate,      ftDateTime},
  {A::adDBTime,            "time",     "",            C::clFixed,     6, K::vkTime,    0,         0,          false, ftTime,      ftDateTime},
  {A::adGUID,              "uuid",     "",            C::clFixed,    16, K::vkGuid,    0,         0,          false, ftGuid,      ftWideString},
  {A::adChar,              "string",   "str",         C::clSized,     0, K::vkString,  0,         0,          false, ftFixedChar, ftWideString},
  {A::adWChar,             "string",   "",            C::clSized,     0, K::vkString,  0,         0,          false, ftWideString,ftWideString},
  {A::adVarChar,           "string",   "str",         C::clVariable,  0, K::vkString,  0,         0,          false, ftString,    ftWideString},
  {A::adVarWChar,          "string",   "",            C::clVariable,  0, K::vkString,  0,         0,          false, ftWideString,ftWideString},
  {A::adLongVarChar,       "string",   "str",         C::clLong,      0, K::vkString,  0,         0,          false, ftMemo,      ftWideString},
  {A::adLongVarWChar,      "string",   "",            C::clLong,      0, K::vkString,  0,         0,          false, ftMemo,      ftWideString},
  {A::adBSTR,              "string",   "",            C::clLong,      0, K::vkString,  0,         0,          false, ftWideString,ftWideString},
  {A::adBinary,            "bin.hex",  "",            C::clSized,     0, K::vkBinary,  0,         0,          false, ftBytes,     ftBlob},
  {A::adVarBinary,         "bin.hex",  "",            C::clVariable,  0, K::vkBinary,  0,         0,          false, ftVarBytes,  ftBlob},
  {A::adLongVarBinary,     "bin.hex",  "",            C::clLong,      0, K::vkBinary,  0,         0,          false, ftBlob,      ftBlob},
};
// clang-format on

constexpr int kLastType = static_cast<int>(A::adLongVarBinary);

// The table's entry of each enumeration value, or nullptr.
constexpr std::array<const TColumnTypeTraits*, kLastType + 1> MakeIndex() {
  std::array<const TColumnTypeTraits*, kLastType + 1> index{};
  for (const TColumnTypeTraits& traits : kTypes) index[static_cast<int>(traits.DataType)] = &traits;
  return index;
}
constexpr std::array<const TColumnTypeTraits*, kLastType + 1> kIndex = MakeIndex();

}  // namespace

const TColumnTypeTraits* FindColumnType(TAdoDataType type) {
  const int value = static_cast<int>(type);
  if (value < 0 || value > kLastType) return nullptr;
  return kIndex[static_cast<size_t>(value)];
}

TAdoDataType EffectiveDataType(const TRecordsetField& field) {
  if (field.DataType != TAdoDataType::adEmpty) return field.DataType;
  return AdoTypeOf(field.TypeName, field.DbType, field.FixedLength, field.Long, field.MaxLength);
}

const TColumnTypeTraits* ColumnTypeOf(const TRecordsetField& field) {
  return FindColumnType(EffectiveDataType(field));
}

}  // namespace larkspire
