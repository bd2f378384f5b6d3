// Building the rowset a query answers: the columns as the database describes them, the rows
// as values of each column's kind, and the schema written into the ADO XML rowset.
//
// Each backend describes its result columns (TColumnInfo) and adds rows of TVariant values
// in the column's kind: Int64 for the integer kinds, Double, Currency (or an exact decimal
// text) for decimals, Boolean, DateTime, String (UTF-8) and Bytes; Null for NULL. A value of
// another kind (SQLite keeps any value in any column) turns its column into a text column
// when the rowset is finished, so no row is lost. An int column whose values leave the 32-bit
// range becomes an i8 column.
//
// Given a writer, the builder streams: it holds rows only until the columns' kinds are settled,
// then writes the schema and every row as it comes, so the rows are never all in memory. A
// value that would change a kind already written raises TRowsetRestart; the caller then builds
// the rowset whole instead.
//
// Thread-safety: a builder is used by one thread.
#ifndef LARKSPIRE_SERVER_ROWSET_BUILDER_H_
#define LARKSPIRE_SERVER_ROWSET_BUILDER_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dataset/recordset.h"
#include "platform/parameters.h"
#include "platform/variant.h"

namespace larkspire::server {

enum class TColumnKind {
  ckSmallInt,  // i2
  ckInteger,   // int
  ckBigInt,    // i8
  ckSingle,    // r4
  ckDouble,    // float
  ckCurrency,  // number / currency
  ckDecimal,   // number / decimal with precision and scale
  ckBoolean,
  ckDateTime,  // dateTime / timestamp
  ckDate,      // date: whole days only
  ckTime,      // time
  ckText,      // string, with maxLength when Size > 0, long otherwise
  ckBinary,    // bin.hex, long when Size is 0
};

struct TColumnInfo {
  std::string Name;
  TColumnKind Kind = TColumnKind::ckText;
  int64_t Size = 0;          // characters of text, bytes of binary; 0: unbounded
  bool FixedLength = false;  // char(n), binary(n)
  int Precision = 0;         // decimal
  int Scale = 0;
  bool NotNull = false;    // the base column is declared NOT NULL
  bool KeyColumn = false;  // part of its table's primary key
  bool AutoIncrement = false;
  bool Utc = false;  // a date-time given in UTC: the column says so (IsUtcColumn)
  std::string BaseSchema, BaseTable, BaseColumn;  // for a column straight from a table
};

// A decimal column whose database type names no precision and scale gets
// kUnboundedDecimalPrecision and kUnboundedDecimalScale (dataset/recordset.h).

class TRowsetXmlWriter;

// A streamed rowset met a value that changes a column kind already written.
class TRowsetRestart : public std::exception {
 public:
  const char* what() const noexcept override { return "the rowset's columns changed"; }
};

class TRowsetBuilder {
 public:
  // Rows held before the schema is written even though a kind may still change.
  static constexpr size_t kSettleRows = 1000;

  explicit TRowsetBuilder(std::vector<TColumnInfo> columns, TRowsetXmlWriter* stream = nullptr);

  int ColumnCount() const { return static_cast<int>(columns_.size()); }
  const TColumnInfo& Column(int index) const { return columns_[index]; }
  TColumnInfo& Column(int index) { return columns_[index]; }
  int64_t RowCount() const { return static_cast<int64_t>(rows_.size()); }

  // Appends a row of Nulls; Set fills its values.
  void AddRow();
  void Set(int column, TVariant value);
  // The same in the column's own kind, without a TVariant when rows go straight to the
  // writer (values then come in column order; one of another kind raises TRowsetRestart).
  void SetInteger(int column, int64_t value);
  void SetFloat(int column, double value);
  void SetBoolean(int column, bool value);
  void SetCurrency(int column, int64_t scaled);
  void SetDecimalText(int column, std::string_view digits);
  void SetDateTime(int column, double days);
  void SetText(int column, std::string_view text);
  void SetBytes(int column, const uint8_t* data, size_t size);
  // A value that does not fit the column's kind: kept as its text, and the column becomes a
  // text column.
  void SetMismatch(int column, std::string text);

  // After each row when streaming: writes the rows held so far once the schema is written or
  // may be (settled: no kind can change any more, or kSettleRows rows wait). Raises
  // TRowsetRestart when a written kind no longer fits.
  void Flush(bool settled);

  // The rowset: schema from the columns, rows in order. Leaves the builder empty. Given a
  // writer, the document is finished in it instead (streamed, or whole when a kind changed
  // before the schema was written) and the answer is empty.
  TRecordsetData Finish();

 private:
  TRecordsetSchema MakeSchema() const;
  void WriteHeldRows();

  bool Fits(const TColumnInfo& column, const TVariant& value) const;
  // Raises TRowsetRestart when a value of the kind does not fit column's written kind.
  void CheckDirect(int column, bool fits) const {
    if (!fits) throw TRowsetRestart();
  }

  std::vector<TColumnInfo> columns_;
  std::vector<bool> mixed_;  // a value of another kind was met
  std::vector<bool> wide_;   // an integer beyond the column's range was met
  std::vector<std::vector<TVariant>> rows_;
  TRowsetXmlWriter* stream_ = nullptr;  // null once rows are no longer streamed
  TRowsetXmlWriter* writer_ = nullptr;  // where the document goes, streamed or whole
  bool written_ = false;                // the schema is in the writer
  bool direct_ = false;                 // kinds settled and written: values go straight to stream_
  std::vector<TColumnKind> written_kinds_;
};

// The field type a parameter takes for a value of this column (for output parameters whose
// type the request left unknown).
TFieldType FieldTypeOfField(const TRecordsetField& field);

// A decimal value from its text: Currency when it is exact with four decimals, the text
// itself when it is a plain decimal number beyond that ("-12.34567"), false when the text is
// no decimal number (an exponent, "NaN").
bool DecimalFromText(const std::string& text, TVariant& value);

// A value's text, as a text column shows it ("12.5", "True", "2026-01-02 03:04:05", hex
// digits for bytes).
std::string ValueText(const TVariant& value);

}  // namespace larkspire::server

#endif  // LARKSPIRE_SERVER_ROWSET_BUILDER_H_
