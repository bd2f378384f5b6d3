// The pieces the ADO XML readers and writer share, for the files of dataset/ and their tests:
// column kinds and value conversion, row building, and the two readers reachable one by one.
// Not part of the library's interface.
//
// Thread-safety: free functions are pure; a TRowReader is used by one thread.
#ifndef LARKSPIRE_DATASET_ADO_XML_INTERNAL_H_
#define LARKSPIRE_DATASET_ADO_XML_INTERNAL_H_

#include <charconv>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include <pugixml.hpp>

#include "dataset/column_type.h"
#include "dataset/recordset.h"

namespace larkspire::adoxml {

struct TColumn {
  TValueKind kind = TValueKind::vkString;
  int64_t low = 0, high = 0;
  bool int32 = false;
  const TRecordsetField* field = nullptr;
};

// Raises EMalformedData with the message after "rowset document: ".
[[noreturn]] void Malformed(const std::string& message);

// The column's kind; false when its type is not one the format knows.
bool ColumnFor(const TRecordsetField& field, TColumn& column);
// The kind's name in messages ("integer", "dateTime").
const char* KindName(TValueKind kind);

inline bool IsXmlSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}
// The text without any XML whitespace: ADO wraps long values across lines.
std::string_view WithoutSpace(std::string_view text, std::string& scratch);
bool EqualsIgnoreCase(std::string_view a, std::string_view b);
// At most the first 40 bytes of a text, for messages.
std::string Shorten(std::string_view text);

template <typename T>
bool ParseWhole(std::string_view text, T& value) {
  if (!text.empty() && text[0] == '+') text.remove_prefix(1);
  if (text.empty()) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

// Where ParseValueTo puts the value it reads: over a variable, or at the end of a row's values
// (built in place there, without a temporary).
struct TAssignValue {
  TVariant& out;
  template <typename T>
  void operator()(T&& value) {
    if constexpr (std::is_same_v<std::decay_t<T>, TVariant>)
      out = std::forward<T>(value);
    else
      out = TVariant(std::forward<T>(value));
  }
};
struct TAppendValue {
  std::vector<TVariant>& values;
  template <typename T>
  void operator()(T&& value) {
    values.emplace_back(std::forward<T>(value));
  }
};

// Reads one attribute text into a value of the column, handing it to put; false when it is not
// one. spaced: the text may hold white space to drop (a wrapped value).
template <typename TPut>
bool ParseValueTo(const TColumn& column, std::string_view raw, TPut&& put, std::string& scratch,
                  bool spaced);
extern template bool ParseValueTo(const TColumn&, std::string_view, TAssignValue&&, std::string&,
                                  bool);
extern template bool ParseValueTo(const TColumn&, std::string_view, TAppendValue&&, std::string&,
                                  bool);
bool ParseValue(const TColumn& column, std::string_view raw, TVariant& out, std::string& scratch,
                bool spaced = true);

// Writing: text with the five specials and control characters as "&#x..;" references, an
// attribute " name='value'", a number, and the text of a value (not Null) of the column.
void AppendEscaped(std::string& out, std::string_view text);
void AppendAttribute(std::string& out, std::string_view name, std::string_view value);
template <typename T>
void AppendNumber(std::string& out, T value) {
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}
void AppendValue(std::string& out, const TColumn& column, const TVariant& value);

// Whether n bytes at a and b are equal; for the short names of columns.
inline bool SameBytes(const char* a, const char* b, size_t n) {
  for (; n >= 8; a += 8, b += 8, n -= 8) {
    uint64_t x, y;
    std::memcpy(&x, a, 8);
    std::memcpy(&y, b, 8);
    if (x != y) return false;
  }
  for (; n > 0; ++a, ++b, --n)
    if (*a != *b) return false;
  return true;
}

// --- Reading ------------------------------------------------------------------------------------

constexpr unsigned kParseOptions = pugi::parse_default & ~pugi::parse_wnorm_attribute &
                                   ~pugi::parse_wconv_attribute & ~pugi::parse_eol;

// Writes an element the reader does not interpret (a child rowset) back as XML text.
void SerializeElement(std::string& out, const pugi::xml_node& node, int depth);
// "name at offset N" of an element, for messages.
std::string Where(const pugi::xml_node& node);
// Reads the s:Schema of the document element into the schema.
void ReadSchema(const pugi::xml_node& root, TRecordsetSchema& schema);

// One attribute of a row as a reader found it.
struct TAttr {
  std::string_view name, value;
  bool spaced = true;  // the value may hold white space
  int column = -1;     // the column the name was matched to while scanning, or -1
};

// Turns the attributes of z:row elements into rows of the data.
class TRowReader {
 public:
  explicit TRowReader(TRecordsetData& data);

  // The last row read, taken out of the data (for a reader that hands rows out one by one).
  std::unique_ptr<TRecordsetRow> TakeLastRow() {
    std::unique_ptr<TRecordsetRow> row = std::move(data_.Rows.back());
    data_.Rows.pop_back();
    return row;
  }

  // A row without change, a new or a deleted row.
  void AddRow(TRowStatus status, const std::vector<TAttr>& attrs, size_t offset,
              std::string opaque);
  // A modified row: its rs:original row and the row of changed columns.
  void AddUpdate(const std::vector<TAttr>& original, size_t original_offset,
                 const std::vector<TAttr>& changed, size_t changed_offset);

  const std::vector<TRecordsetField>& Fields() const { return data_.Schema.Fields; }
  void ReserveRows(size_t count) { data_.Rows.reserve(data_.Rows.size() + count); }
  // Gives the last row read its child rows (kept as text).
  void SetLastOpaque(std::string opaque) { data_.Rows.back()->Opaque = std::move(opaque); }

 private:
  static std::string Where(size_t offset) { return "z:row at offset " + std::to_string(offset); }

  // Reads the attributes into values (Null where absent). Columns the row names (with a value
  // or in rs:forcenull) are flagged in assigned when it is given.
  void Read(const std::vector<TAttr>& attrs, size_t offset, std::vector<TVariant>& values,
            std::vector<bool>* assigned);
  void ReadForceNull(size_t offset, std::string_view list, std::vector<TVariant>& values,
                     std::vector<bool>* assigned);

  TRecordsetData& data_;
  std::vector<TColumn> columns_;
  std::unordered_map<std::string, int> by_name_;
  std::string scratch_;
  const TVariant null_ = TVariant::Null();
};

// Decodes the character and entity references of an attribute's raw text; false when one is
// not well-formed.
bool DecodeReferences(std::string_view raw, std::string& out);
// Reads the part of a UTF-8 document before its "<rs:data" (at data_at): the document element's
// name and the schema. False when that part is not in the shape ADO writes; a schema that does
// not follow the format raises EMalformedData.
bool ReadDocumentHead(std::string_view text, size_t data_at, std::string& root_name,
                      TRecordsetSchema& schema);

// The two readers, each on its own. The tree reader takes every well-formed document and words
// every error; the direct reader takes plain UTF-8 documents in the shape ADO writes and returns
// nullopt for anything else (its result then comes from the tree reader).
TRecordsetData ReadAdoXmlTree(std::string_view text);
TRecordsetData ReadAdoXmlTreeInPlace(std::string& buffer);
std::optional<TRecordsetData> ReadAdoXmlDirect(std::string_view text);

}  // namespace larkspire::adoxml

#endif  // LARKSPIRE_DATASET_ADO_XML_INTERNAL_H_
