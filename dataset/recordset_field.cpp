#include "dataset/recordset_field.h"

#include "dataset/column_type.h"
#include "platform/exception.h"

namespace larkspire {
namespace {

// The mark of a column of UTC instants (IsUtcColumn).
constexpr const char* kUtcAttribute = "lk:timezone";

}  // namespace

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

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
  const TColumnTypeTraits* traits = FindColumnType(type);
  if (!traits) throw EDatabaseError("Field '" + name + "' has no data type");
  f.TypeName = traits->XmlType;
  f.DbType = traits->DbType;
  switch (traits->Length) {
    case TColumnLength::clFixed:
      f.MaxLength = traits->Size;
      f.FixedLength = true;
      break;
    case TColumnLength::clSized:
      f.MaxLength = size;
      f.FixedLength = true;
      break;
    case TColumnLength::clVariable:
      f.MaxLength = size;
      break;
    case TColumnLength::clLong:
      f.MaxLength = size;
      f.Long = true;
      break;
  }
  if (traits->Kind == TValueKind::vkDecimal) {
    f.Precision = precision;
    f.Scale = scale;
  }
  if (type == TAdoDataType::adDBTimeStamp) f.Scale = 0;
  // A BSTR of no given size holds any length.
  if (type == TAdoDataType::adBSTR && size <= 0) f.MaxLength = 4294967295LL;
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

bool IsUtcColumn(const TRecordsetField& field) {
  for (const auto& [name, value] : field.ExtraAttributes)
    if (name == kUtcAttribute) return value == "UTC";
  return false;
}

void MarkUtcColumn(TRecordsetField& field) {
  if (IsUtcColumn(field)) return;
  field.ExtraAttributes.emplace_back("xmlns:lk", "urn:larkspire:rowset");
  field.ExtraAttributes.emplace_back(kUtcAttribute, "UTC");
}

}  // namespace larkspire
