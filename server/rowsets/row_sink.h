// Where a backend puts the rows of a result whose column kinds are settled: one call per
// non-null value, in column order, between BeginRow and EndRow, with the value as the
// database gives it (no TVariant, no string of its own). A column left out of a row is Null.
//
// Each value call matches its column's kind (TColumnKind, server/rowsets/rowset_builder.h):
// Integer for the integer kinds, Float for single and double, Currency or DecimalText for
// decimals, DateTime for dates and times, Text and Bytes for the rest.
//
// Thread-safety: a sink belongs to the thread that reads the result.
#ifndef LARKSPIRE_SERVER_ROW_SINK_H_
#define LARKSPIRE_SERVER_ROW_SINK_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace larkspire::server {

class IRowSink {
 public:
  virtual ~IRowSink() = default;

  virtual void BeginRow() = 0;
  virtual void Integer(int column, int64_t value) = 0;
  virtual void Float(int column, double value) = 0;
  virtual void Boolean(int column, bool value) = 0;
  // A decimal exact to four places, scaled by 10 000.
  virtual void Currency(int column, int64_t scaled) = 0;
  // A plain decimal number beyond the currency's range or places ("-12.34567").
  virtual void DecimalText(int column, std::string_view digits) = 0;
  // Days since 1899-12-30, the fraction the time of day.
  virtual void DateTime(int column, double days) = 0;
  // UTF-8 text.
  virtual void Text(int column, std::string_view text) = 0;
  virtual void Bytes(int column, const uint8_t* data, size_t size) = 0;
  virtual void EndRow() = 0;
};

}  // namespace larkspire::server

#endif  // LARKSPIRE_SERVER_ROW_SINK_H_
