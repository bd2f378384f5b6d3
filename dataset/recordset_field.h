// A column of a rowset: its ADO type, its name and the schema properties the ADO XML format
// carries, and the ADO type an XML type names.
//
// Thread-safety: plain values; the functions are pure.
#ifndef LARKSPIRE_DATASET_RECORDSET_FIELD_H_
#define LARKSPIRE_DATASET_RECORDSET_FIELD_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/variant.h"

namespace larkspire {

// ADO's DataTypeEnum values of the column types the XML format carries.
enum class TAdoDataType : int {
  adEmpty = 0,
  adSmallInt = 2,
  adInteger = 3,
  adSingle = 4,
  adDouble = 5,
  adCurrency = 6,
  adDate = 7,
  adBSTR = 8,
  adBoolean = 11,
  adDecimal = 14,
  adTinyInt = 16,
  adUnsignedTinyInt = 17,
  adUnsignedSmallInt = 18,
  adUnsignedInt = 19,
  adBigInt = 20,
  adUnsignedBigInt = 21,
  adFileTime = 64,
  adGUID = 72,
  adBinary = 128,
  adChar = 129,
  adWChar = 130,
  adNumeric = 131,
  adDBDate = 133,
  adDBTime = 134,
  adDBTimeStamp = 135,
  adVarChar = 200,
  adLongVarChar = 201,
  adVarWChar = 202,
  adLongVarWChar = 203,
  adVarBinary = 204,
  adLongVarBinary = 205,
};

using TXmlAttributes = std::vector<std::pair<std::string, std::string>>;

// Whether two names are the same but for ASCII case (how field names are matched).
bool EqualsIgnoreCase(std::string_view a, std::string_view b);

// The precision and scale a rowset gives a decimal column whose database type names none
// (PostgreSQL's "numeric" alone): its values keep their own number of decimals.
inline constexpr int kUnboundedDecimalPrecision = 38;
inline constexpr int kUnboundedDecimalScale = 10;

// One column: its name, type and the schema properties the XML format carries.
struct TRecordsetField {
  std::string Name;      // the field name (the schema's rs:name when it has one)
  std::string XmlName;   // the attribute name in rows; empty: derived from Name when saving
  int Number = 0;        // rs:number, 1-based
  std::string TypeName;  // dt:type: "int", "i8", "string", "bin.hex", "number", "dateTime", ...
  std::string DbType;    // rs:dbtype: "str", "currency", "decimal", "numeric", "timestamp", ...
  TAdoDataType DataType = TAdoDataType::adEmpty;  // derived from the four above
  int64_t MaxLength = 0;          // dt:maxLength (characters for strings, bytes otherwise)
  bool HasMaxLength = true;       // dt:maxLength was given
  std::optional<int> Precision;   // rs:precision
  std::optional<int> Scale;       // rs:scale
  bool FixedLength = false;       // rs:fixedlength
  bool Long = false;              // rs:long
  std::optional<bool> MaybeNull;  // rs:maybenull of the datatype
  bool Nullable = false;          // rs:nullable
  bool Write = false;             // rs:write
  bool WriteUnknown = false;      // rs:writeunknown
  bool KeyColumn = false;         // rs:keycolumn
  bool AutoIncrement = false;     // rs:autoincrement
  bool RowVersion = false;        // rs:rowver
  bool RowId = false;             // rs:rowid
  bool Hidden = false;            // rs:hidden
  std::string BaseCatalog, BaseSchema, BaseTable, BaseColumn;  // rs:base*
  TXmlAttributes ExtraAttributes;          // other attributes of s:AttributeType, kept as read
  TXmlAttributes ExtraDatatypeAttributes;  // other attributes of s:datatype, kept as read

  // A field of the given ADO type with the XML type, length and flags ADO gives it. size is the
  // length of strings and binaries (ignored for fixed-size types); precision and scale apply to
  // decimal and numeric.
  static TRecordsetField Make(const std::string& name, TAdoDataType type, int64_t size = 0,
                              int precision = 0, int scale = 0);

  // A field property by ADO's name, case-insensitive: "KEYCOLUMN" and "ISAUTOINCREMENT"
  // (Boolean), "BASECATALOGNAME", "BASESCHEMANAME", "BASETABLENAME", "BASECOLUMNNAME" (String).
  // Empty for any other name.
  TVariant Property(const std::string& name) const;

  bool operator==(const TRecordsetField& other) const = default;
};

// A date-time column whose values are instants given in UTC (PostgreSQL's timestamptz) carries
// the attribute lk:timezone='UTC' (with its namespace declared beside it) on its
// s:AttributeType. The values themselves are written as any date-time's, so a reader that does
// not know the attribute reads them as before and keeps the attribute as any other.
bool IsUtcColumn(const TRecordsetField& field);
void MarkUtcColumn(TRecordsetField& field);

// The ADO type of an XML type; adEmpty when the type is not one the format knows.
TAdoDataType AdoTypeOf(const std::string& type_name, const std::string& db_type, bool fixed_length,
                       bool is_long, int64_t max_length);

}  // namespace larkspire

#endif  // LARKSPIRE_DATASET_RECORDSET_FIELD_H_
