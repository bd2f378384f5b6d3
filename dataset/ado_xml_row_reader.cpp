// What both readers of ADO XML share: the schema and turning row attributes into rows.
#include <cstring>
#include <string>
#include <utility>

#include "dataset/ado_xml_internal.h"
#include "platform/exception.h"

namespace larkspire::adoxml {

// Writes an element the reader does not interpret (a child rowset) back as XML text.
void SerializeElement(std::string& out, const pugi::xml_node& node, int depth) {
  out.append(static_cast<size_t>(depth), '\t');
  out.push_back('<');
  out.append(node.name());
  for (pugi::xml_attribute a = node.first_attribute(); a; a = a.next_attribute())
    AppendAttribute(out, a.name(), a.value());
  bool has_children = false;
  for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
    if (child.type() != pugi::node_element && child.type() != pugi::node_pcdata) continue;
    if (!has_children) out.append(">\r\n"), has_children = true;
    if (child.type() == pugi::node_element) {
      SerializeElement(out, child, depth + 1);
    } else {
      out.append(static_cast<size_t>(depth + 1), '\t');
      AppendEscaped(out, child.value());
      out.append("\r\n");
    }
  }
  if (has_children) {
    out.append(static_cast<size_t>(depth), '\t');
    out.append("</");
    out.append(node.name());
    out.append(">\r\n");
  } else {
    out.append("/>\r\n");
  }
}

std::string Where(const pugi::xml_node& node) {
  const ptrdiff_t name = node.offset_debug();
  return std::string(node.name()) + " at offset " + std::to_string(name > 0 ? name - 1 : 0);
}

namespace {

bool ParseFlag(const pugi::xml_attribute& a, const std::string& column) {
  const std::string_view v = a.value();
  if (EqualsIgnoreCase(v, "true") || v == "1" || v == "-1") return true;
  if (EqualsIgnoreCase(v, "false") || v == "0") return false;
  Malformed("column '" + column + "': " + a.name() + " is '" + Shorten(v) + "', not true or false");
}

int64_t ParseCount(const pugi::xml_attribute& a, const std::string& column, int64_t max) {
  int64_t v;
  std::string scratch;
  if (!ParseWhole(WithoutSpace(a.value(), scratch), v) || v < 0 || v > max)
    Malformed("column '" + column + "': " + a.name() + " '" + Shorten(a.value()) +
              "' is not a valid number");
  return v;
}

void ReadDatatypeAttribute(TRecordsetField& f, const pugi::xml_attribute& a,
                           const std::string& column) {
  const std::string_view name = a.name();
  if (name == "dt:type")
    f.TypeName = a.value();
  else if (name == "rs:dbtype")
    f.DbType = a.value();
  else if (name == "dt:maxLength")
    f.MaxLength = ParseCount(a, column, 4294967295LL), f.HasMaxLength = true;
  else if (name == "rs:precision")
    f.Precision = static_cast<int>(ParseCount(a, column, 1000));
  else if (name == "rs:scale")
    f.Scale = static_cast<int>(ParseCount(a, column, 1000));
  else if (name == "rs:fixedlength")
    f.FixedLength = ParseFlag(a, column);
  else if (name == "rs:long")
    f.Long = ParseFlag(a, column);
  else if (name == "rs:maybenull")
    f.MaybeNull = ParseFlag(a, column);
  else
    f.ExtraDatatypeAttributes.emplace_back(a.name(), a.value());
}

TRecordsetField ReadField(const pugi::xml_node& node, size_t index) {
  TRecordsetField f;
  f.HasMaxLength = false;
  const std::string column = node.attribute("name").value();
  if (column.empty())
    Malformed("column " + std::to_string(index + 1) + " (" + Where(node) + ") has no name");
  for (pugi::xml_attribute a = node.first_attribute(); a; a = a.next_attribute()) {
    const std::string_view name = a.name();
    if (name == "name")
      f.XmlName = a.value();
    else if (name == "rs:name")
      f.Name = a.value();
    else if (name == "rs:number")
      f.Number = static_cast<int>(ParseCount(a, column, 1 << 30));
    else if (name == "rs:nullable")
      f.Nullable = ParseFlag(a, column);
    else if (name == "rs:write")
      f.Write = ParseFlag(a, column);
    else if (name == "rs:writeunknown")
      f.WriteUnknown = ParseFlag(a, column);
    else if (name == "rs:keycolumn")
      f.KeyColumn = ParseFlag(a, column);
    else if (name == "rs:autoincrement")
      f.AutoIncrement = ParseFlag(a, column);
    else if (name == "rs:rowver")
      f.RowVersion = ParseFlag(a, column);
    else if (name == "rs:rowid")
      f.RowId = ParseFlag(a, column);
    else if (name == "rs:hidden")
      f.Hidden = ParseFlag(a, column);
    else if (name == "rs:basecatalog")
      f.BaseCatalog = a.value();
    else if (name == "rs:baseschema")
      f.BaseSchema = a.value();
    else if (name == "rs:basetable")
      f.BaseTable = a.value();
    else if (name == "rs:basecolumn")
      f.BaseColumn = a.value();
    else if (name.substr(0, 3) == "dt:")
      ReadDatatypeAttribute(f, a, column);
    else
      f.ExtraAttributes.emplace_back(a.name(), a.value());
  }
  if (f.Name.empty()) f.Name = f.XmlName;
  if (f.Number == 0) f.Number = static_cast<int>(index + 1);
  if (pugi::xml_node datatype = node.child("s:datatype"))
    for (pugi::xml_attribute a = datatype.first_attribute(); a; a = a.next_attribute())
      ReadDatatypeAttribute(f, a, column);
  if (f.TypeName.empty()) Malformed("column '" + column + "' has no dt:type");
  f.DataType = AdoTypeOf(f.TypeName, f.DbType, f.FixedLength, f.Long, f.MaxLength);
  if (f.DataType == TAdoDataType::adEmpty)
    Malformed("column '" + column + "' has an unknown type '" + f.TypeName +
              (f.DbType.empty() ? "" : "' (rs:dbtype '" + f.DbType + "')") +
              (f.DbType.empty() ? "'" : ""));
  return f;
}

}  // namespace

TRowReader::TRowReader(TRecordsetData& data) : data_(data) {
  const auto& fields = data.Schema.Fields;
  columns_.resize(fields.size());
  for (size_t i = 0; i < fields.size(); ++i) {
    ColumnFor(fields[i], columns_[i]);
    if (!by_name_.emplace(fields[i].XmlName, static_cast<int>(i)).second)
      Malformed("two columns are named '" + fields[i].XmlName + "'");
  }
}

void TRowReader::AddRow(TRowStatus status, const std::vector<TAttr>& attrs, size_t offset,
                        std::string opaque) {
  auto row = std::make_unique<TRecordsetRow>();
  row->Id = data_.NextId++;
  row->Status = status;
  Read(attrs, offset, row->Values, nullptr);
  row->Opaque = std::move(opaque);
  data_.Rows.push_back(std::move(row));
}

void TRowReader::AddUpdate(const std::vector<TAttr>& original, size_t original_offset,
                           const std::vector<TAttr>& changed, size_t changed_offset) {
  auto row = std::make_unique<TRecordsetRow>();
  row->Id = data_.NextId++;
  row->Status = TRowStatus::rsModified;
  Read(original, original_offset, row->Original, nullptr);
  std::vector<TVariant> values;
  row->Modified.assign(columns_.size(), false);
  Read(changed, changed_offset, values, &row->Modified);
  row->Values = row->Original;
  for (size_t i = 0; i < values.size(); ++i)
    if (row->Modified[i]) row->Values[i] = std::move(values[i]);
  data_.Rows.push_back(std::move(row));
}

void TRowReader::Read(const std::vector<TAttr>& attrs, size_t offset, std::vector<TVariant>& values,
                      std::vector<bool>* assigned) {
  const size_t count = columns_.size();
  const auto& fields = data_.Schema.Fields;
  values.clear();
  values.reserve(count);
  for (const TAttr& a : attrs) {
    size_t index;
    const size_t next = values.size();
    if (a.column >= 0) {
      index = static_cast<size_t>(a.column);
    } else if (next < count && fields[next].XmlName.size() == a.name.size() &&
               SameBytes(fields[next].XmlName.data(), a.name.data(), a.name.size())) {
      index = next;
    } else {
      const auto it = by_name_.find(std::string(a.name));
      if (it != by_name_.end()) {
        index = static_cast<size_t>(it->second);
      } else if (a.name == "rs:forcenull") {
        ReadForceNull(offset, a.value, values, assigned);
        continue;
      } else {
        Malformed(Where(offset) + ": attribute '" + std::string(a.name) + "' names no column");
      }
    }
    const TColumn& column = columns_[index];
    bool valid;
    if (index == values.size()) {
      valid = ParseValueTo(column, a.value, TAppendValue{values}, scratch_, a.spaced);
    } else {
      while (values.size() <= index) values.push_back(null_);
      valid = ParseValueTo(column, a.value, TAssignValue{values[index]}, scratch_, a.spaced);
    }
    if (!valid)
      Malformed(Where(offset) + ": column '" + column.field->Name + "' value '" + Shorten(a.value) +
                "' is not a valid " + KindName(column.kind) + " (" + column.field->TypeName + ")");
    if (assigned) (*assigned)[index] = true;
  }
  while (values.size() < count) values.push_back(null_);
}

void TRowReader::ReadForceNull(size_t offset, std::string_view list, std::vector<TVariant>& values,
                               std::vector<bool>* assigned) {
  size_t i = 0;
  while (i < list.size()) {
    while (i < list.size() && IsXmlSpace(list[i])) ++i;
    const size_t start = i;
    while (i < list.size() && !IsXmlSpace(list[i])) ++i;
    if (start == i) break;
    const std::string name(list.substr(start, i - start));
    const auto it = by_name_.find(name);
    if (it == by_name_.end())
      Malformed(Where(offset) + ": rs:forcenull names '" + name + "', which is no column");
    const size_t index = static_cast<size_t>(it->second);
    while (values.size() <= index) values.emplace_back(TVariant::Null());
    values[index] = TVariant::Null();
    if (assigned) (*assigned)[index] = true;
  }
}

void ReadSchema(const pugi::xml_node& root, TRecordsetSchema& schema) {
  const pugi::xml_node schema_node = root.child("s:Schema");
  if (!schema_node)
    Malformed("the document element <" + std::string(root.name()) + "> has no s:Schema child");
  pugi::xml_node element_type = schema_node.find_child_by_attribute("s:ElementType", "name", "row");
  if (!element_type) element_type = schema_node.child("s:ElementType");
  if (!element_type) Malformed("s:Schema has no s:ElementType");
  schema.RowAttributes.clear();
  for (pugi::xml_attribute a = element_type.first_attribute(); a; a = a.next_attribute()) {
    const std::string_view name = a.name();
    if (name != "name" && name != "content") schema.RowAttributes.emplace_back(a.name(), a.value());
  }
  for (pugi::xml_node node = element_type.first_child(); node; node = node.next_sibling()) {
    if (node.type() != pugi::node_element) continue;
    const std::string_view name = node.name();
    if (name == "s:AttributeType") {
      schema.Fields.push_back(ReadField(node, schema.Fields.size()));
    } else if (name != "s:extends") {
      std::string opaque;
      SerializeElement(opaque, node, 2);
      schema.OpaqueSchema.push_back(std::move(opaque));
    }
  }
}

}  // namespace larkspire::adoxml
