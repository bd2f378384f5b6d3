// The text the command-line client prints for a value, the same in every output format: the
// value as exactly as the database gave it, not the shortened form a grid displays.
//
//   integers and text   as they are
//   floating point      the shortest text that reads back as the same number (1261.3999999999999)
//   decimals            with the column's scale when the rowset gives one (2328.60)
//   date and time       "YYYY-MM-DD HH:MM:SS[.ffffff]", a date column "YYYY-MM-DD", a time
//                       column "HH:MM:SS[.ffffff]"; the fraction only when there is one; a
//                       column of UTC instants (timestamptz) ends with "+00"
//   binary              "\x" and lower-case hexadecimal, as PostgreSQL writes bytea
//   Null                empty
//
// Thread-safety: pure functions over the values passed in.
#ifndef LARKSPIRE_CLI_VALUE_TEXT_H_
#define LARKSPIRE_CLI_VALUE_TEXT_H_

#include <string>

#include "dataset/field.h"
#include "dataset/recordset_field.h"
#include "platform/variant.h"

namespace larkspire::cli {

// The current row's value of a field.
std::string ValueText(const TField& field);
// The same for a value of the field's column in any row; column is the rowset's column behind
// the field (TRecordsetDataSet::SourceColumn), or null when there is none.
std::string ValueText(const TField& field, const TRecordsetField* column, const TVariant& value);

}  // namespace larkspire::cli

#endif  // LARKSPIRE_CLI_VALUE_TEXT_H_
