// The streamed reader of ADO XML rowsets: rows handed out one by one, in any cut of the text,
// equal to what the whole-document reader reads; documents it cannot hand out row by row, and
// broken ones, refused with the place named.
#include "dataset/ado_xml_row_stream.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "dataset/ado_xml.h"
#include "platform/exception.h"

namespace larkspire {
namespace {

std::string ReadSample(const std::string& name) {
  std::ifstream file(std::string(LARKSPIRE_TEST_DATA_DIR) + "/ado-xml/" + name, std::ios::binary);
  EXPECT_TRUE(file) << name;
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// The document without its pending-change blocks: what a server sends, in ADO's own layout
// (wrapped tags and values, references, comments) as the samples have it.
std::string PlainRows(const std::string& document) {
  return std::regex_replace(document, std::regex("<rs:(insert|update|delete)>[\\s\\S]*?</rs:\\1>"),
                            "");
}

struct TStreamed {
  TRecordsetSchema schema;
  std::vector<TRecordsetRow> rows;
  int schemas = 0;
};

// Streams the document in pieces of the given size.
TStreamed Stream(const std::string& document, size_t piece) {
  TStreamed got;
  TAdoXmlRowStream reader(
      [&](const TRecordsetSchema& schema) { got.schema = schema, ++got.schemas; },
      [&](TRecordsetRow& row) {
        EXPECT_EQ(got.schemas, 1);
        got.rows.push_back(std::move(row));
      });
  for (size_t at = 0; at < document.size(); at += piece)
    reader.Feed(std::string_view(document).substr(at, piece));
  reader.Finish();
  EXPECT_EQ(reader.RowCount(), static_cast<int64_t>(got.rows.size()));
  return got;
}

// The message of the EMalformedData that streaming the document raises, or "" for none.
std::string StreamError(const std::string& document, size_t piece = 5) {
  try {
    Stream(document, piece);
  } catch (const EMalformedData& e) {
    return e.what();
  }
  return "";
}

TEST(AdoXmlRowStream, HandsOutTheRowsOfTheWholeReaderWhereverTheTextIsCut) {
  for (const char* name :
       {"pending-changes-all-types.xml", "pending-changes-binhex.xml",
        "pending-changes-boolean-nulls-forcenull.xml", "pending-changes-currency.xml",
        "pending-changes-decimal.xml", "pending-changes-mixed-rsname.xml",
        "pending-changes-required-fields-binhex-timestamp.xml",
        "pending-changes-text-escapes-controls.xml", "pending-changes-timestamp.xml",
        "pending-changes-wide-16-types-wrapped-binhex.xml"}) {
    SCOPED_TRACE(name);
    const std::string document = PlainRows(ReadSample(name));
    const TRecordsetData expected = ReadAdoXml(document);
    ASSERT_FALSE(expected.Rows.empty());
    for (size_t piece :
         {size_t{1}, size_t{2}, size_t{7}, size_t{61}, size_t{4096}, document.size()}) {
      SCOPED_TRACE(piece);
      const TStreamed got = Stream(document, piece);
      EXPECT_EQ(got.schema, expected.Schema);
      ASSERT_EQ(got.rows.size(), expected.Rows.size());
      for (size_t i = 0; i < got.rows.size(); ++i)
        EXPECT_TRUE(got.rows[i].SameContent(*expected.Rows[i])) << "row " << i;
    }
  }
  // A rowset without rows still gives its schema, and our own writer's text reads back.
  TRecordsetData empty = ReadAdoXml(PlainRows(ReadSample("pending-changes-all-types.xml")));
  empty.Rows.clear();
  const TStreamed none = Stream(WriteAdoXml(empty), 3);
  EXPECT_EQ(none.schemas, 1);
  EXPECT_EQ(none.schema, empty.Schema);
  EXPECT_TRUE(none.rows.empty());
}

TEST(AdoXmlRowStream, RefusesWhatCannotBeHandedOutRowByRowAndBrokenText) {
  const std::string plain = PlainRows(ReadSample("pending-changes-all-types.xml"));
  const size_t data_end = plain.find("</rs:data>");
  ASSERT_NE(data_end, std::string::npos);
  const std::string head = plain.substr(0, plain.find("<z:row"));
  const std::string tail = plain.substr(data_end);
  const struct {
    const char* what;
    std::string document;
    const char* error;
  } cases[] = {
      {"pending changes", ReadSample("pending-changes-all-types.xml"), "pending changes"},
      {"child rows", ReadSample("shape-sqlserver-customers-orders-keycolumn-hidden.xml"),
       "child rows"},
      {"cut inside the rows", plain.substr(0, data_end - 20), "inside rs:data"},
      {"cut before the end", plain.substr(0, plain.size() - 3), "before the end of"},
      {"nothing at all", "", "the document is empty"},
      {"no rows element", head.substr(0, head.find("<rs:data")), "without an rs:data"},
      {"a NUL byte", head + std::string("<z:row \0/>", 10) + tail, "NUL byte"},
      {"UTF-16", "\xFF\xFE<\0x\0m\0l\0", "not UTF-8"},
      {"text among the rows", head + "stray" + tail, "text inside rs:data"},
      {"an unknown column", head + "<z:row nosuchcolumn='1'/>" + tail, "names no column"},
      {"a broken reference", head + "<z:row ALL_01_TinyInt='&bogus;'/>" + tail,
       "malformed reference"},
      {"an unquoted value", head + "<z:row ID=1/>" + tail, "quoted value"},
      {"content after the end", plain + "<more/>", "content after the document element"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string error = StreamError(c.document);
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
    EXPECT_EQ(error.rfind("rowset document: ", 0), 0u) << error;
  }
  // A value the column's type does not take is worded as the whole reader words it.
  const std::string bad_value = head + "<z:row ID='x'/>" + tail;
  std::string whole_error;
  try {
    ReadAdoXml(bad_value);
  } catch (const EMalformedData& e) {
    whole_error = e.what();
  }
  EXPECT_FALSE(whole_error.empty());
  EXPECT_NE(StreamError(bad_value).find("is not a valid"), std::string::npos);

  // Once refused, the stream stays refused.
  TAdoXmlRowStream reader(nullptr, nullptr);
  EXPECT_THROW(reader.Feed(std::string("\0", 1)), EMalformedData);
  EXPECT_THROW(reader.Feed(plain), EMalformedData);
}

}  // namespace
}  // namespace larkspire
