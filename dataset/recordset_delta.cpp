#include "dataset/recordset_delta.h"

#include <pugixml.hpp>

#include <cstring>
#include <vector>

#include "dataset/ado_xml.h"
#include "platform/exception.h"

namespace larkspire {
namespace {

// Raw attribute characters are kept, as the recordset's own reader keeps them.
constexpr unsigned kParseOptions = pugi::parse_default & ~pugi::parse_wnorm_attribute &
                                   ~pugi::parse_wconv_attribute & ~pugi::parse_eol;
constexpr unsigned kFormatOptions = pugi::format_raw | pugi::format_no_declaration;

void Parse(pugi::xml_document& document, const std::string& text, const char* what) {
  const pugi::xml_parse_result result =
      document.load_buffer(text.data(), text.size(), kParseOptions, pugi::encoding_auto);
  if (!result)
    throw EMalformedData(std::string(what) + ": not an XML row document (" + result.description() +
                         " at offset " + std::to_string(result.offset) + ")");
}

pugi::xml_node RowsElement(pugi::xml_document& document, const char* what) {
  const pugi::xml_node root = document.document_element();
  if (!root) throw EMalformedData(std::string(what) + ": no document element");
  const pugi::xml_node rows = root.child("rs:data");
  if (!rows)
    throw EMalformedData(std::string(what) + ": the document element <" + root.name() +
                         "> has no rs:data child");
  return rows;
}

class TStringWriter : public pugi::xml_writer {
 public:
  explicit TStringWriter(std::string& out) : out_(out) {}
  void write(const void* data, size_t size) override {
    out_.append(static_cast<const char*>(data), size);
  }

 private:
  std::string& out_;
};

int CountRows(const pugi::xml_node& block) {
  int count = 0;
  for (pugi::xml_node row = block.child("z:row"); row; row = row.next_sibling("z:row")) ++count;
  return count;
}

// Leaves in rs:data only the change blocks, moved to its end in their order. Returns the kinds.
std::string CutDelta(pugi::xml_document& document) {
  std::string kinds;
  pugi::xml_node rows = RowsElement(document, "delta");
  for (pugi::xml_node row = rows.child("z:row"); row;) {
    const pugi::xml_node next = row.next_sibling("z:row");
    rows.remove_child(row);
    row = next;
  }
  const pugi::xml_node deleted = rows.child("rs:delete");
  const pugi::xml_node inserted = rows.child("rs:insert");
  std::vector<pugi::xml_node> updates;
  for (pugi::xml_node u = rows.child("rs:update"); u; u = u.next_sibling("rs:update"))
    updates.push_back(u);
  // Moving a node to the end of rs:data detaches it from its place.
  if (deleted) {
    rows.append_move(deleted);
    kinds.append(static_cast<size_t>(CountRows(deleted)), '3');
  }
  if (inserted) {
    rows.append_move(inserted);
    kinds.append(static_cast<size_t>(CountRows(inserted)), '2');
  }
  for (const pugi::xml_node& u : updates) {
    rows.append_move(u);
    kinds += '1';
  }
  return kinds;
}

// Every child of the reply's rs:data, as text.
std::string ReturnedChildren(const std::string& reply) {
  pugi::xml_document document;
  Parse(document, reply, "returned rows");
  const pugi::xml_node returned = RowsElement(document, "returned rows");
  std::string children;
  TStringWriter writer(children);
  for (pugi::xml_node child = returned.first_child(); child; child = child.next_sibling())
    child.print(writer, "", kFormatOptions, pugi::encoding_utf8);
  return children;
}

}  // namespace

std::string CutDeltaDocument(const std::string& document, std::string& delta) {
  pugi::xml_document tree;
  Parse(tree, document, "delta");
  const std::string kinds = CutDelta(tree);
  delta.clear();
  TStringWriter writer(delta);
  tree.save(writer, "", kFormatOptions, pugi::encoding_utf8);
  return kinds;
}

std::string WriteRecordsetDelta(const TRecordset& recordset, std::string& delta) {
  // Only the rows with a pending change are written and cut: the cost follows the changes. A
  // recordset that cannot be written gives an empty text, which the cut refuses.
  std::string changes;
  if (recordset.Active()) {
    try {
      changes = WriteAdoXml(recordset.Data(), [](const TRecordsetRow& row) {
        return row.Status != TRowStatus::rsUnmodified;
      });
    } catch (const std::exception&) {
      changes.clear();
    }
  }
  return CutDeltaDocument(changes, delta);
}

std::string WriteRecordsetDeltaFromEveryRow(const TRecordset& recordset, std::string& delta) {
  std::string document;
  if (recordset.Active()) {
    try {
      document = recordset.SaveToString();
    } catch (const std::exception&) {
      document.clear();
    }
  }
  return CutDeltaDocument(document, delta);
}

void MergeReturnedRows(TRecordset& recordset, const std::string& reply) {
  const std::string children = ReturnedChildren(reply);
  if (!recordset.Active()) throw EMalformedData("merge: the dataset has no rows to merge into");
  // The returned rows are read under the rows' own schema, as one document of them alone.
  TRecordsetData empty;
  empty.Schema = recordset.Schema();
  std::string text = WriteAdoXml(empty);
  text.insert(text.rfind("</rs:data>"), children);
  TRecordsetData merged;
  try {
    merged = ReadAdoXmlInPlace(text);
  } catch (const Exception& e) {
    throw EMalformedData(std::string("returned rows: ") + e.what());
  }
  recordset.ReplaceChangedRows(std::move(merged.Rows));
}

std::string MergeReturnedRowsByReloading(const TRecordset& recordset, const std::string& reply) {
  pugi::xml_document returned;
  Parse(returned, reply, "returned rows");
  const pugi::xml_node returned_rows = RowsElement(returned, "returned rows");
  pugi::xml_document document;
  Parse(document, recordset.Active() ? recordset.SaveToString() : std::string(), "merge");
  pugi::xml_node rows = RowsElement(document, "merge");
  for (pugi::xml_node child = rows.first_child(); child;) {
    const pugi::xml_node next = child.next_sibling();
    const char* name = child.name();
    if (std::strcmp(name, "rs:insert") == 0 || std::strcmp(name, "rs:update") == 0 ||
        std::strcmp(name, "rs:delete") == 0)
      rows.remove_child(child);
    child = next;
  }
  for (pugi::xml_node child = returned_rows.first_child(); child; child = child.next_sibling())
    rows.append_copy(child);
  std::string text;
  TStringWriter writer(text);
  document.save(writer, "", kFormatOptions, pugi::encoding_utf8);
  return text;
}

}  // namespace larkspire
