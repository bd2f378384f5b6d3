#include "dataset/field.h"

#include <strings.h>

#include <cmath>
#include <cstdio>
#include <limits>

#include "dataset/dataset.h"
#include "platform/datetime.h"
#include "platform/exception.h"

namespace larkspire {
namespace {

bool IsBlank(const std::string& text) {
  for (unsigned char c : text)
    if (c > ' ') return false;
  return true;
}

std::string Trimmed(const std::string& text) {
  size_t begin = 0, end = text.size();
  while (begin < end && static_cast<unsigned char>(text[begin]) <= ' ') ++begin;
  while (end > begin && static_cast<unsigned char>(text[end - 1]) <= ' ') --end;
  return text.substr(begin, end - begin);
}

// Converts with the variant's rules, turning a conversion failure into a field error.
template <class F>
auto Converted(const TField& field, const TVariant& value, F convert) -> decltype(convert()) {
  try {
    return convert();
  } catch (const EVariantError&) {
    throw EDatabaseError(
        "'" + (value.Type() == TVarType::vtBytes ? std::string("(bytes)") : value.AsString()) +
        "' is not a valid value for field '" + field.DisplayName() + "'");
  }
}

std::string TimeText(double days) {
  const TDateTimeParts parts = DecodeDateTime(days);
  char text[32];
  if (parts.microsecond != 0)
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d%03d", parts.hour, parts.minute,
                  parts.second, parts.millisecond, parts.microsecond);
  else if (parts.millisecond != 0)
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", parts.hour, parts.minute, parts.second,
                  parts.millisecond);
  else
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", parts.hour, parts.minute, parts.second);
  return text;
}

// One section of a display format, split into literal prefix, the number pattern and suffix.
struct TFormatSection {
  std::string prefix, suffix;
  int min_integer = 0;   // "0" placeholders before the point
  int min_decimals = 0;  // "0" placeholders after the point
  int max_decimals = 0;  // all placeholders after the point
  bool thousands = false;
  bool has_digits = false;
};

TFormatSection ParseSection(const std::string& format) {
  TFormatSection section;
  bool in_number = false, after_point = false, done = false;
  char quote = 0;
  for (size_t i = 0; i < format.size(); ++i) {
    const char c = format[i];
    if (quote != 0) {
      if (c == quote)
        quote = 0;
      else
        (done ? section.suffix : section.prefix) += c;
      continue;
    }
    if (c == '"' || c == '\'') {
      if (in_number) done = true, in_number = false;
      quote = c;
      continue;
    }
    const bool number_char = c == '0' || c == '#' || ((c == '.' || c == ',') && in_number) ||
                             (c == '.' && !done && !in_number && i + 1 < format.size() &&
                              (format[i + 1] == '0' || format[i + 1] == '#'));
    if (!done && number_char) {
      in_number = true;
      section.has_digits = section.has_digits || c == '0' || c == '#';
      if (c == '.')
        after_point = true;
      else if (c == ',')
        section.thousands = true;
      else if (after_point) {
        ++section.max_decimals;
        if (c == '0') section.min_decimals = section.max_decimals;
      } else if (c == '0') {
        ++section.min_integer;
      }
      continue;
    }
    if (in_number) done = true, in_number = false;
    (done ? section.suffix : section.prefix) += c;
  }
  return section;
}

std::vector<std::string> SplitSections(const std::string& format) {
  std::vector<std::string> sections(1);
  char quote = 0;
  for (char c : format) {
    if (quote != 0) {
      if (c == quote) quote = 0;
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == ';') {
      sections.emplace_back();
      continue;
    }
    sections.back() += c;
  }
  return sections;
}

// Null, Empty, or a blank text given to a field that is not text.
bool IsClearValue(const TVariant& value) {
  return value.IsClear() || (value.Type() == TVarType::vtString && IsBlank(value.AsString()));
}

}  // namespace

int TFieldDefs::IndexOf(const std::string& name) const {
  for (size_t i = 0; i < items_.size(); ++i)
    if (strcasecmp(items_[i].Name.c_str(), name.c_str()) == 0) return static_cast<int>(i);
  return -1;
}

TField::TField(const std::string& field_name, TFieldType data_type, int size)
    : field_name_(field_name), data_type_(data_type), size_(size) {}

TField::~TField() = default;

void TField::SetFieldName(const std::string& name) {
  if (dataset_ != nullptr && dataset_->Active())
    throw EDatabaseError("Cannot perform this operation on an open dataset");
  field_name_ = name;
}

TVariant TField::Value() const {
  return dataset_ != nullptr ? dataset_->GetFieldValue(*this) : TVariant::Null();
}

void TField::SetValue(const TVariant& value) {
  if (dataset_ == nullptr) throw EDatabaseError("Field '" + DisplayName() + "' has no dataset");
  dataset_->SetFieldValue(*this, Convert(value));
}

TVariant TField::OldValue() const {
  return dataset_ != nullptr ? dataset_->GetFieldOldValue(*this) : TVariant::Null();
}

int32_t TField::AsInteger() const {
  const TVariant v = Value();
  return v.IsClear() ? 0 : Converted(*this, v, [&] { return v.AsInteger(); });
}

int64_t TField::AsLargeInt() const {
  const TVariant v = Value();
  return v.IsClear() ? 0 : Converted(*this, v, [&] { return v.AsInt64(); });
}

double TField::AsFloat() const {
  const TVariant v = Value();
  return v.IsClear() ? 0 : Converted(*this, v, [&] { return v.AsDouble(); });
}

bool TField::AsBoolean() const {
  const TVariant v = Value();
  return v.IsClear() ? false : Converted(*this, v, [&] { return v.AsBoolean(); });
}

double TField::AsDateTime() const {
  const TVariant v = Value();
  return v.IsClear() ? 0 : Converted(*this, v, [&] { return v.AsDateTime(); });
}

int64_t TField::AsCurrency() const {
  const TVariant v = Value();
  return v.IsClear() ? 0 : Converted(*this, v, [&] { return v.AsCurrency(); });
}

TBytes TField::AsBytes() const {
  const TVariant v = Value();
  return v.IsClear() ? TBytes{} : Converted(*this, v, [&] { return v.AsBytes(); });
}

std::string TField::TextOf(const TVariant& value) const {
  if (value.IsClear()) return "";
  return Converted(*this, value, [&] { return value.AsString(); });
}

TVariant TField::Convert(const TVariant& value) const {
  if (value.IsClear()) return TVariant::Null();
  return value;
}

TVariant TField::ParseText(const std::string& text) const {
  if (text.empty()) return TVariant::Null();
  return Convert(TVariant(text));
}

void TField::RaiseInvalid(const std::string& text, const char* kind) const {
  throw EDatabaseError("'" + text + "' is not a valid " + kind + " value for field '" +
                       DisplayName() + "'");
}

TVariant TStringField::Convert(const TVariant& value) const {
  if (value.IsClear()) return TVariant::Null();
  if (value.Type() == TVarType::vtString) return value;
  return TVariant(Converted(*this, value, [&] { return value.AsString(); }));
}

std::string TNumericField::DisplayTextOf(const TVariant& value) const {
  if (value.IsClear() || display_format_.empty()) return TextOf(value);
  return FormatFloat(display_format_, Converted(*this, value, [&] { return value.AsDouble(); }));
}

TIntegerField::TIntegerField(const std::string& field_name, TFieldType data_type)
    : TNumericField(field_name, data_type) {
  switch (data_type) {
    case ftSmallint:
      min_ = -32768, max_ = 32767;
      break;
    case ftWord:
      min_ = 0, max_ = 65535;
      break;
    default:
      min_ = std::numeric_limits<int32_t>::min(), max_ = std::numeric_limits<int32_t>::max();
  }
}

std::string TIntegerField::TextOf(const TVariant& value) const {
  if (value.IsClear()) return "";
  return std::to_string(Converted(*this, value, [&] { return value.AsInt64(); }));
}

TVariant TIntegerField::Convert(const TVariant& value) const {
  if (IsClearValue(value)) return TVariant::Null();
  int64_t number;
  if (value.Type() == TVarType::vtString) {
    if (!TextToInt64(value.AsString(), number)) RaiseInvalid(value.AsString(), "integer");
  } else {
    number = Converted(*this, value, [&] { return value.AsInt64(); });
  }
  if (number < min_ || number > max_)
    throw EDatabaseError(std::to_string(number) + " is not a valid value for field '" +
                         DisplayName() + "'. The allowed range is " + std::to_string(min_) +
                         " to " + std::to_string(max_));
  return TVariant(static_cast<int32_t>(number));
}

std::string TLargeintField::TextOf(const TVariant& value) const {
  if (value.IsClear()) return "";
  return std::to_string(Converted(*this, value, [&] { return value.AsInt64(); }));
}

TVariant TLargeintField::Convert(const TVariant& value) const {
  if (IsClearValue(value)) return TVariant::Null();
  if (value.Type() == TVarType::vtString) {
    int64_t number;
    if (!TextToInt64(value.AsString(), number)) RaiseInvalid(value.AsString(), "integer");
    return TVariant(number);
  }
  return TVariant(Converted(*this, value, [&] { return value.AsInt64(); }));
}

std::string TFloatField::TextOf(const TVariant& value) const {
  if (value.IsClear()) return "";
  return FloatToText(Converted(*this, value, [&] { return value.AsDouble(); }));
}

TVariant TFloatField::Convert(const TVariant& value) const {
  if (IsClearValue(value)) return TVariant::Null();
  if (value.Type() == TVarType::vtString) {
    double number;
    if (!TextToFloat(value.AsString(), number)) RaiseInvalid(value.AsString(), "floating point");
    return TVariant(number);
  }
  return TVariant(Converted(*this, value, [&] { return value.AsDouble(); }));
}

std::string TBCDField::TextOf(const TVariant& value) const {
  if (value.IsClear()) return "";
  // A decimal too wide for a Currency comes as its exact text.
  if (value.Type() == TVarType::vtString) return Trimmed(value.AsString());
  return CurrencyToText(Converted(*this, value, [&] { return value.AsCurrency(); }));
}

TVariant TBCDField::Convert(const TVariant& value) const {
  if (IsClearValue(value)) return TVariant::Null();
  if (value.Type() == TVarType::vtString) {
    int64_t scaled;
    if (!TextToCurrency(value.AsString(), scaled)) RaiseInvalid(value.AsString(), "BCD");
    return TVariant::FromCurrency(scaled);
  }
  return TVariant::FromCurrency(Converted(*this, value, [&] { return value.AsCurrency(); }));
}

std::string TFMTBCDField::TextOf(const TVariant& value) const {
  if (value.IsClear()) return "";
  if (value.Type() == TVarType::vtString) return Trimmed(value.AsString());
  return Converted(*this, value, [&] { return value.AsString(); });
}

TVariant TFMTBCDField::Convert(const TVariant& value) const {
  if (IsClearValue(value)) return TVariant::Null();
  switch (value.Type()) {
    case TVarType::vtString: {
      double number;
      if (!TextToFloat(value.AsString(), number)) RaiseInvalid(value.AsString(), "BCD");
      return TVariant(Trimmed(value.AsString()));
    }
    case TVarType::vtBoolean:
      return TVariant(int32_t{value.AsBoolean()});
    case TVarType::vtBytes:
      RaiseInvalid("(bytes)", "BCD");
    case TVarType::vtDateTime:
      return TVariant(value.AsDouble());
    default:
      return value;
  }
}

std::string TBooleanField::TextOf(const TVariant& value) const {
  if (value.IsClear()) return "";
  return Converted(*this, value, [&] { return value.AsBoolean(); }) ? "True" : "False";
}

TVariant TBooleanField::Convert(const TVariant& value) const {
  if (IsClearValue(value)) return TVariant::Null();
  if (value.Type() == TVarType::vtString) return ParseText(value.AsString());
  return TVariant(Converted(*this, value, [&] { return value.AsBoolean(); }));
}

TVariant TBooleanField::ParseText(const std::string& text) const {
  if (text.empty()) return TVariant::Null();
  if (strncasecmp(text.c_str(), "False", text.size()) == 0 && text.size() <= 5)
    return TVariant(false);
  if (strncasecmp(text.c_str(), "True", text.size()) == 0 && text.size() <= 4)
    return TVariant(true);
  RaiseInvalid(text, "boolean");
}

std::string TDateTimeField::TextOf(const TVariant& value) const {
  if (value.IsClear()) return "";
  const double days = Converted(*this, value, [&] { return value.AsDateTime(); });
  switch (DataType()) {
    case ftDate:
      return DateTimeToText(std::trunc(days));
    case ftTime:
      return TimeText(days);
    default:
      return DateTimeToText(days);
  }
}

TVariant TDateTimeField::Convert(const TVariant& value) const {
  if (IsClearValue(value)) return TVariant::Null();
  if (value.Type() == TVarType::vtString) return ParseText(value.AsString());
  return TVariant::FromDateTime(Converted(*this, value, [&] { return value.AsDateTime(); }));
}

TVariant TDateTimeField::ParseText(const std::string& text) const {
  if (IsBlank(text)) return TVariant::Null();
  double days;
  if (!TextToDateTime(Trimmed(text), days))
    throw EDatabaseError("'" + text + "' is not a valid date and time for field '" + DisplayName() +
                         "'");
  return TVariant::FromDateTime(days);
}

std::string TBlobField::TextOf(const TVariant& value) const {
  if (value.IsClear()) return "";
  return Converted(*this, value, [&] { return value.AsString(); });
}

TVariant TBlobField::Convert(const TVariant& value) const {
  if (value.IsClear()) return TVariant::Null();
  return TVariant(Converted(*this, value, [&] { return value.AsBytes(); }));
}

TVariant TBlobField::ParseText(const std::string& text) const {
  if (text.empty()) return TVariant::Null();
  return TVariant(TBytes(text.begin(), text.end()));
}

std::string TMemoField::TextOf(const TVariant& value) const {
  if (value.IsClear()) return "";
  return Converted(*this, value, [&] { return value.AsString(); });
}

TVariant TMemoField::Convert(const TVariant& value) const {
  if (value.IsClear()) return TVariant::Null();
  if (value.Type() == TVarType::vtString) return value;
  return TVariant(Converted(*this, value, [&] { return value.AsString(); }));
}

std::unique_ptr<TField> CreateField(const TFieldDef& def) {
  std::unique_ptr<TField> field;
  switch (def.DataType) {
    case ftString:
    case ftFixedChar:
    case ftWideString:
    case ftGuid:
      field = std::make_unique<TStringField>(def.Name, def.Size, def.DataType);
      break;
    case ftSmallint:
    case ftInteger:
    case ftWord:
      field = std::make_unique<TIntegerField>(def.Name, def.DataType);
      break;
    case ftAutoInc:
      field = std::make_unique<TAutoIncField>(def.Name);
      break;
    case ftLargeint:
      field = std::make_unique<TLargeintField>(def.Name);
      break;
    case ftFloat:
    case ftCurrency:
      field = std::make_unique<TFloatField>(def.Name, def.DataType);
      break;
    case ftBCD: {
      auto bcd = std::make_unique<TBCDField>(def.Name, def.Size);
      bcd->SetPrecision(def.Precision);
      field = std::move(bcd);
      break;
    }
    case ftFMTBcd:
      field = std::make_unique<TFMTBCDField>(def.Name, def.Size);
      break;
    case ftBoolean:
      field = std::make_unique<TBooleanField>(def.Name);
      break;
    case ftDate:
    case ftTime:
    case ftDateTime:
    case ftTimeStamp:
      field = std::make_unique<TDateTimeField>(def.Name, def.DataType);
      break;
    case ftBytes:
    case ftVarBytes:
      field = std::make_unique<TBytesField>(def.Name, def.Size, def.DataType);
      break;
    case ftMemo:
    case ftFmtMemo:
      field = std::make_unique<TMemoField>(def.Name, def.DataType);
      break;
    case ftBlob:
    case ftGraphic:
    case ftTypedBinary:
    case ftOraBlob:
      field = std::make_unique<TBlobField>(def.Name, def.DataType, def.Size);
      break;
    case ftOraClob:
      field = std::make_unique<TMemoField>(def.Name, def.DataType);
      break;
    default:
      field = std::make_unique<TVariantField>(def.Name, def.DataType);
      break;
  }
  field->SetRequired(def.Required);
  return field;
}

std::string FieldTypeName(TFieldType type) {
  static const char* const kNames[] = {
      "Unknown",     "String",    "Smallint",  "Integer",    "Word",     "Boolean",    "Float",
      "Currency",    "BCD",       "Date",      "Time",       "DateTime", "Bytes",      "VarBytes",
      "AutoInc",     "Blob",      "Memo",      "Graphic",    "FmtMemo",  "ParadoxOle", "DBaseOle",
      "TypedBinary", "Cursor",    "FixedChar", "WideString", "Largeint", "ADT",        "Array",
      "Reference",   "DataSet",   "OraBlob",   "OraClob",    "Variant",  "Interface",  "IDispatch",
      "Guid",        "TimeStamp", "FMTBcd"};
  const size_t index = static_cast<size_t>(type);
  return index < sizeof kNames / sizeof kNames[0] ? kNames[index] : "Unknown";
}

std::string FormatFloat(const std::string& format, double value) {
  if (!std::isfinite(value)) return FloatToText(value);
  const std::vector<std::string> sections = SplitSections(format);
  const std::string* chosen = &sections[0];
  bool sign = value < 0;
  if (value == 0 && sections.size() > 2 && !sections[2].empty()) {
    chosen = &sections[2];
  } else if (value < 0 && sections.size() > 1 && !sections[1].empty()) {
    chosen = &sections[1];
    sign = false;  // the negative section carries its own sign, if any
  }
  const TFormatSection section = ParseSection(*chosen);
  if (!section.has_digits) return section.prefix + section.suffix;

  // Round to the most decimals shown, then drop the optional trailing zeros.
  char digits[400];
  std::snprintf(digits, sizeof digits, "%.*f", section.max_decimals, std::fabs(value));
  const std::string text = digits;
  std::string whole = text, fraction;
  if (const size_t point = text.find('.'); point != std::string::npos)
    whole = text.substr(0, point), fraction = text.substr(point + 1);
  while (static_cast<int>(fraction.size()) > section.min_decimals && fraction.back() == '0')
    fraction.pop_back();
  if (whole == "0" && section.min_integer == 0) whole.clear();
  while (static_cast<int>(whole.size()) < section.min_integer) whole.insert(0, "0");
  if (section.thousands)
    for (int i = static_cast<int>(whole.size()) - 3; i > 0; i -= 3) whole.insert(i, ",");
  // A value that rounds to zero shows no sign.
  const bool nonzero = whole.find_first_not_of("0,") != std::string::npos ||
                       fraction.find_first_not_of('0') != std::string::npos;
  std::string result = sign && nonzero ? "-" : "";
  result += section.prefix + whole;
  if (!fraction.empty()) result += "." + fraction;
  return result + section.suffix;
}

}  // namespace larkspire
