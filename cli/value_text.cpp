#include "cli/value_text.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "dataset/recordset.h"
#include "dataset/recordset_dataset.h"
#include "platform/datetime.h"

namespace larkspire::cli {
namespace {

bool IsBinaryField(const TField& field) {
  switch (field.DataType()) {
    case ftBytes:
    case ftVarBytes:
    case ftBlob:
    case ftGraphic:
    case ftTypedBinary:
    case ftOraBlob:
      return true;
    default:
      return false;
  }
}

// PostgreSQL's hex form of bytea (\x and two lower-case digits a byte), which COPY and
// every PostgreSQL client read back as the same bytes.
std::string HexText(const TBytes& bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string hex = "\\x";
  hex.reserve(2 + bytes.size() * 2);
  for (uint8_t b : bytes) {
    hex += kHex[b >> 4];
    hex += kHex[b & 15];
  }
  return hex;
}

// The shortest text that reads back as the same number; a single-precision column's values
// as single-precision numbers (0.1, not 0.10000000149011612).
std::string ShortestFloatText(double value, bool single) {
  char buffer[64];
  const auto result = single
                          ? std::to_chars(buffer, buffer + sizeof buffer, static_cast<float>(value))
                          : std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

// A decimal's text with at least scale digits after the point ("2328.6" with 2: "2328.60").
std::string WithScale(std::string text, int scale) {
  if (scale <= 0 || text.find_first_not_of("-0123456789.") != std::string::npos) return text;
  const size_t point = text.find('.');
  const int decimals = point == std::string::npos ? 0 : static_cast<int>(text.size() - point - 1);
  if (decimals >= scale) return text;
  if (point == std::string::npos) text += '.';
  text.append(static_cast<size_t>(scale - decimals), '0');
  return text;
}

// Two digits of a number from 0 to 99.
void AppendTwoDigits(std::string& out, int value) {
  out += static_cast<char>('0' + value / 10);
  out += static_cast<char>('0' + value % 10);
}

std::string DateText(const TDateTimeParts& p) {
  if (p.year < 0 || p.year > 9999 || p.month < 0 || p.month > 99 || p.day < 0 || p.day > 99) {
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", p.year, p.month, p.day);
    return text;
  }
  std::string text;
  AppendTwoDigits(text, p.year / 100);
  AppendTwoDigits(text, p.year % 100);
  text += '-';
  AppendTwoDigits(text, p.month);
  text += '-';
  AppendTwoDigits(text, p.day);
  return text;
}

std::string TimeText(const TDateTimeParts& p) {
  std::string text;
  if (p.hour < 0 || p.hour > 99 || p.minute < 0 || p.minute > 99 || p.second < 0 || p.second > 99) {
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%02d:%02d:%02d", p.hour, p.minute, p.second);
    text = buffer;
  } else {
    AppendTwoDigits(text, p.hour);
    text += ':';
    AppendTwoDigits(text, p.minute);
    text += ':';
    AppendTwoDigits(text, p.second);
  }
  if (p.millisecond != 0 || p.microsecond != 0) text += SecondFractionText(p);
  return text;
}

}  // namespace

std::string ValueText(const TField& field) {
  if (field.IsNull()) return std::string();
  // The rowset's column tells single from double precision and gives a decimal's scale.
  const auto* dataset = dynamic_cast<const TRecordsetDataSet*>(field.DataSet());
  const TRecordsetField* column = dataset != nullptr ? dataset->SourceColumn(field) : nullptr;
  return ValueText(field, column, field.Value());
}

std::string ValueText(const TField& field, const TRecordsetField* column, const TVariant& value) {
  if (value.IsClear()) return std::string();
  if (IsBinaryField(field)) return HexText(value.AsBytes());
  switch (field.DataType()) {
    case ftFloat:
      if (value.Type() != TVarType::vtDouble) break;
      return ShortestFloatText(value.AsDouble(),
                               column != nullptr && column->DataType == TAdoDataType::adSingle);
    case ftBCD:
    case ftFMTBcd:
      if (column != nullptr &&
          (column->DataType == TAdoDataType::adDecimal ||
           column->DataType == TAdoDataType::adNumeric) &&
          column->Scale &&
          !(column->Precision == kUnboundedDecimalPrecision &&
            *column->Scale == kUnboundedDecimalScale))
        return WithScale(field.TextOf(value), *column->Scale);
      break;
    case ftDateTime: {
      const TDateTimeParts p = DecodeDateTime(value.AsDateTime());
      // An instant given in UTC says so, as PostgreSQL writes one in a UTC session.
      const bool utc = column != nullptr && IsUtcColumn(*column);
      return DateText(p) + " " + TimeText(p) + (utc ? "+00" : "");
    }
    case ftDate:
      return DateText(DecodeDateTime(value.AsDateTime()));
    case ftTime:
      return TimeText(DecodeDateTime(value.AsDateTime()));
    default:
      break;
  }
  return field.TextOf(value);
}

}  // namespace larkspire::cli
