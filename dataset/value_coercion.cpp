#include "dataset/value_coercion.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "dataset/ado_xml.h"
#include "platform/exception.h"

namespace larkspire {
namespace {

bool IsStringType(TAdoDataType type) {
  switch (type) {
    case TAdoDataType::adBSTR:
    case TAdoDataType::adChar:
    case TAdoDataType::adWChar:
    case TAdoDataType::adVarChar:
    case TAdoDataType::adLongVarChar:
    case TAdoDataType::adVarWChar:
    case TAdoDataType::adLongVarWChar:
      return true;
    default:
      return false;
  }
}

TAdoDataType EffectiveType(const TRecordsetField& field) {
  if (field.DataType != TAdoDataType::adEmpty) return field.DataType;
  return AdoTypeOf(field.TypeName, field.DbType, field.FixedLength, field.Long, field.MaxLength);
}

[[noreturn]] void OutOfRange(const TRecordsetField& field, const TVariant& value) {
  throw EDatabaseError("Value " + value.AsString() + " is out of range for field '" + field.Name +
                       "'");
}

TVariant RangedInteger(const TRecordsetField& field, const TVariant& value, int64_t low,
                       int64_t high, bool as_int32) {
  const int64_t v = value.AsInt64();
  if (v < low || v > high) OutOfRange(field, value);
  return as_int32 ? TVariant(static_cast<int32_t>(v)) : TVariant(v);
}

// Number of UTF-8 characters in text.
size_t CharacterCount(const std::string& text) {
  size_t count = 0;
  for (unsigned char c : text)
    if ((c & 0xC0) != 0x80) ++count;
  return count;
}

}  // namespace

TVariant CoerceFieldValue(const TRecordsetField& field, const TVariant& value) {
  if (value.IsClear()) return TVariant::Null();
  const TAdoDataType type = EffectiveType(field);
  try {
    // Text goes through the XML reading of the column's type first, so that the exact forms
    // (decimal text, uuid, dates with a "T") keep their precision.
    if (value.Type() == TVarType::vtString && !IsStringType(type) &&
        type != TAdoDataType::adBinary && type != TAdoDataType::adVarBinary &&
        type != TAdoDataType::adLongVarBinary) {
      try {
        TRecordsetField typed = field;
        typed.DataType = type;
        return ParseAdoXmlValue(typed, value.AsString());
      } catch (const EMalformedData&) {
        // Fall through to the general conversions ("2026-01-02 03:04", " 12 ").
      }
    }
    switch (type) {
      case TAdoDataType::adTinyInt:
        return RangedInteger(field, value, -128, 127, true);
      case TAdoDataType::adUnsignedTinyInt:
        return RangedInteger(field, value, 0, 255, true);
      case TAdoDataType::adSmallInt:
        return RangedInteger(field, value, -32768, 32767, true);
      case TAdoDataType::adUnsignedSmallInt:
        return RangedInteger(field, value, 0, 65535, true);
      case TAdoDataType::adInteger:
        return RangedInteger(field, value, std::numeric_limits<int32_t>::min(),
                             std::numeric_limits<int32_t>::max(), true);
      case TAdoDataType::adUnsignedInt:
        return RangedInteger(field, value, 0, 4294967295LL, false);
      case TAdoDataType::adBigInt:
        return TVariant(value.AsInt64());
      case TAdoDataType::adUnsignedBigInt:
        return RangedInteger(field, value, 0, std::numeric_limits<int64_t>::max(), false);
      case TAdoDataType::adSingle: {
        const double d = value.AsDouble();
        if (!std::isfinite(d) || std::fabs(d) > std::numeric_limits<float>::max())
          OutOfRange(field, value);
        return TVariant(static_cast<double>(static_cast<float>(d)));
      }
      case TAdoDataType::adDouble:
        return TVariant(value.AsDouble());
      case TAdoDataType::adCurrency:
        return TVariant::FromCurrency(value.AsCurrency());
      case TAdoDataType::adDecimal:
      case TAdoDataType::adNumeric: {
        std::string text;
        switch (value.Type()) {
          case TVarType::vtCurrency:
            return value;
          case TVarType::vtBoolean:
          case TVarType::vtInteger:
          case TVarType::vtInt64:
            text = std::to_string(value.AsInt64());
            break;
          default: {
            const double d = value.AsDouble();
            if (!std::isfinite(d)) OutOfRange(field, value);
            char buffer[400];
            std::snprintf(buffer, sizeof buffer, "%.*f", std::clamp(field.Scale.value_or(4), 0, 30),
                          d);
            text = buffer;
          }
        }
        TRecordsetField typed = field;
        typed.DataType = type;
        return ParseAdoXmlValue(typed, text);
      }
      case TAdoDataType::adBoolean:
        return TVariant(value.AsBoolean());
      case TAdoDataType::adDate:
      case TAdoDataType::adDBTimeStamp:
      case TAdoDataType::adFileTime:
        return TVariant::FromDateTime(value.AsDateTime());
      case TAdoDataType::adDBDate:
        return TVariant::FromDateTime(std::trunc(value.AsDateTime()));
      case TAdoDataType::adDBTime: {
        const double d = value.AsDateTime();
        return TVariant::FromDateTime(std::fabs(d - std::trunc(d)));
      }
      case TAdoDataType::adGUID: {
        TRecordsetField typed = field;
        typed.DataType = type;
        return ParseAdoXmlValue(typed, value.AsString());
      }
      case TAdoDataType::adChar:
      case TAdoDataType::adWChar: {
        std::string text = value.AsString();
        if (field.FixedLength && field.MaxLength > 0 && field.MaxLength <= 8000) {
          const size_t count = CharacterCount(text);
          if (count < static_cast<size_t>(field.MaxLength))
            text.append(static_cast<size_t>(field.MaxLength) - count, ' ');
        }
        return TVariant(std::move(text));
      }
      case TAdoDataType::adBinary:
      case TAdoDataType::adVarBinary:
      case TAdoDataType::adLongVarBinary:
        return TVariant(value.AsBytes());
      case TAdoDataType::adEmpty:
        throw EDatabaseError("Field '" + field.Name + "' has no data type");
      default:
        return TVariant(value.AsString());
    }
  } catch (const EMalformedData& e) {
    throw EDatabaseError("Value is not valid for field '" + field.Name + "': " + e.Message());
  } catch (const EVariantError& e) {
    throw EDatabaseError("Value is not valid for field '" + field.Name + "': " + e.Message());
  }
}

}  // namespace larkspire
