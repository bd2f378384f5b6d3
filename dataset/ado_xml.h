// The ADO XML persistence format of a rowset: reading a document into rows with pending changes,
// and writing rows back in the form ADO writes (single quotes, tab indentation, CRLF line ends,
// "&#x26;"-style character references, no XML declaration, no line wrapping).
//
// Reading accepts what ADO writes, including start tags and bin.hex values wrapped across lines
// and raw TAB, CR and LF inside text values (kept as they are). Child rowsets of a shaped
// document are kept as opaque XML text, so the top-level rows load and save unchanged.
// Anything that does not follow the format raises EMalformedData saying what and where.
//
// Thread-safety: pure functions over the data passed in.
#ifndef LARKSPIRE_DATASET_ADO_XML_H_
#define LARKSPIRE_DATASET_ADO_XML_H_

#include <functional>
#include <string>
#include <string_view>

#include "dataset/recordset.h"

namespace larkspire {

// Parses a document (UTF-8, or UTF-16 with a byte order mark) into a fresh TRecordsetData.
// The buffer overload parses in place and may modify the buffer.
TRecordsetData ReadAdoXml(std::string_view text);
TRecordsetData ReadAdoXmlInPlace(std::string& buffer);

// Which rows a document holds; the default takes every row.
using TRowPredicate = std::function<bool(const TRecordsetRow&)>;

// Writes the document of the schema and the rows (those the predicate accepts), appending to out:
// rows without change as "z:row", modified rows as "rs:update" in their place, new rows in one
// "rs:insert" after them and deleted rows in one "rs:delete" at the end.
void WriteAdoXml(const TRecordsetData& data, std::string& out,
                 const TRowPredicate& include = nullptr);
std::string WriteAdoXml(const TRecordsetData& data, const TRowPredicate& include = nullptr);

// The attribute name of a column in rows: its XmlName, else its name when that is a valid XML
// name, else "c" and its 0-based index (as ADO names such columns).
std::string AdoXmlRowName(const TRecordsetField& field, size_t index);

// The text form of a value in a column of this field, as a row attribute carries it before
// escaping ("True", "2026-01-02T03:04:05", "0aff"). Raises EDatabaseError when the value does
// not convert.
std::string AdoXmlValueText(const TRecordsetField& field, const TVariant& value);
// Appends text escaped for an attribute as the writer escapes it: markup characters and control
// characters other than TAB, CR and LF as hexadecimal character references.
void AppendAdoXmlEscaped(std::string& out, std::string_view text);
// Appends a float as the writer writes it: up to 17 significant digits (8 for single precision),
// the exponent's "E" upper case.
void AppendAdoXmlFloat(std::string& out, double value, bool single);
// The value of an attribute text in a column of this field; raises EMalformedData (the message
// names the column) when the text is not a value of the column's type.
TVariant ParseAdoXmlValue(const TRecordsetField& field, std::string_view text);

}  // namespace larkspire

#endif  // LARKSPIRE_DATASET_ADO_XML_H_
