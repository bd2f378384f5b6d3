// What the system knows of each ADO column type, kept in one table: the XML type ADO writes for
// it, how its values are stored, read and written, the dataset field it becomes and the type a
// parameter carrying one of its values travels as. Every question about a column type is
// answered here, so that the recordset, the XML reader and writer, the datasets and the server
// agree.
//
// Thread-safety: the table is constant; the functions are pure.
#ifndef LARKSPIRE_DATASET_COLUMN_TYPE_H_
#define LARKSPIRE_DATASET_COLUMN_TYPE_H_

#include <cstdint>

#include "dataset/recordset_field.h"
#include "platform/parameters.h"

namespace larkspire {

// How the values of a column are stored, read and written.
enum class TValueKind {
  vkInteger,  // Integer or Int64 within [Low, High]
  vkUInt64,   // ui8: Int64, or its decimal text above the Int64 range
  vkSingle,   // Double rounded to single precision
  vkDouble,
  vkCurrency,
  vkDecimal,  // Currency when exact, else the exact decimal text
  vkBoolean,
  vkDateTime,
  vkDate,  // DateTime without a time of day
  vkTime,  // DateTime without a date
  vkGuid,  // String "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"
  vkString,
  vkBinary,
};

// How a column type gives its length.
enum class TColumnLength {
  clFixed,     // always Size bytes
  clSized,     // fixed length, the size given for the column
  clVariable,  // up to the size given
  clLong,      // a long value (rs:long), up to the size given
};

struct TColumnTypeTraits {
  TAdoDataType DataType;
  const char* XmlType;  // dt:type ADO writes for a column of this type
  const char* DbType;   // rs:dbtype ADO writes, or ""
  TColumnLength Length;
  int64_t Size;  // dt:maxLength of a clFixed type
  TValueKind Kind;
  int64_t Low, High;  // vkInteger: the range of values
  bool Int32;         // vkInteger: stored as Integer rather than Int64
  // The dataset field of such a column (before the key column and BCD rules of
  // FieldTypeOfColumn).
  TFieldType FieldType;
  // The type an output parameter filled from such a column travels as. A value of ftDate or
  // ftTime would travel as Null, so dates and times go as ftDateTime.
  TFieldType ParameterType;
};

// The traits of a type; nullptr for adEmpty and values outside the enumeration.
const TColumnTypeTraits* FindColumnType(TAdoDataType type);
// The column's ADO type: its DataType, else the one its XML type names (adEmpty when none).
TAdoDataType EffectiveDataType(const TRecordsetField& field);
// The traits of the column's effective type; nullptr when it has none.
const TColumnTypeTraits* ColumnTypeOf(const TRecordsetField& field);

}  // namespace larkspire

#endif  // LARKSPIRE_DATASET_COLUMN_TYPE_H_
