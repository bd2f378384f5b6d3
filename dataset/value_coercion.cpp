#include "dataset/value_coercion.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "dataset/ado_xml.h"
#include "dataset/column_type.h"
#include "platform/exception.h"

namespace larkspire {
namespace {

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
  const TColumnTypeTraits* traits = ColumnTypeOf(field);
  if (!traits) throw EDatabaseError("Field '" + field.Name + "' has no data type");
  const TValueKind kind = traits->Kind;
  // The XML reading of the column's type, which keeps the exact forms (decimal text, uuid).
  auto parse = [&](const std::string& text) {
    TRecordsetField typed = field;
    typed.DataType = traits->DataType;
    return ParseAdoXmlValue(typed, text);
  };
  try {
    // Text goes through the XML reading of the column's type first, so that the exact forms
    // (decimal text, uuid, dates with a "T") keep their precision.
    if (value.Type() == TVarType::vtString && kind != TValueKind::vkString &&
        kind != TValueKind::vkBinary) {
      try {
        return parse(value.AsString());
      } catch (const EMalformedData&) {
        // Fall through to the general conversions ("2026-01-02 03:04", " 12 ").
      }
    }
    switch (kind) {
      case TValueKind::vkInteger:
        return RangedInteger(field, value, traits->Low, traits->High, traits->Int32);
      case TValueKind::vkUInt64:
        return RangedInteger(field, value, 0, std::numeric_limits<int64_t>::max(), false);
      case TValueKind::vkSingle: {
        const double d = value.AsDouble();
        if (!std::isfinite(d) || std::fabs(d) > std::numeric_limits<float>::max())
          OutOfRange(field, value);
        return TVariant(static_cast<double>(static_cast<float>(d)));
      }
      case TValueKind::vkDouble:
        return TVariant(value.AsDouble());
      case TValueKind::vkCurrency:
        return TVariant::FromCurrency(value.AsCurrency());
      case TValueKind::vkDecimal: {
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
        return parse(text);
      }
      case TValueKind::vkBoolean:
        return TVariant(value.AsBoolean());
      case TValueKind::vkDateTime:
        return TVariant::FromDateTime(value.AsDateTime());
      case TValueKind::vkDate:
        return TVariant::FromDateTime(std::trunc(value.AsDateTime()));
      case TValueKind::vkTime: {
        const double d = value.AsDateTime();
        return TVariant::FromDateTime(std::fabs(d - std::trunc(d)));
      }
      case TValueKind::vkGuid:
        return parse(value.AsString());
      case TValueKind::vkBinary:
        return TVariant(value.AsBytes());
      case TValueKind::vkString: {
        std::string text = value.AsString();
        // Fixed-length text is padded with blanks to its length.
        if (traits->Length == TColumnLength::clSized && field.FixedLength && field.MaxLength > 0 &&
            field.MaxLength <= 8000) {
          const size_t count = CharacterCount(text);
          if (count < static_cast<size_t>(field.MaxLength))
            text.append(static_cast<size_t>(field.MaxLength) - count, ' ');
        }
        return TVariant(std::move(text));
      }
    }
    return TVariant(value.AsString());
  } catch (const EMalformedData& e) {
    throw EDatabaseError("Value is not valid for field '" + field.Name + "': " + e.Message());
  } catch (const EVariantError& e) {
    throw EDatabaseError("Value is not valid for field '" + field.Name + "': " + e.Message());
  }
}

}  // namespace larkspire
