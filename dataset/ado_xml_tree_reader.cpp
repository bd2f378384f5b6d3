// The document model reader of ADO XML: every well-formed document, in any encoding pugixml
// detects, read through a pugixml tree.
#include <cstring>
#include <string>

#include "dataset/ado_xml_internal.h"
#include "platform/exception.h"

namespace larkspire::adoxml {
namespace {

// The offset of an element's '<' in the document.
size_t TagOffset(const pugi::xml_node& node) {
  const ptrdiff_t name = node.offset_debug();
  return name > 0 ? static_cast<size_t>(name - 1) : 0;
}

void CollectAttributes(const pugi::xml_node& node, std::vector<TAttr>& attrs) {
  attrs.clear();
  for (pugi::xml_attribute a = node.first_attribute(); a; a = a.next_attribute())
    attrs.push_back({a.name(), a.value()});
}

void ReadRowsFromTree(const pugi::xml_node& rs_data, TRowReader& reader) {
  std::vector<TAttr> attrs, changed;
  for (pugi::xml_node node = rs_data.first_child(); node; node = node.next_sibling()) {
    if (node.type() != pugi::node_element) continue;
    const std::string_view name = node.name();
    if (name == "z:row") {
      CollectAttributes(node, attrs);
      std::string opaque;
      for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling())
        if (child.type() == pugi::node_element) SerializeElement(opaque, child, 2);
      reader.AddRow(TRowStatus::rsUnmodified, attrs, TagOffset(node), std::move(opaque));
    } else if (name == "rs:insert" || name == "rs:delete") {
      const TRowStatus status = name == "rs:insert" ? TRowStatus::rsNew : TRowStatus::rsDeleted;
      for (pugi::xml_node row = node.first_child(); row; row = row.next_sibling()) {
        if (row.type() != pugi::node_element) continue;
        if (std::strcmp(row.name(), "z:row") != 0)
          Malformed(Where(row) + ": unexpected element in " + std::string(name));
        CollectAttributes(row, attrs);
        reader.AddRow(status, attrs, TagOffset(row), std::string());
      }
    } else if (name == "rs:update") {
      pugi::xml_node original;
      for (pugi::xml_node row = node.first_child(); row; row = row.next_sibling()) {
        if (row.type() != pugi::node_element) continue;
        const std::string_view row_name = row.name();
        if (row_name == "rs:original") {
          if (original) Malformed(Where(row) + ": rs:original without its new row");
          original = row;
          continue;
        }
        if (row_name != "z:row") Malformed(Where(row) + ": unexpected element in rs:update");
        if (!original) Malformed(Where(row) + ": rs:update row without rs:original");
        const pugi::xml_node old_row = original.child("z:row");
        if (!old_row) Malformed(Where(original) + ": rs:original holds no z:row");
        CollectAttributes(old_row, attrs);
        CollectAttributes(row, changed);
        reader.AddUpdate(attrs, TagOffset(old_row), changed, TagOffset(row));
        original = pugi::xml_node();
      }
      if (original) Malformed(Where(original) + ": rs:original without its new row");
    } else {
      Malformed(Where(node) + ": unexpected element in rs:data");
    }
  }
}

TRecordsetData ReadDocument(const pugi::xml_document& doc) {
  const pugi::xml_node root = doc.document_element();
  if (!root) Malformed("no document element");
  TRecordsetData data;
  ReadSchema(root, data.Schema);
  const pugi::xml_node rs_data = root.child("rs:data");
  if (!rs_data)
    Malformed("the document element <" + std::string(root.name()) + "> has no rs:data child");
  TRowReader reader(data);
  ReadRowsFromTree(rs_data, reader);
  data.Generation = 1;
  return data;
}

void CheckParse(const pugi::xml_parse_result& result) {
  if (result) return;
  if (result.status == pugi::status_no_document_element) Malformed("no document element");
  Malformed(std::string("not well-formed XML: ") + result.description() + " at offset " +
            std::to_string(result.offset));
}

}  // namespace

TRecordsetData ReadAdoXmlTree(std::string_view text) {
  pugi::xml_document doc;
  CheckParse(doc.load_buffer(text.data(), text.size(), kParseOptions, pugi::encoding_auto));
  return ReadDocument(doc);
}

TRecordsetData ReadAdoXmlTreeInPlace(std::string& buffer) {
  pugi::xml_document doc;
  CheckParse(
      doc.load_buffer_inplace(buffer.data(), buffer.size(), kParseOptions, pugi::encoding_auto));
  return ReadDocument(doc);
}

}  // namespace larkspire::adoxml
