// Converting a value to the kind a column of a rowset stores: Integer for i1, i2, i4, ui1, ui2;
// Int64 for ui4, i8, ui8 (an ui8 above the Int64 range as its decimal text); Double for r4
// (rounded to single precision) and float; Currency for currency; Currency for decimal and
// numeric values that fit it exactly, their exact decimal text otherwise; Boolean; DateTime for
// dateTime, date, time; String for uuid ("{XXXXXXXX-XXXX-...}") and string; Bytes for bin.hex.
// Null is Null.
//
// Thread-safety: pure functions.
#ifndef LARKSPIRE_DATASET_VALUE_COERCION_H_
#define LARKSPIRE_DATASET_VALUE_COERCION_H_

#include "dataset/recordset_field.h"
#include "platform/variant.h"

namespace larkspire {

// value converted to the kind a field of this column stores (see the top comment). Empty and
// Null give Null. Raises EDatabaseError when the value does not fit the column.
TVariant CoerceFieldValue(const TRecordsetField& field, const TVariant& value);

}  // namespace larkspire

#endif  // LARKSPIRE_DATASET_VALUE_COERCION_H_
