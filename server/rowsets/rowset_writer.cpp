#include "server/rowsets/rowset_writer.h"

#include <charconv>
#include <cstdint>

#include "dataset/ado_xml.h"

namespace larkspire::server {

namespace {

template <typename T>
void AppendNumber(std::string& out, T value) {
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

// Whether an integer fits the column (the recordset writer refuses one that does not).
bool InRange(TAdoDataType type, int64_t value) {
  if (type == TAdoDataType::adSmallInt) return value >= -32768 && value <= 32767;
  if (type == TAdoDataType::adInteger) return value >= INT32_MIN && value <= INT32_MAX;
  return true;
}

constexpr std::string_view kRowsEnd = "</rs:data>";

}  // namespace

void TRowsetXmlWriter::Begin(const TRecordsetSchema& schema) {
  // The document of the schema without rows, cut where the rows go.
  TRecordsetData empty;
  empty.Schema = schema;
  if (adjust_) adjust_(empty.Schema);
  std::string document = WriteAdoXml(empty);
  const size_t rows_at = document.rfind(kRowsEnd);
  tail_ = document.substr(rows_at);
  document.resize(rows_at);
  payload_.Activate();
  payload_.Write(document.data(), document.size());

  schema_ = empty.Schema;
  columns_.assign(schema_.Fields.size(), TColumn());
  for (size_t i = 0; i < schema_.Fields.size(); ++i) {
    TColumn& column = columns_[i];
    column.Field = &schema_.Fields[i];
    column.Attribute = " " + AdoXmlRowName(schema_.Fields[i], i) + "='";
    switch (schema_.Fields[i].DataType) {
      case TAdoDataType::adBSTR:
      case TAdoDataType::adChar:
      case TAdoDataType::adWChar:
      case TAdoDataType::adVarChar:
      case TAdoDataType::adVarWChar:
      case TAdoDataType::adLongVarChar:
      case TAdoDataType::adLongVarWChar:
        column.Form = TForm::fmText;
        break;
      case TAdoDataType::adSmallInt:
      case TAdoDataType::adInteger:
      case TAdoDataType::adBigInt:
        column.Form = TForm::fmInteger;
        break;
      case TAdoDataType::adDouble:
        column.Form = TForm::fmDouble;
        break;
      case TAdoDataType::adSingle:
        column.Form = TForm::fmSingle;
        break;
      case TAdoDataType::adBoolean:
        column.Form = TForm::fmBoolean;
        break;
      case TAdoDataType::adCurrency:
      case TAdoDataType::adDecimal:
        column.Form = TForm::fmCurrency;
        break;
      default:
        column.Form = TForm::fmOther;
        break;
    }
  }
}

void TRowsetXmlWriter::Row(const std::vector<TVariant>& values) {
  std::string& out = payload_.Buffer();
  out.append("\t<z:row");
  for (size_t i = 0; i < columns_.size() && i < values.size(); ++i) {
    const TVariant& value = values[i];
    if (value.IsClear()) continue;
    const TColumn& column = columns_[i];
    out.append(column.Attribute);
    const TVarType type = value.Type();
    // The builder gives each column values of its own kind (integers within the column's
    // range); anything else takes the recordset writer's way.
    if (column.Form == TForm::fmText && type == TVarType::vtString) {
      AppendAdoXmlEscaped(out, value.AsString());
    } else if (column.Form == TForm::fmInteger &&
               (type == TVarType::vtInt64 || type == TVarType::vtInteger) &&
               InRange(schema_.Fields[i].DataType, value.AsInt64())) {
      AppendNumber(out, value.AsInt64());
    } else if ((column.Form == TForm::fmDouble || column.Form == TForm::fmSingle) &&
               type == TVarType::vtDouble) {
      AppendAdoXmlFloat(out, value.AsDouble(), column.Form == TForm::fmSingle);
    } else if (column.Form == TForm::fmBoolean && type == TVarType::vtBoolean) {
      out.append(value.AsBoolean() ? "True" : "False");
    } else if (column.Form == TForm::fmCurrency && type == TVarType::vtCurrency) {
      out.append(CurrencyToText(value.AsCurrency()));
    } else {
      AppendAdoXmlEscaped(out, AdoXmlValueText(*column.Field, value));
    }
    out.push_back('\'');
  }
  out.append("/>\r\n");
  payload_.Commit();
}

void TRowsetXmlWriter::BeginRow() {
  payload_.Buffer().append("\t<z:row");
}

std::string& TRowsetXmlWriter::Open(int column) {
  std::string& out = payload_.Buffer();
  out.append(columns_[column].Attribute);
  return out;
}

void TRowsetXmlWriter::Other(int column, const TVariant& value) {
  const std::string text = AdoXmlValueText(*columns_[column].Field, value);
  std::string& out = Open(column);
  AppendAdoXmlEscaped(out, text);
  out.push_back('\'');
}

void TRowsetXmlWriter::Integer(int column, int64_t value) {
  if (columns_[column].Form != TForm::fmInteger ||
      !InRange(schema_.Fields[column].DataType, value)) {
    return Other(column, TVariant(value));
  }
  std::string& out = Open(column);
  AppendNumber(out, value);
  out.push_back('\'');
}

void TRowsetXmlWriter::Float(int column, double value) {
  const TForm form = columns_[column].Form;
  if (form != TForm::fmDouble && form != TForm::fmSingle) return Other(column, TVariant(value));
  std::string& out = Open(column);
  AppendAdoXmlFloat(out, value, form == TForm::fmSingle);
  out.push_back('\'');
}

void TRowsetXmlWriter::Boolean(int column, bool value) {
  if (columns_[column].Form != TForm::fmBoolean) return Other(column, TVariant(value));
  std::string& out = Open(column);
  out.append(value ? "True'" : "False'");
}

void TRowsetXmlWriter::Currency(int column, int64_t scaled) {
  if (columns_[column].Form != TForm::fmCurrency) {
    return Other(column, TVariant::FromCurrency(scaled));
  }
  std::string& out = Open(column);
  out.append(CurrencyToText(scaled));
  out.push_back('\'');
}

void TRowsetXmlWriter::DecimalText(int column, std::string_view digits) {
  Other(column, TVariant(std::string(digits)));
}

void TRowsetXmlWriter::DateTime(int column, double days) {
  Other(column, TVariant::FromDateTime(days));
}

void TRowsetXmlWriter::Text(int column, std::string_view text) {
  if (columns_[column].Form != TForm::fmText) return Other(column, TVariant(std::string(text)));
  std::string& out = Open(column);
  AppendAdoXmlEscaped(out, text);
  out.push_back('\'');
}

void TRowsetXmlWriter::Bytes(int column, const uint8_t* data, size_t size) {
  Other(column, TVariant(TBytes(data, data + size)));
}

void TRowsetXmlWriter::EndRow() {
  payload_.Buffer().append("/>\r\n");
  payload_.Commit();
}

void TRowsetXmlWriter::End() {
  payload_.Write(tail_.data(), tail_.size());
}

void TRowsetXmlWriter::WriteWhole(TRecordsetData data) {
  if (adjust_) adjust_(data.Schema);
  const std::string document = WriteAdoXml(data);
  payload_.Activate();
  payload_.Write(document.data(), document.size());
}

void TRowsetXmlWriter::Reset() {
  payload_.Clear();
  columns_.clear();
  tail_.clear();
}

}  // namespace larkspire::server
