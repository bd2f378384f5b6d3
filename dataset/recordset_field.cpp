#include "dataset/recordset_field.h"

#include "platform/exception.h"

namespace larkspire {
namespace {

char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

}  // namespace

TAdoDataType AdoTypeOf(const std::string& type_name, const std::string& db_type, bool fixed_length,
                       bool is_long, int64_t max_length) {
  const std::string& t = type_name;
  if (t == "int" || t == "i4") return TAdoDataType::adInteger;
  if (t == "i1") return TAdoDataType::adTinyInt;
  if (t == "i2") return TAdoDataType::adSmallInt;
  if (t == "i8") return TAdoDataType::adBigInt;
  if (t == "ui1") return TAdoDataType::adUnsignedTinyInt;
  if (t == "ui2") return TAdoDataType::adUnsignedSmallInt;
  if (t == "ui4") return TAdoDataType::adUnsignedInt;
  if (t == "ui8") return TAdoDataType::adUnsignedBigInt;
  if (t == "r4") return TAdoDataType::adSingle;
  if (t == "float" || t == "r8") return TAdoDataType::adDouble;
  if (t == "fixed.14.4") return TAdoDataType::adCurrency;
  if (t == "number") {
    if (db_type == "currency") return TAdoDataType::adCurrency;
    if (db_type == "decimal") return TAdoDataType::adDecimal;
    if (db_type.empty() || db_type == "numeric" || db_type == "varnumeric")
      return TAdoDataType::adNumeric;
    return TAdoDataType::adEmpty;
  }
  if (t == "boolean") return TAdoDataType::adBoolean;
  if (t == "dateTime" || t == "dateTime.tz") {
    if (db_type == "timestamp") return TAdoDataType::adDBTimeStamp;
    if (db_type == "filetime") return TAdoDataType::adFileTime;
    return TAdoDataType::adDate;
  }
  if (t == "date") return TAdoDataType::adDBDate;
  if (t == "time" || t == "time.tz") return TAdoDataType::adDBTime;
  if (t == "uuid") return TAdoDataType::adGUID;
  if (t == "string" || t == "char") {
    if (db_type == "str")
      return fixed_length ? TAdoDataType::adChar
             : is_long    ? TAdoDataType::adLongVarChar
                          : TAdoDataType::adVarChar;
    if (db_type == "bstr") return TAdoDataType::adBSTR;
    if (!db_type.empty() && db_type != "wstr") return TAdoDataType::adEmpty;
    if (fixed_length) return TAdoDataType::adWChar;
    if (is_long)
      return max_length == 4294967295LL ? TAdoDataType::adBSTR : TAdoDataType::adLongVarWChar;
    return TAdoDataType::adVarWChar;
  }
  if (t == "bin.hex") {
    return fixed_length ? TAdoDataType::adBinary
           : is_long    ? TAdoDataType::adLongVarBinary
                        : TAdoDataType::adVarBinary;
  }
  return TAdoDataType::adEmpty;
}

TRecordsetField TRecordsetField::Make(const std::string& name, TAdoDataType type, int64_t size,
                                      int precision, int scale) {
  TRecordsetField f;
  f.Name = name;
  f.DataType = type;
  f.Precision = 0;
  f.MaybeNull = false;
  f.Nullable = true;
  f.Write = true;
  auto fixed = [&](const char* type_name, int64_t length) {
    f.TypeName = type_name;
    f.MaxLength = length;
    f.FixedLength = true;
  };
  switch (type) {
    case TAdoDataType::adTinyInt:
      fixed("i1", 1);
      break;
    case TAdoDataType::adUnsignedTinyInt:
      fixed("ui1", 1);
      break;
    case TAdoDataType::adSmallInt:
      fixed("i2", 2);
      break;
    case TAdoDataType::adUnsignedSmallInt:
      fixed("ui2", 2);
      break;
    case TAdoDataType::adInteger:
      fixed("int", 4);
      break;
    case TAdoDataType::adUnsignedInt:
      fixed("ui4", 4);
      break;
    case TAdoDataType::adBigInt:
      fixed("i8", 8);
      break;
    case TAdoDataType::adUnsignedBigInt:
      fixed("ui8", 8);
      break;
    case TAdoDataType::adSingle:
      fixed("r4", 4);
      break;
    case TAdoDataType::adDouble:
      fixed("float", 8);
      break;
    case TAdoDataType::adCurrency:
      fixed("number", 8);
      f.DbType = "currency";
      break;
    case TAdoDataType::adNumeric:
      fixed("number", 19);
      f.DbType = "numeric";
      f.Precision = precision;
      f.Scale = scale;
      break;
    case TAdoDataType::adDecimal:
      fixed("number", 16);
      f.DbType = "decimal";
      f.Precision = precision;
      f.Scale = scale;
      break;
    case TAdoDataType::adBoolean:
      fixed("boolean", 2);
      break;
    case TAdoDataType::adDate:
      fixed("dateTime", 16);
      f.DbType = "variantdate";
      break;
    case TAdoDataType::adDBTimeStamp:
      fixed("dateTime", 16);
      f.DbType = "timestamp";
      f.Scale = 0;
      break;
    case TAdoDataType::adFileTime:
      fixed("dateTime", 16);
      f.DbType = "filetime";
      break;
    case TAdoDataType::adDBDate:
      fixed("date", 6);
      break;
    case TAdoDataType::adDBTime:
      fixed("time", 6);
      break;
    case TAdoDataType::adGUID:
      fixed("uuid", 16);
      break;
    case TAdoDataType::adChar:
      fixed("string", size);
      f.DbType = "str";
      break;
    case TAdoDataType::adWChar:
      fixed("string", size);
      break;
    case TAdoDataType::adVarChar:
      f.TypeName = "string";
      f.DbType = "str";
      f.MaxLength = size;
      break;
    case TAdoDataType::adVarWChar:
      f.TypeName = "string";
      f.MaxLength = size;
      break;
    case TAdoDataType::adLongVarChar:
      f.TypeName = "string";
      f.DbType = "str";
      f.MaxLength = size;
      f.Long = true;
      break;
    case TAdoDataType::adLongVarWChar:
      f.TypeName = "string";
      f.MaxLength = size;
      f.Long = true;
      break;
    case TAdoDataType::adBSTR:
      f.TypeName = "string";
      f.MaxLength = size > 0 ? size : 4294967295LL;
      f.Long = true;
      break;
    case TAdoDataType::adBinary:
      fixed("bin.hex", size);
      break;
    case TAdoDataType::adVarBinary:
      f.TypeName = "bin.hex";
      f.MaxLength = size;
      break;
    case TAdoDataType::adLongVarBinary:
      f.TypeName = "bin.hex";
      f.MaxLength = size;
      f.Long = true;
      break;
    case TAdoDataType::adEmpty:
      throw EDatabaseError("Field '" + name + "' has no data type");
  }
  return f;
}

TVariant TRecordsetField::Property(const std::string& name) const {
  if (EqualsIgnoreCase(name, "KEYCOLUMN")) return TVariant(KeyColumn);
  if (EqualsIgnoreCase(name, "ISAUTOINCREMENT")) return TVariant(AutoIncrement);
  if (EqualsIgnoreCase(name, "BASECATALOGNAME")) return TVariant(BaseCatalog);
  if (EqualsIgnoreCase(name, "BASESCHEMANAME")) return TVariant(BaseSchema);
  if (EqualsIgnoreCase(name, "BASETABLENAME")) return TVariant(BaseTable);
  if (EqualsIgnoreCase(name, "BASECOLUMNNAME")) return TVariant(BaseColumn);
  return TVariant();
}

}  // namespace larkspire
