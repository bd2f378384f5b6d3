// Writing a rowset as an ADO XML document: the schema, then the rows with their pending changes.
#include <string>
#include <vector>

#include "dataset/ado_xml.h"
#include "dataset/ado_xml_internal.h"
#include "platform/exception.h"

namespace larkspire {

using namespace adoxml;

namespace {

bool IsNameStart(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c >= 0x80;
}

bool IsValidXmlName(const std::string& name) {
  if (name.empty() || !IsNameStart(static_cast<unsigned char>(name[0]))) return false;
  for (unsigned char c : name)
    if (!IsNameStart(c) && !(c >= '0' && c <= '9') && c != '-' && c != '.') return false;
  return true;
}

void AppendFlag(std::string& out, const char* name, bool value) {
  if (value) AppendAttribute(out, name, "true");
}

void AppendOptionalText(std::string& out, const char* name, const std::string& value) {
  if (!value.empty()) AppendAttribute(out, name, value);
}

void AppendExtras(std::string& out, const TXmlAttributes& extras) {
  for (const auto& [name, value] : extras) AppendAttribute(out, name, value);
}

void AppendSchema(std::string& out, const TRecordsetSchema& schema,
                  const std::vector<std::string>& names) {
  out.append(
      "<xml xmlns:s='uuid:BDC6E3F0-6DA3-11d1-A2A3-00AA00C14882'\r\n"
      "\txmlns:dt='uuid:C2F41010-65B3-11d1-A29F-00AA00C14882'\r\n"
      "\txmlns:rs='urn:schemas-microsoft-com:rowset'\r\n"
      "\txmlns:z='#RowsetSchema'>\r\n"
      "<s:Schema id='RowsetSchema'>\r\n"
      "\t<s:ElementType name='row' content='eltOnly'");
  AppendExtras(out, schema.RowAttributes);
  out.append(">\r\n");
  for (size_t i = 0; i < schema.Fields.size(); ++i) {
    const TRecordsetField& f = schema.Fields[i];
    out.append("\t\t<s:AttributeType");
    AppendAttribute(out, "name", names[i]);
    if (f.Name != names[i]) AppendAttribute(out, "rs:name", f.Name);
    out.append(" rs:number='");
    AppendNumber(out, f.Number != 0 ? f.Number : static_cast<int>(i + 1));
    out.push_back('\'');
    AppendFlag(out, "rs:nullable", f.Nullable);
    AppendFlag(out, "rs:write", f.Write);
    AppendFlag(out, "rs:writeunknown", f.WriteUnknown);
    AppendFlag(out, "rs:rowver", f.RowVersion);
    AppendFlag(out, "rs:rowid", f.RowId);
    AppendOptionalText(out, "rs:basecatalog", f.BaseCatalog);
    AppendOptionalText(out, "rs:baseschema", f.BaseSchema);
    AppendOptionalText(out, "rs:basetable", f.BaseTable);
    AppendOptionalText(out, "rs:basecolumn", f.BaseColumn);
    AppendFlag(out, "rs:keycolumn", f.KeyColumn);
    AppendFlag(out, "rs:autoincrement", f.AutoIncrement);
    AppendFlag(out, "rs:hidden", f.Hidden);
    AppendExtras(out, f.ExtraAttributes);
    out.append(">\r\n\t\t\t<s:datatype");
    AppendAttribute(out, "dt:type", f.TypeName);
    AppendOptionalText(out, "rs:dbtype", f.DbType);
    if (f.HasMaxLength) {
      out.append(" dt:maxLength='");
      AppendNumber(out, f.MaxLength);
      out.push_back('\'');
    }
    if (f.Scale) {
      out.append(" rs:scale='");
      AppendNumber(out, *f.Scale);
      out.push_back('\'');
    }
    if (f.Precision) {
      out.append(" rs:precision='");
      AppendNumber(out, *f.Precision);
      out.push_back('\'');
    }
    AppendFlag(out, "rs:fixedlength", f.FixedLength);
    AppendFlag(out, "rs:long", f.Long);
    if (f.MaybeNull) AppendAttribute(out, "rs:maybenull", *f.MaybeNull ? "true" : "false");
    AppendExtras(out, f.ExtraDatatypeAttributes);
    out.append("/>\r\n\t\t</s:AttributeType>\r\n");
  }
  for (const std::string& opaque : schema.OpaqueSchema) out.append(opaque);
  out.append(
      "\t\t<s:extends type='rs:rowbase'/>\r\n"
      "\t</s:ElementType>\r\n"
      "</s:Schema>\r\n");
}

enum class TRowForm { kPlain, kChanged, kInserted };

// One z:row element. kPlain writes every non-null value; kChanged writes the assigned columns
// and names the null ones in rs:forcenull; kInserted writes every value, naming the null ones.
void AppendRow(std::string& out, const char* indent, const std::vector<TColumn>& columns,
               const std::vector<std::string>& names, const std::vector<TVariant>& values,
               const std::vector<bool>* modified, TRowForm form, const std::string* opaque) {
  out.append(indent);
  out.append("<z:row");
  std::string forcenull;
  for (size_t i = 0; i < columns.size(); ++i) {
    if (form == TRowForm::kChanged && !(*modified)[i]) continue;
    const TVariant& v = values[i];
    if (v.IsClear()) {
      if (form != TRowForm::kPlain) {
        if (!forcenull.empty()) forcenull.push_back(' ');
        forcenull.append(names[i]);
      }
      continue;
    }
    out.push_back(' ');
    out.append(names[i]);
    out.append("='");
    AppendValue(out, columns[i], v);
    out.push_back('\'');
  }
  if (!forcenull.empty()) AppendAttribute(out, "rs:forcenull", forcenull);
  if (opaque && !opaque->empty()) {
    out.append(">\r\n");
    out.append(*opaque);
    out.append(indent);
    out.append("</z:row>\r\n");
  } else {
    out.append("/>\r\n");
  }
}

}  // namespace

void WriteAdoXml(const TRecordsetData& data, std::string& out, const TRowPredicate& include) {
  const auto& fields = data.Schema.Fields;
  std::vector<TColumn> columns(fields.size());
  std::vector<std::string> names(fields.size());
  for (size_t i = 0; i < fields.size(); ++i) {
    if (!ColumnFor(fields[i], columns[i]))
      throw EDatabaseError("Field '" + fields[i].Name + "' has an unknown type '" +
                           fields[i].TypeName + "'");
    names[i] = AdoXmlRowName(fields[i], i);
  }
  // Room for every row only when every row is written: a delta holds a few of them.
  if (!include) out.reserve(out.size() + 1024 + data.Rows.size() * (32 + fields.size() * 24));
  AppendSchema(out, data.Schema, names);
  out.append("<rs:data>\r\n");
  std::vector<const TRecordsetRow*> inserted, deleted;
  for (const auto& holder : data.Rows) {
    const TRecordsetRow& row = *holder;
    if (include && !include(row)) continue;
    switch (row.Status) {
      case TRowStatus::rsUnmodified:
        AppendRow(out, "\t", columns, names, row.Values, nullptr, TRowForm::kPlain, &row.Opaque);
        break;
      case TRowStatus::rsModified:
        out.append("\t<rs:update>\r\n\t\t<rs:original>\r\n");
        AppendRow(out, "\t\t\t", columns, names, row.Original, nullptr, TRowForm::kPlain, nullptr);
        out.append("\t\t</rs:original>\r\n");
        AppendRow(out, "\t\t", columns, names, row.Values, &row.Modified, TRowForm::kChanged,
                  nullptr);
        out.append("\t</rs:update>\r\n");
        break;
      case TRowStatus::rsNew:
        inserted.push_back(&row);
        break;
      case TRowStatus::rsDeleted:
        deleted.push_back(&row);
        break;
    }
  }
  if (!inserted.empty()) {
    out.append("\t<rs:insert>\r\n");
    for (const TRecordsetRow* row : inserted)
      AppendRow(out, "\t\t", columns, names, row->Values, nullptr, TRowForm::kInserted, nullptr);
    out.append("\t</rs:insert>\r\n");
  }
  if (!deleted.empty()) {
    out.append("\t<rs:delete>\r\n");
    for (const TRecordsetRow* row : deleted)
      AppendRow(out, "\t\t", columns, names, row->Values, nullptr, TRowForm::kPlain, nullptr);
    out.append("\t</rs:delete>\r\n");
  }
  out.append("</rs:data>\r\n</xml>");
}

std::string WriteAdoXml(const TRecordsetData& data, const TRowPredicate& include) {
  std::string out;
  WriteAdoXml(data, out, include);
  return out;
}

std::string AdoXmlRowName(const TRecordsetField& field, size_t index) {
  if (!field.XmlName.empty()) return field.XmlName;
  if (IsValidXmlName(field.Name)) return field.Name;
  return "c" + std::to_string(index);
}

}  // namespace larkspire
