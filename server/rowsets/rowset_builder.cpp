#include "server/rowsets/rowset_builder.h"

#include <cmath>
#include <limits>
#include <set>

#include "dataset/column_type.h"
#include "platform/datetime.h"
#include "server/rowsets/rowset_writer.h"

namespace larkspire::server {

namespace {

constexpr int64_t kLongTextLength = 1073741823;
constexpr int64_t kLongBinaryLength = 2147483647;

bool IsXmlNameStart(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c >= 0x80;
}

bool IsValidXmlName(const std::string& name) {
  if (name.empty() || !IsXmlNameStart(static_cast<unsigned char>(name[0]))) return false;
  for (unsigned char c : name) {
    if (!IsXmlNameStart(c) && !(c >= '0' && c <= '9') && c != '-' && c != '.') return false;
  }
  return true;
}

bool IsIntegerKind(TColumnKind kind) {
  return kind == TColumnKind::ckSmallInt || kind == TColumnKind::ckInteger ||
         kind == TColumnKind::ckBigInt;
}

TRecordsetField MakeField(const TColumnInfo& column) {
  TRecordsetField f;
  switch (column.Kind) {
    case TColumnKind::ckSmallInt:
      f = TRecordsetField::Make(column.Name, TAdoDataType::adSmallInt);
      f.Precision = 5;
      break;
    case TColumnKind::ckInteger:
      f = TRecordsetField::Make(column.Name, TAdoDataType::adInteger);
      f.Precision = 10;
      break;
    case TColumnKind::ckBigInt:
      f = TRecordsetField::Make(column.Name, TAdoDataType::adBigInt);
      f.Precision = 19;
      break;
    case TColumnKind::ckSingle:
      f = TRecordsetField::Make(column.Name, TAdoDataType::adSingle);
      f.Precision = 7;
      break;
    case TColumnKind::ckDouble:
      f = TRecordsetField::Make(column.Name, TAdoDataType::adDouble);
      f.Precision = 15;
      break;
    case TColumnKind::ckCurrency:
      f = TRecordsetField::Make(column.Name, TAdoDataType::adCurrency);
      f.Precision = 19;
      break;
    case TColumnKind::ckDecimal:
      f = TRecordsetField::Make(column.Name, TAdoDataType::adDecimal, 0, column.Precision,
                                column.Scale);
      break;
    case TColumnKind::ckBoolean:
      f = TRecordsetField::Make(column.Name, TAdoDataType::adBoolean);
      f.Precision.reset();
      break;
    case TColumnKind::ckDateTime:
      f = TRecordsetField::Make(column.Name, TAdoDataType::adDBTimeStamp);
      f.Precision = 23;
      f.Scale = 3;
      if (column.Utc) MarkUtcColumn(f);
      break;
    case TColumnKind::ckDate:
      f = TRecordsetField::Make(column.Name, TAdoDataType::adDBDate);
      f.Precision.reset();
      break;
    case TColumnKind::ckTime:
      f = TRecordsetField::Make(column.Name, TAdoDataType::adDBTime);
      f.Precision.reset();
      break;
    case TColumnKind::ckText:
      if (column.Size > 0 && column.Size < kLongTextLength) {
        f = TRecordsetField::Make(
            column.Name, column.FixedLength ? TAdoDataType::adWChar : TAdoDataType::adVarWChar,
            column.Size);
      } else {
        f = TRecordsetField::Make(column.Name, TAdoDataType::adLongVarWChar, kLongTextLength);
      }
      f.Precision.reset();
      break;
    case TColumnKind::ckBinary:
      if (column.Size > 0 && column.Size < kLongBinaryLength) {
        f = TRecordsetField::Make(
            column.Name, column.FixedLength ? TAdoDataType::adBinary : TAdoDataType::adVarBinary,
            column.Size);
      } else {
        f = TRecordsetField::Make(column.Name, TAdoDataType::adLongVarBinary, kLongBinaryLength);
      }
      f.Precision.reset();
      break;
  }
  // What a server's rowset says of its columns: updatable base columns are "write unknown",
  // nullable ones say so, NOT NULL ones may not be null.
  f.Write = false;
  f.Nullable = !column.NotNull;
  if (column.NotNull) {
    f.MaybeNull = false;
  } else {
    f.MaybeNull.reset();
  }
  f.WriteUnknown = !column.BaseTable.empty() && !column.AutoIncrement;
  f.KeyColumn = column.KeyColumn;
  f.AutoIncrement = column.AutoIncrement;
  f.BaseSchema = column.BaseSchema;
  f.BaseTable = column.BaseTable;
  f.BaseColumn = column.BaseColumn;
  return f;
}

}  // namespace

TRowsetBuilder::TRowsetBuilder(std::vector<TColumnInfo> columns, TRowsetXmlWriter* stream)
    : columns_(std::move(columns)),
      mixed_(columns_.size()),
      wide_(columns_.size()),
      stream_(stream),
      writer_(stream) {}

void TRowsetBuilder::Flush(bool settled) {
  if (direct_) return stream_->EndRow();
  if (stream_ == nullptr) return;
  const size_t count = columns_.size();
  if (!written_) {
    if (!settled && rows_.size() < kSettleRows) return;
    for (size_t c = 0; c < count; ++c) {
      // A kind that already changed: the rowset is built whole, as without a writer.
      if (mixed_[c] || wide_[c]) {
        stream_ = nullptr;
        return;
      }
    }
    written_kinds_.resize(count);
    for (size_t c = 0; c < count; ++c) written_kinds_[c] = columns_[c].Kind;
    stream_->Begin(MakeSchema());
    written_ = true;
  }
  WriteHeldRows();
  direct_ = settled;
}

void TRowsetBuilder::WriteHeldRows() {
  for (size_t c = 0; c < columns_.size(); ++c) {
    if (mixed_[c] || wide_[c] || columns_[c].Kind != written_kinds_[c]) throw TRowsetRestart();
  }
  for (const auto& row : rows_) stream_->Row(row);
  rows_.clear();
}

void TRowsetBuilder::AddRow() {
  if (direct_) return stream_->BeginRow();
  rows_.emplace_back(columns_.size(), TVariant::Null());
}

bool TRowsetBuilder::Fits(const TColumnInfo& column, const TVariant& value) const {
  const TVarType type = value.Type();
  switch (column.Kind) {
    case TColumnKind::ckSmallInt:
    case TColumnKind::ckInteger:
    case TColumnKind::ckBigInt:
      return type == TVarType::vtInt64 || type == TVarType::vtInteger;
    case TColumnKind::ckSingle:
    case TColumnKind::ckDouble:
      return type == TVarType::vtDouble;
    case TColumnKind::ckCurrency:
      return type == TVarType::vtCurrency;
    case TColumnKind::ckDecimal:
      return type == TVarType::vtCurrency || type == TVarType::vtString;
    case TColumnKind::ckBoolean:
      return type == TVarType::vtBoolean;
    case TColumnKind::ckDateTime:
    case TColumnKind::ckTime:
      return type == TVarType::vtDateTime;
    case TColumnKind::ckDate:
      // A time of day would be lost in a date column: such a column becomes text.
      return type == TVarType::vtDateTime && std::trunc(value.AsDateTime()) == value.AsDateTime();
    case TColumnKind::ckText:
      return type == TVarType::vtString;
    case TColumnKind::ckBinary:
      return type == TVarType::vtBytes;
  }
  return false;
}

void TRowsetBuilder::Set(int column, TVariant value) {
  if (!value.IsClear()) {
    const TColumnInfo& info = columns_[column];
    if (!Fits(info, value)) {
      mixed_[column] = true;
    } else if (info.Kind == TColumnKind::ckSmallInt || info.Kind == TColumnKind::ckInteger) {
      const int64_t v = value.AsInt64();
      const int64_t low = info.Kind == TColumnKind::ckSmallInt ? -32768 : INT32_MIN;
      const int64_t high = info.Kind == TColumnKind::ckSmallInt ? 32767 : INT32_MAX;
      if (v < low || v > high) wide_[column] = true;
    }
  } else {
    value = TVariant::Null();
  }
  rows_.back()[column] = std::move(value);
}

void TRowsetBuilder::SetInteger(int column, int64_t value) {
  if (!direct_) return Set(column, TVariant(value));
  const TColumnKind kind = columns_[column].Kind;
  if (kind == TColumnKind::ckSmallInt) {
    CheckDirect(column, value >= -32768 && value <= 32767);
  } else if (kind == TColumnKind::ckInteger) {
    CheckDirect(column, value >= INT32_MIN && value <= INT32_MAX);
  } else {
    CheckDirect(column, kind == TColumnKind::ckBigInt);
  }
  stream_->Integer(column, value);
}

void TRowsetBuilder::SetFloat(int column, double value) {
  if (!direct_) return Set(column, TVariant(value));
  const TColumnKind kind = columns_[column].Kind;
  CheckDirect(column, kind == TColumnKind::ckSingle || kind == TColumnKind::ckDouble);
  stream_->Float(column, value);
}

void TRowsetBuilder::SetBoolean(int column, bool value) {
  if (!direct_) return Set(column, TVariant(value));
  CheckDirect(column, columns_[column].Kind == TColumnKind::ckBoolean);
  stream_->Boolean(column, value);
}

void TRowsetBuilder::SetCurrency(int column, int64_t scaled) {
  if (!direct_) return Set(column, TVariant::FromCurrency(scaled));
  const TColumnKind kind = columns_[column].Kind;
  CheckDirect(column, kind == TColumnKind::ckCurrency || kind == TColumnKind::ckDecimal);
  stream_->Currency(column, scaled);
}

void TRowsetBuilder::SetDecimalText(int column, std::string_view digits) {
  if (!direct_) return Set(column, TVariant(std::string(digits)));
  CheckDirect(column, columns_[column].Kind == TColumnKind::ckDecimal);
  stream_->DecimalText(column, digits);
}

void TRowsetBuilder::SetDateTime(int column, double days) {
  if (!direct_) return Set(column, TVariant::FromDateTime(days));
  const TColumnKind kind = columns_[column].Kind;
  // A time of day would be lost in a date column.
  CheckDirect(column, kind == TColumnKind::ckDateTime || kind == TColumnKind::ckTime ||
                          (kind == TColumnKind::ckDate && std::trunc(days) == days));
  stream_->DateTime(column, days);
}

void TRowsetBuilder::SetText(int column, std::string_view text) {
  if (!direct_) return Set(column, TVariant(std::string(text)));
  CheckDirect(column, columns_[column].Kind == TColumnKind::ckText);
  stream_->Text(column, text);
}

void TRowsetBuilder::SetBytes(int column, const uint8_t* data, size_t size) {
  if (!direct_) return Set(column, TVariant(TBytes(data, data + size)));
  CheckDirect(column, columns_[column].Kind == TColumnKind::ckBinary);
  stream_->Bytes(column, data, size);
}

void TRowsetBuilder::SetMismatch(int column, std::string text) {
  if (direct_) throw TRowsetRestart();
  mixed_[column] = true;
  rows_.back()[column] = TVariant(std::move(text));
}

TRecordsetSchema TRowsetBuilder::MakeSchema() const {
  TRecordsetSchema schema;
  std::set<std::string> used;
  for (size_t c = 0; c < columns_.size(); ++c) {
    TRecordsetField field = MakeField(columns_[c]);
    field.Number = static_cast<int>(c + 1);
    // Row attributes need distinct, valid XML names; the column keeps its own name.
    std::string xml_name = IsValidXmlName(field.Name) ? field.Name : "c" + std::to_string(c);
    for (int n = 1; used.count(xml_name); ++n) {
      xml_name = "c" + std::to_string(c) + (n > 1 ? "_" + std::to_string(n) : "");
    }
    used.insert(xml_name);
    if (xml_name != field.Name) field.XmlName = xml_name;
    schema.Fields.push_back(std::move(field));
  }
  return schema;
}

TRecordsetData TRowsetBuilder::Finish() {
  if (stream_ != nullptr) {
    if (!written_) Flush(true);
    if (written_) {
      WriteHeldRows();
      stream_->End();
      return TRecordsetData();
    }
  }
  const size_t count = columns_.size();
  // Settle each column's kind from what its values were.
  std::vector<bool> to_int32(count);
  for (size_t c = 0; c < count; ++c) {
    TColumnInfo& column = columns_[c];
    if (mixed_[c]) {
      column.Kind = TColumnKind::ckText;
      column.Size = 0;
      column.FixedLength = false;
      for (auto& row : rows_) {
        if (!row[c].IsNull()) row[c] = TVariant(ValueText(row[c]));
      }
    } else if (IsIntegerKind(column.Kind)) {
      if (wide_[c]) column.Kind = TColumnKind::ckBigInt;
      to_int32[c] = column.Kind != TColumnKind::ckBigInt;
    }
  }

  TRecordsetData data;
  data.Schema = MakeSchema();
  data.Rows.reserve(rows_.size());
  for (auto& row : rows_) {
    for (size_t c = 0; c < count; ++c) {
      if (to_int32[c] && !row[c].IsNull())
        row[c] = TVariant(row[c].AsInteger());
      else if (columns_[c].Kind == TColumnKind::ckBigInt && row[c].Type() == TVarType::vtInteger)
        row[c] = TVariant(row[c].AsInt64());
    }
    data.AppendRow(TRowStatus::rsUnmodified, std::move(row));
  }
  rows_.clear();
  if (writer_ != nullptr) {
    writer_->WriteWhole(std::move(data));
    return TRecordsetData();
  }
  return data;
}

TFieldType FieldTypeOfField(const TRecordsetField& field) {
  const TColumnTypeTraits* traits = FindColumnType(field.DataType);
  return traits ? traits->ParameterType : ftWideString;
}

bool DecimalFromText(const std::string& text, TVariant& value) {
  size_t i = 0;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
  size_t whole = 0, fraction = 0, significant_fraction = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++whole;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      ++fraction;
      if (text[i] != '0') significant_fraction = fraction;
      ++i;
    }
  }
  if (i != text.size() || whole + fraction == 0) return false;
  int64_t scaled = 0;
  if (significant_fraction <= 4 && whole <= 14 && TextToCurrency(text, scaled)) {
    value = TVariant::FromCurrency(scaled);
  } else {
    value = TVariant(text);
  }
  return true;
}

std::string ValueText(const TVariant& value) {
  switch (value.Type()) {
    case TVarType::vtEmpty:
    case TVarType::vtNull:
      return std::string();
    case TVarType::vtBoolean:
      return value.AsBoolean() ? "True" : "False";
    case TVarType::vtDateTime:
      return DateTimeToText(value.AsDateTime());
    case TVarType::vtBytes: {
      static const char kHex[] = "0123456789abcdef";
      std::string text;
      for (uint8_t b : value.AsBytes()) {
        text += kHex[b >> 4];
        text += kHex[b & 15];
      }
      return text;
    }
    default:
      return value.AsString();
  }
}

}  // namespace larkspire::server
