#include "server/rowset_writer.h"

#include "dataset/ado_xml.h"

namespace larkspire::server {

namespace {

// Attribute text as the recordset's writer escapes it: markup characters and control
// characters other than TAB, CR and LF as hexadecimal character references.
void AppendEscaped(std::string& out, std::string_view text) {
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const char* entity = nullptr;
    switch (c) {
      case '"':
        entity = "&#x22;";
        break;
      case '\'':
        entity = "&#x27;";
        break;
      case '<':
        entity = "&#x3c;";
        break;
      case '&':
        entity = "&#x26;";
        break;
      case '>':
        entity = "&#x3e;";
        break;
      default:
        if (c >= 0x20 || c == '\t' || c == '\r' || c == '\n') continue;
    }
    out.append(text.data() + start, i - start);
    if (entity) {
      out.append(entity);
    } else {
      static const char kHex[] = "0123456789abcdef";
      out.append("&#x");
      if (c >= 0x10) out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
      out.push_back(';');
    }
    start = i + 1;
  }
  out.append(text.data() + start, text.size() - start);
}

bool IsTextType(TAdoDataType type) {
  switch (type) {
    case TAdoDataType::adBSTR:
    case TAdoDataType::adChar:
    case TAdoDataType::adWChar:
    case TAdoDataType::adVarChar:
    case TAdoDataType::adVarWChar:
    case TAdoDataType::adLongVarChar:
    case TAdoDataType::adLongVarWChar:
      return true;
    default:
      return false;
  }
}

constexpr std::string_view kRowsEnd = "</rs:data>";

}  // namespace

void TRowsetXmlWriter::Begin(const TRecordsetSchema& schema) {
  // The document of the schema without rows, cut where the rows go.
  TRecordsetData empty;
  empty.Schema = schema;
  std::string document = WriteAdoXml(empty);
  const size_t rows_at = document.rfind(kRowsEnd);
  tail_ = document.substr(rows_at);
  document.resize(rows_at);
  payload_.Activate();
  payload_.Write(document.data(), document.size());

  schema_ = schema;
  columns_.assign(schema_.Fields.size(), TColumn());
  for (size_t i = 0; i < schema_.Fields.size(); ++i) {
    TColumn& column = columns_[i];
    column.Field = &schema_.Fields[i];
    column.Attribute = " " + AdoXmlRowName(schema_.Fields[i], i) + "='";
    column.Text = IsTextType(schema_.Fields[i].DataType);
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
    if (column.Text && value.Type() == TVarType::vtString) {
      AppendEscaped(out, value.AsString());
    } else {
      AppendEscaped(out, AdoXmlValueText(*column.Field, value));
    }
    out.push_back('\'');
  }
  out.append("/>\r\n");
  payload_.Commit();
}

void TRowsetXmlWriter::End() {
  payload_.Write(tail_.data(), tail_.size());
}

void TRowsetXmlWriter::WriteWhole(const TRecordsetData& data) {
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
