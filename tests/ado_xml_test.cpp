// Reading and writing the ADO XML rowset format: the real documents ADO wrote, round trips of
// every type with pending changes, the details of how deltas are written, and bad documents.
#include "dataset/ado_xml.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <regex>
#include <sstream>

#include "dataset/ado_xml_internal.h"
#include "dataset/recordset.h"
#include "platform/datetime.h"
#include "platform/exception.h"

namespace larkspire {
namespace {

std::string SamplePath(const std::string& name) {
  return std::string(LARKSPIRE_TEST_DATA_DIR) + "/ado-xml/" + name;
}

std::string ReadSample(const std::string& name) {
  std::ifstream file(SamplePath(name), std::ios::binary);
  EXPECT_TRUE(file) << name;
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

const char* const kSamples[] = {
    "pending-changes-all-types.xml",
    "pending-changes-binhex.xml",
    "pending-changes-boolean-nulls-forcenull.xml",
    "pending-changes-currency.xml",
    "pending-changes-decimal.xml",
    "pending-changes-mixed-rsname.xml",
    "pending-changes-required-fields-binhex-timestamp.xml",
    "pending-changes-text-escapes-controls.xml",
    "pending-changes-timestamp.xml",
    "pending-changes-wide-16-types-wrapped-binhex.xml",
    "shape-sqlserver-customers-orders-keycolumn-hidden.xml",
    "shape-sqlserver-rowversion-autoincrement.xml",
};

// ADO wraps long lines; we do not. Undo the wrapping (and LF-only line ends) on both sides.
std::string Unwrapped(std::string text) {
  if (text.find("\r\n") == std::string::npos)
    text = std::regex_replace(text, std::regex("\n"), "\r\n");
  text = std::regex_replace(text, std::regex("\r\n\t+ "), " ");
  return std::regex_replace(text, std::regex("\r\n\t+([^\t <])"), "$1");
}

int CountStatus(const TRecordsetData& data, TRowStatus status) {
  int count = 0;
  for (const auto& row : data.Rows) count += row->Status == status;
  return count;
}

const TRecordsetRow& RowWithId(const TRecordsetData& data, int id) {
  for (const auto& row : data.Rows)
    if (row->Values[0] == TVariant(id)) return *row;
  throw std::runtime_error("no row " + std::to_string(id));
}

double Date(int y, int m, int d, int hh = 0, int mm = 0, int ss = 0) {
  TDateTimeParts p;
  p.year = y, p.month = m, p.day = d, p.hour = hh, p.minute = mm, p.second = ss;
  return EncodeDateTime(p);
}

// --- The real documents ---------------------------------------------------------------------

TEST(AdoXmlSamples, EveryDocumentSavesAsAdoWroteIt) {
  for (const char* name : kSamples) {
    SCOPED_TRACE(name);
    const std::string original = ReadSample(name);
    const TRecordsetData data = ReadAdoXml(original);
    const std::string saved = WriteAdoXml(data);
    EXPECT_EQ(Unwrapped(saved), Unwrapped(original));
    // And what we save opens to the same rows and saves to the same text again.
    const TRecordsetData again = ReadAdoXml(saved);
    EXPECT_TRUE(again.SameContent(data));
    EXPECT_EQ(WriteAdoXml(again), saved);
  }
}

TEST(AdoXmlSamples, AllTypesDocumentHasItsColumnsTypesAndPendingChanges) {
  const TRecordsetData data = ReadAdoXml(ReadSample("pending-changes-all-types.xml"));
  ASSERT_EQ(data.Schema.Fields.size(), 31u);
  const auto& f = data.Schema.Fields;
  EXPECT_EQ(f[0].Name, "ID");
  EXPECT_FALSE(f[0].Nullable);
  EXPECT_TRUE(f[1].Nullable);
  EXPECT_EQ(f[1].DataType, TAdoDataType::adTinyInt);
  EXPECT_EQ(f[8].DataType, TAdoDataType::adUnsignedBigInt);
  EXPECT_EQ(f[9].DataType, TAdoDataType::adSingle);
  EXPECT_EQ(f[10].DataType, TAdoDataType::adDouble);
  EXPECT_EQ(f[11].DataType, TAdoDataType::adCurrency);
  EXPECT_EQ(f[12].DataType, TAdoDataType::adBoolean);
  EXPECT_EQ(f[13].DataType, TAdoDataType::adDate);
  EXPECT_EQ(f[14].DataType, TAdoDataType::adDBDate);
  EXPECT_EQ(f[15].DataType, TAdoDataType::adDBTime);
  EXPECT_EQ(f[16].DataType, TAdoDataType::adDBTimeStamp);
  EXPECT_EQ(f[17].DataType, TAdoDataType::adFileTime);
  EXPECT_EQ(f[18].DataType, TAdoDataType::adGUID);
  EXPECT_EQ(f[19].DataType, TAdoDataType::adBSTR);
  EXPECT_EQ(f[19].MaxLength, 4294967295LL);
  EXPECT_EQ(f[20].DataType, TAdoDataType::adChar);
  EXPECT_EQ(f[21].DataType, TAdoDataType::adWChar);
  EXPECT_EQ(f[22].DataType, TAdoDataType::adVarChar);
  EXPECT_EQ(f[23].DataType, TAdoDataType::adVarWChar);
  EXPECT_EQ(f[24].DataType, TAdoDataType::adLongVarChar);
  EXPECT_EQ(f[25].DataType, TAdoDataType::adLongVarWChar);
  EXPECT_EQ(f[26].DataType, TAdoDataType::adBinary);
  EXPECT_EQ(f[27].DataType, TAdoDataType::adVarBinary);
  EXPECT_EQ(f[28].DataType, TAdoDataType::adLongVarBinary);
  EXPECT_EQ(f[29].DataType, TAdoDataType::adNumeric);
  EXPECT_EQ(f[29].Precision, 18);
  EXPECT_EQ(f[29].Scale, 4);
  EXPECT_EQ(f[30].DataType, TAdoDataType::adDecimal);

  EXPECT_EQ(data.Rows.size(), 5u);
  EXPECT_EQ(CountStatus(data, TRowStatus::rsModified), 1);
  EXPECT_EQ(CountStatus(data, TRowStatus::rsNew), 1);
  EXPECT_EQ(CountStatus(data, TRowStatus::rsDeleted), 1);
  EXPECT_EQ(CountStatus(data, TRowStatus::rsUnmodified), 2);

  const TRecordsetRow& updated = RowWithId(data, 1);
  ASSERT_EQ(updated.Status, TRowStatus::rsModified);
  EXPECT_EQ(updated.Original[9], TVariant(1.125));
  EXPECT_TRUE(updated.Values[9].IsNull());  // rs:forcenull='ALL_09_Single'
  EXPECT_TRUE(updated.Modified[9]);
  EXPECT_EQ(updated.Values[1], TVariant(2));
  EXPECT_FALSE(updated.Modified[2]);
  EXPECT_EQ(updated.Values[11], TVariant::FromCurrency(10011234));
  EXPECT_EQ(updated.Values[13], TVariant::FromDateTime(Date(2001, 3, 3, 2, 3, 7)));

  const TRecordsetRow& inserted = RowWithId(data, 5);
  EXPECT_EQ(inserted.Status, TRowStatus::rsNew);
  EXPECT_EQ(inserted.Values[9], TVariant(static_cast<double>(5.325f)));
  EXPECT_EQ(inserted.Values[10], TVariant(5.325));
  EXPECT_TRUE(inserted.Values[4].IsNull());
  EXPECT_EQ(inserted.Values[18], TVariant("{00000000-0000-0000-0000-000000005002}"));
  EXPECT_EQ(inserted.Values[20], TVariant("r5p2        "));

  const TRecordsetRow& current = RowWithId(data, 3);
  EXPECT_EQ(current.Values[12], TVariant(false));
  EXPECT_EQ(current.Values[14], TVariant::FromDateTime(Date(2003, 4, 4)));
  EXPECT_EQ(current.Values[15].AsDateTime(), Date(1899, 12, 30, 3, 9, 0));
  EXPECT_EQ(current.Values[26], TVariant(TBytes{0x03, 0x00, 0xde, 0xad, 0, 0, 0, 0}));
  EXPECT_EQ(current.Values[29], TVariant::FromCurrency(30001234));
  EXPECT_EQ(current.Values[22].AsString(), "r3_p0_\xED\x95\x9C\xEA\xB8\x80_<&'>");
}

TEST(AdoXmlSamples, ExtremeCurrencyAndDecimalValuesAreExact) {
  const TRecordsetData currency = ReadAdoXml(ReadSample("pending-changes-currency.xml"));
  EXPECT_EQ(RowWithId(currency, 1).Original[1],
            TVariant::FromCurrency(std::numeric_limits<int64_t>::min()));
  EXPECT_EQ(RowWithId(currency, 4).Values[1],
            TVariant::FromCurrency(std::numeric_limits<int64_t>::max()));
  const TRecordsetData decimal = ReadAdoXml(ReadSample("pending-changes-decimal.xml"));
  EXPECT_EQ(RowWithId(decimal, 1).Values[1], TVariant::FromCurrency(12345));
  EXPECT_EQ(RowWithId(decimal, 2).Status, TRowStatus::rsDeleted);
}

TEST(AdoXmlSamples, RawTabsAndLineBreaksInTextAreKept) {
  const TRecordsetData data = ReadAdoXml(ReadSample("pending-changes-text-escapes-controls.xml"));
  const TRecordsetRow& inserted = RowWithId(data, 4);
  EXPECT_EQ(inserted.Values[1].AsString(), "row=4|phase=2|\"dq\"|'sq'|<&>|tab\tcrlf\r\nend");
  EXPECT_NE(inserted.Values[3].AsString().find("|part=18\r\n"), std::string::npos);
  const TRecordsetRow& all_null = RowWithId(data, 3);
  EXPECT_TRUE(all_null.Values[1].IsNull());
  EXPECT_TRUE(all_null.Values[3].IsNull());
}

TEST(AdoXmlSamples, WrappedBinaryValuesAndRsNameColumnsRead) {
  const TRecordsetData wide =
      ReadAdoXml(ReadSample("pending-changes-wide-16-types-wrapped-binhex.xml"));
  EXPECT_EQ(RowWithId(wide, 3).Values[7], TVariant(TBytes{0x03, 0x00, 0xde, 0xad, 0, 0, 0, 0}));
  EXPECT_EQ(RowWithId(wide, 5).Values[7], TVariant(TBytes{0x05, 0x02, 0xde, 0xad, 0, 0, 0, 0}));
  EXPECT_EQ(RowWithId(wide, 1).Values[1], TVariant(int64_t{101}));

  const TRecordsetData named = ReadAdoXml(ReadSample("pending-changes-mixed-rsname.xml"));
  EXPECT_EQ(named.Schema.Fields[1].Name, "Field Space 1 VarWChar");
  EXPECT_EQ(named.Schema.Fields[1].XmlName, "c1");
  EXPECT_EQ(named.FieldIndex("field space 1 varwchar"), 1);
  EXPECT_EQ(named.Rows.size(), 7u);
  EXPECT_TRUE(RowWithId(named, 1).Modified[0]);  // the key assigned again
}

TEST(AdoXmlSamples, ShapedDocumentsLoadTheirTopRowsAndKeyColumns) {
  TRecordset rs;
  rs.OpenFromFile(SamplePath("shape-sqlserver-customers-orders-keycolumn-hidden.xml"));
  EXPECT_EQ(rs.RecordCount(), 3);
  ASSERT_EQ(rs.FieldCount(), 2);
  EXPECT_EQ(rs.Field(0).Property("KEYCOLUMN"), TVariant(true));
  EXPECT_EQ(rs.Field(1).Property("keycolumn"), TVariant(false));
  EXPECT_EQ(rs.Field(0).Property("BASETABLENAME"), TVariant("SalesCustomers"));
  EXPECT_EQ(rs.Value("CustomerName").AsString(), "\xEA\xB3\xA0\xEA\xB0\x9D 1 / Customer 1");
  EXPECT_NE(rs.Data().Rows[0]->Opaque.find("OrderId='100049'"), std::string::npos);

  rs.OpenFromFile(SamplePath("shape-sqlserver-rowversion-autoincrement.xml"));
  EXPECT_TRUE(rs.Field(0).RowVersion);
  EXPECT_TRUE(rs.Field(1).AutoIncrement);
  EXPECT_EQ(rs.Field(1).Property("ISAUTOINCREMENT"), TVariant(true));
  EXPECT_EQ(rs.Value(0), TVariant(TBytes{0, 0, 0, 0, 0, 0, 0x07, 0xd1}));
  EXPECT_EQ(rs.Schema().RowAttributes[0],
            (std::pair<std::string, std::string>("rs:CommandTimeout", "120")));
}

TEST(AdoXmlSamples, DocumentModelPathReadsTheSameRows) {
  // Text inside rs:data sends the document through the tree reader; a comment or a byte order
  // mark does not change what is read.
  for (const char* name : kSamples) {
    SCOPED_TRACE(name);
    const std::string original = ReadSample(name);
    std::string commented = original;
    commented.insert(commented.find("<rs:data>") + 9, "<!-- a comment -->");
    std::string with_text = original;
    with_text.insert(with_text.find("</rs:data>"), "\t");
    const TRecordsetData direct = ReadAdoXml(original);
    EXPECT_TRUE(adoxml::ReadAdoXmlTree(original).SameContent(direct));
    EXPECT_TRUE(ReadAdoXml(commented).SameContent(direct));
    EXPECT_TRUE(ReadAdoXml(with_text).SameContent(direct));
    const std::string utf8_bom = "\xEF\xBB\xBF" + original;
    EXPECT_TRUE(ReadAdoXml(utf8_bom).SameContent(direct));
  }
}

TEST(AdoXmlSamples, WhiteSpaceInsideValuesIsDroppedExceptInText) {
  TRecordset rs;
  rs.CreateFields({TRecordsetField::Make("N", TAdoDataType::adInteger),
                   TRecordsetField::Make("M", TAdoDataType::adCurrency),
                   TRecordsetField::Make("W", TAdoDataType::adDBTimeStamp),
                   TRecordsetField::Make("B", TAdoDataType::adVarBinary, 64),
                   TRecordsetField::Make("T", TAdoDataType::adVarWChar, 64)});
  rs.AppendRow({TVariant(1234), TVariant::FromCurrency(15000), TVariant::FromDateTime(45000.5),
                TVariant(TBytes(24, 0xab)), TVariant("a b")});
  std::string text = rs.SaveToString();
  auto wrap = [&](const std::string& from, const std::string& to) {
    const size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    text.replace(at, from.size(), to);
  };
  wrap("N='1234'", "N=' 12\r\n\t34 '");
  wrap("M='1.5'", "M='1.5\t'");
  wrap("W='2023-03-15T12:00:00'", "W='2023-03-15T12:00:00\r\n'");
  wrap("B='abababab", "B='abab\r\n\t abab");
  const TRecordsetData direct = ReadAdoXml(text);
  ASSERT_EQ(direct.Rows.size(), 1u);
  EXPECT_EQ(direct.Rows[0]->Values[0], TVariant(1234));
  EXPECT_EQ(direct.Rows[0]->Values[1], TVariant::FromCurrency(15000));
  EXPECT_EQ(direct.Rows[0]->Values[2], TVariant::FromDateTime(45000.5));
  EXPECT_EQ(direct.Rows[0]->Values[3], TVariant(TBytes(24, 0xab)));
  EXPECT_EQ(direct.Rows[0]->Values[4], TVariant("a b"));
  std::string tree_text = text;
  tree_text.insert(tree_text.find("</rs:data>"), "\t");
  EXPECT_TRUE(ReadAdoXml(tree_text).SameContent(direct));
}

TEST(AdoXmlSamples, RowsMayNameColumnsInAnyOrder) {
  TRecordset rs;
  rs.CreateFields({TRecordsetField::Make("A", TAdoDataType::adInteger),
                   TRecordsetField::Make("AB", TAdoDataType::adInteger),
                   TRecordsetField::Make("C", TAdoDataType::adVarWChar, 8)});
  std::string text = rs.SaveToString();
  text.insert(text.find("</rs:data>"),
              "<z:row C='c' AB='2' A='1'/><z:row AB='3'/><z:row A='4' C='d'/>"
              "<z:row AB\r\n='5' A = '6'/>");
  const TRecordsetData data = ReadAdoXml(text);
  ASSERT_EQ(data.Rows.size(), 4u);
  EXPECT_EQ(data.Rows[0]->Values, (std::vector<TVariant>{TVariant(1), TVariant(2), TVariant("c")}));
  EXPECT_EQ(data.Rows[1]->Values,
            (std::vector<TVariant>{TVariant::Null(), TVariant(3), TVariant::Null()}));
  EXPECT_EQ(data.Rows[2]->Values,
            (std::vector<TVariant>{TVariant(4), TVariant::Null(), TVariant("d")}));
  EXPECT_EQ(data.Rows[3]->Values,
            (std::vector<TVariant>{TVariant(6), TVariant(5), TVariant::Null()}));
  std::string bad = text;
  bad.insert(bad.find("</rs:data>"), "<z:row A='7' ABC='8'/>");
  EXPECT_THROW(ReadAdoXml(bad), EMalformedData);
}

// --- Round trips and the delta format ---------------------------------------------------------

std::vector<TRecordsetField> EveryTypeFields() {
  using T = TAdoDataType;
  std::vector<TRecordsetField> fields = {
      TRecordsetField::Make("ID", T::adInteger),
      TRecordsetField::Make("I1", T::adTinyInt),
      TRecordsetField::Make("UI1", T::adUnsignedTinyInt),
      TRecordsetField::Make("I2", T::adSmallInt),
      TRecordsetField::Make("UI2", T::adUnsignedSmallInt),
      TRecordsetField::Make("UI4", T::adUnsignedInt),
      TRecordsetField::Make("I8", T::adBigInt),
      TRecordsetField::Make("UI8", T::adUnsignedBigInt),
      TRecordsetField::Make("R4", T::adSingle),
      TRecordsetField::Make("R8", T::adDouble),
      TRecordsetField::Make("Money", T::adCurrency),
      TRecordsetField::Make("Dec", T::adDecimal, 0, 28, 8),
      TRecordsetField::Make("Flag", T::adBoolean),
      TRecordsetField::Make("When", T::adDBTimeStamp),
      TRecordsetField::Make("Day", T::adDBDate),
      TRecordsetField::Make("Clock", T::adDBTime),
      TRecordsetField::Make("Guid", T::adGUID),
      TRecordsetField::Make("Code", T::adChar, 6),
      TRecordsetField::Make("Text", T::adVarWChar, 200),
      TRecordsetField::Make("Memo", T::adLongVarWChar, 100000),
      TRecordsetField::Make("Blob", T::adVarBinary, 64),
      TRecordsetField::Make("Name With Space", T::adVarChar, 20),
  };
  fields[0].KeyColumn = true;
  fields[0].Nullable = false;
  return fields;
}

std::vector<TVariant> EveryTypeRow(int id) {
  return {TVariant(id),
          TVariant(-128),
          TVariant(255),
          TVariant(-32768),
          TVariant(65535),
          TVariant(int64_t{4294967295LL}),
          TVariant(std::numeric_limits<int64_t>::min()),
          TVariant("18446744073709551615"),
          TVariant(0.1),
          TVariant(1.0 / 3),
          TVariant::FromCurrency(-12345678),
          TVariant("-12345678901234567890.12345678"),
          TVariant(true),
          TVariant::FromDateTime(Date(2026, 2, 28, 23, 59, 58) + 0.5 / 86400),
          TVariant::FromDateTime(Date(1700, 1, 1)),
          TVariant::FromDateTime(Date(1899, 12, 30, 13, 14, 15)),
          TVariant("{0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9}"),
          TVariant("ab"),
          TVariant("tab\there \"quoted\" 'single' <tag> & \xE2\x82\xAC\r\nnext\x01"),
          TVariant(std::string(5000, 'x')),
          TVariant(TBytes{0, 1, 0xfe, 0xff}),
          TVariant("n")};
}

TEST(AdoXmlRoundTrip, EveryTypeWithPendingChangesOpensUnchanged) {
  TRecordset rs;
  rs.CreateFields(EveryTypeFields());
  rs.AppendRow(EveryTypeRow(1));
  rs.AppendRow(EveryTypeRow(2));
  rs.AppendRow(EveryTypeRow(3));
  rs.AppendRow(std::vector<TVariant>{TVariant(4)});  // all other columns Null
  rs.MoveFirst();
  rs.SetValue("Text", TVariant("changed"));
  rs.SetValue("Flag", TVariant());
  rs.Update();
  rs.MoveNext();
  rs.Delete();
  rs.AddNew();
  for (int i = 0; i < rs.FieldCount(); ++i) rs.SetValue(i, EveryTypeRow(5)[i]);
  rs.SetValue("Memo", TVariant());
  rs.Update();

  const std::string saved = rs.SaveToString();
  TRecordset back;
  back.OpenFromString(saved);
  // The deleted row moves to the end (its block comes last); all else is as it was.
  ASSERT_EQ(back.Data().Rows.size(), rs.Data().Rows.size());
  EXPECT_EQ(back.Data().Schema, rs.Data().Schema);
  const auto& ours = rs.Data().Rows;
  const auto& theirs = back.Data().Rows;
  EXPECT_TRUE(theirs[0]->SameContent(*ours[0]));
  EXPECT_TRUE(theirs[1]->SameContent(*ours[2]));
  EXPECT_TRUE(theirs[2]->SameContent(*ours[3]));
  EXPECT_TRUE(theirs[3]->SameContent(*ours[4]));
  EXPECT_TRUE(theirs[4]->SameContent(*ours[1]));
  EXPECT_EQ(back.SaveToString(), saved);
  TRecordset third;
  third.OpenFromString(back.SaveToString());
  EXPECT_TRUE(third.Data().SameContent(back.Data()));
  EXPECT_EQ(back.PendingCount(), 3);
  EXPECT_EQ(theirs[0]->Status, TRowStatus::rsModified);
  EXPECT_EQ(theirs[3]->Status, TRowStatus::rsNew);
  EXPECT_EQ(theirs[4]->Status, TRowStatus::rsDeleted);
  // Values kept their exact forms.
  ASSERT_TRUE(back.Locate({"ID"}, {TVariant(3)}));
  EXPECT_EQ(back.Value("UI8"), TVariant("18446744073709551615"));
  EXPECT_EQ(back.Value("Dec"), TVariant("-12345678901234567890.12345678"));
  EXPECT_EQ(back.Value("R8"), TVariant(1.0 / 3));
  EXPECT_EQ(back.Value("R4"), TVariant(static_cast<double>(0.1f)));
  EXPECT_EQ(back.Value("Guid"), TVariant("{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}"));
  EXPECT_EQ(back.Value("Code"), TVariant("ab    "));
  EXPECT_EQ(back.Value("Name With Space"), TVariant("n"));
  EXPECT_NE(saved.find("name='c21' rs:name='Name With Space'"), std::string::npos);
  EXPECT_NE(saved.find("When='2026-02-28T23:59:58.5'"), std::string::npos);
  EXPECT_NE(saved.find("Day='1700-01-01'"), std::string::npos);
  EXPECT_NE(saved.find("Clock='13:14:15'"), std::string::npos);
  EXPECT_NE(saved.find("Flag='True'"), std::string::npos);
  EXPECT_NE(saved.find("Blob='0001feff'"), std::string::npos);
  EXPECT_NE(saved.find("R8='0.33333333333333331'"), std::string::npos);
}

// A column of UTC instants carries its mark through both readers and the writer, while its
// values are written as any date-time's, so that a reader that does not know the mark reads
// the same rows.
TEST(AdoXmlRoundTrip, UtcColumnKeepsItsMarkAndItsValuesText) {
  const auto save = [](bool utc) {
    TRecordsetField at = TRecordsetField::Make("At", TAdoDataType::adDBTimeStamp);
    if (utc) MarkUtcColumn(at);
    TRecordset rs;
    rs.CreateFields({TRecordsetField::Make("Id", TAdoDataType::adInteger), at});
    rs.AppendRow({TVariant(1), TVariant::FromDateTime(Date(2026, 6, 1, 10, 34, 56))});
    return rs.SaveToString();
  };
  const std::string marked = save(true), unmarked = save(false);
  EXPECT_EQ(marked.substr(marked.find("<rs:data>")), unmarked.substr(unmarked.find("<rs:data>")));

  for (const bool tree : {false, true}) {
    const TRecordsetData back = tree ? adoxml::ReadAdoXmlTree(marked) : ReadAdoXml(marked);
    EXPECT_FALSE(IsUtcColumn(back.Schema.Fields[0]));
    EXPECT_TRUE(IsUtcColumn(back.Schema.Fields[1]));
    ASSERT_EQ(back.Rows.size(), 1u);
    EXPECT_TRUE(back.Rows[0]->SameContent(*ReadAdoXml(unmarked).Rows[0]));
    EXPECT_EQ(WriteAdoXml(back), marked);
  }
  EXPECT_FALSE(IsUtcColumn(ReadAdoXml(unmarked).Schema.Fields[1]));
}

TEST(AdoXmlRoundTrip, WritesTextEscapesAsAdoDoes) {
  TRecordset rs;
  rs.CreateFields({TRecordsetField::Make("T", TAdoDataType::adVarWChar, 100)});
  rs.AppendRow({TVariant("\"'<&>\t\r\n\x01")});
  EXPECT_NE(rs.SaveToString().find("T='&#x22;&#x27;&#x3c;&#x26;&#x3e;\t\r\n&#x1;'"),
            std::string::npos);
}

class AdoXmlDelta : public ::testing::Test {
 protected:
  void SetUp() override {
    rs.CreateFields({TRecordsetField::Make("ID", TAdoDataType::adInteger),
                     TRecordsetField::Make("Name", TAdoDataType::adVarWChar, 40),
                     TRecordsetField::Make("Qty", TAdoDataType::adInteger)});
    for (int i = 1; i <= 3; ++i)
      rs.AppendRow({TVariant(i), TVariant("n" + std::to_string(i)), TVariant(i * 10)});
    rs.MoveFirst();
  }
  TRecordset rs;
};

TEST_F(AdoXmlDelta, UpdateWritesOriginalThenOnlyTheChangedColumns) {
  rs.SetValue("Name", TVariant("renamed"));
  rs.SetValue("Qty", TVariant());
  rs.Update();
  const std::string saved = rs.SaveToString();
  EXPECT_NE(saved.find("<rs:data>\r\n\t<rs:update>\r\n\t\t<rs:original>\r\n"
                       "\t\t\t<z:row ID='1' Name='n1' Qty='10'/>\r\n\t\t</rs:original>\r\n"
                       "\t\t<z:row Name='renamed' rs:forcenull='Qty'/>\r\n\t</rs:update>\r\n"
                       "\t<z:row ID='2' Name='n2' Qty='20'/>\r\n"),
            std::string::npos)
      << saved;
}

TEST_F(AdoXmlDelta, InsertNamesItsNullColumnsAndDeleteComesLast) {
  rs.Delete();  // row 1
  rs.AddNew();
  rs.SetValue("ID", TVariant(9));
  rs.Update();
  const std::string saved = rs.SaveToString();
  EXPECT_NE(saved.find("\t<z:row ID='3' Name='n3' Qty='30'/>\r\n"
                       "\t<rs:insert>\r\n\t\t<z:row ID='9' rs:forcenull='Name Qty'/>\r\n"
                       "\t</rs:insert>\r\n"
                       "\t<rs:delete>\r\n\t\t<z:row ID='1' Name='n1' Qty='10'/>\r\n"
                       "\t</rs:delete>\r\n</rs:data>\r\n</xml>"),
            std::string::npos)
      << saved;
  EXPECT_EQ(saved.rfind("</xml>"), saved.size() - 6);
}

TEST_F(AdoXmlDelta, PendingFilterSavesOnlyTheChangeBlocks) {
  rs.SetValue("Qty", TVariant(11));
  rs.Update();
  EXPECT_EQ(rs.SaveToString().find("<z:row ID='2'"), rs.SaveToString().find("<z:row ID='2'"));
  rs.SetFilter(TFilterGroup::fgPendingRecords);
  const std::string delta = rs.SaveToString();
  EXPECT_EQ(delta.find("ID='2'"), std::string::npos);
  EXPECT_NE(delta.find("<rs:update>"), std::string::npos);
  EXPECT_NE(
      delta.find("<s:AttributeType name='Qty' rs:number='3' rs:nullable='true' rs:write='true'>"),
      std::string::npos);
}

TEST_F(AdoXmlDelta, NoChangesGiveAnEmptyDataBlockWhenFiltered) {
  rs.SetFilter(TFilterGroup::fgPendingRecords);
  const std::string delta = rs.SaveToString();
  EXPECT_NE(delta.find("<rs:data>\r\n</rs:data>\r\n</xml>"), std::string::npos);
  TRecordset back;
  back.OpenFromString(delta);
  EXPECT_EQ(back.RecordCount(), 0);
  EXPECT_TRUE(back.Bof() && back.Eof());
}

// --- Bad documents ------------------------------------------------------------------------------

std::string Minimal(const std::string& type, const std::string& rows,
                    const std::string& extra_type_attrs = "") {
  return "<xml xmlns:s='uuid:BDC6E3F0-6DA3-11d1-A2A3-00AA00C14882' "
         "xmlns:dt='uuid:C2F41010-65B3-11d1-A29F-00AA00C14882' "
         "xmlns:rs='urn:schemas-microsoft-com:rowset' xmlns:z='#RowsetSchema'>"
         "<s:Schema id='RowsetSchema'><s:ElementType name='row' content='eltOnly'>"
         "<s:AttributeType name='A' rs:number='1'><s:datatype dt:type='" +
         type + "'" + extra_type_attrs +
         " dt:maxLength='8'/></s:AttributeType><s:extends type='rs:rowbase'/>"
         "</s:ElementType></s:Schema><rs:data>" +
         rows + "</rs:data></xml>";
}

void ExpectMalformed(const std::string& text, const std::string& words) {
  try {
    ReadAdoXml(text);
    ADD_FAILURE() << "no error for: " << text.substr(0, 200);
  } catch (const EMalformedData& e) {
    EXPECT_NE(std::string(e.what()).find(words), std::string::npos) << e.what();
  }
  // The recordset reports the same and stays closed.
  TRecordset rs;
  EXPECT_THROW(rs.OpenFromString(text), EMalformedData);
  EXPECT_FALSE(rs.Active());
}

TEST(AdoXmlMalformed, ReportsWhatIsWrongAndWhere) {
  ExpectMalformed("", "no document element");
  ExpectMalformed("   <!-- nothing -->", "no document element");
  ExpectMalformed("<xml><s:Schema", "not well-formed");
  ExpectMalformed("<xml><rs:data/></xml>", "no s:Schema");
  ExpectMalformed(Minimal("int", "").substr(0, Minimal("int", "").find("<rs:data>")) + "</xml>",
                  "no rs:data");
  ExpectMalformed(Minimal("int32", ""), "unknown type 'int32'");
  ExpectMalformed(Minimal("number", "", " rs:dbtype='money'"), "unknown type 'number'");
  ExpectMalformed(Minimal("int", "<z:row A='12a'/>"),
                  "column 'A' value '12a' is not a valid integer");
  ExpectMalformed(Minimal("i1", "<z:row A='128'/>"), "value '128'");
  ExpectMalformed(Minimal("float", "<z:row A='1e400'/>"), "value '1e400'");
  ExpectMalformed(Minimal("bin.hex", "<z:row A='abc'/>"), "bin.hex");
  ExpectMalformed(Minimal("bin.hex", "<z:row A='zz'/>"), "bin.hex");
  ExpectMalformed(Minimal("dateTime", "<z:row A='2026-02-30T00:00:00'/>"), "dateTime");
  ExpectMalformed(Minimal("boolean", "<z:row A='yes'/>"), "boolean");
  ExpectMalformed(Minimal("uuid", "<z:row A='{1234}'/>"), "uuid");
  ExpectMalformed(Minimal("int", "<z:row B='1'/>"), "attribute 'B' names no column");
  ExpectMalformed(Minimal("int", "<rs:insert><z:row rs:forcenull='A B'/></rs:insert>"),
                  "rs:forcenull names 'B'");
  ExpectMalformed(Minimal("int", "<rs:update><z:row A='1'/></rs:update>"), "without rs:original");
  ExpectMalformed(
      Minimal("int", "<rs:update><rs:original><z:row A='1'/></rs:original></rs:update>"),
      "without its new row");
  ExpectMalformed(Minimal("int", "<row A='1'/>"), "unexpected element");
  ExpectMalformed(Minimal("int", "<z:row A='1'/>").substr(0, 400), "not well-formed");
}

// The fast reader once took documents the tree reader refuses: a raw NUL byte in a value (which
// no document can carry back), and names with characters no XML name holds.
TEST(AdoXmlMalformed, WhatTheTreeRefusesTheFastReaderRefusesToo) {
  std::string nul = Minimal("string",
                            "<z:row A='a\x01"
                            "b'/>");
  nul[nul.find('\x01')] = '\0';
  for (const std::string& text : {nul, Minimal("int", "<z:row A='1'><child b[='x'/></z:row>"),
                                  Minimal("int", "<z:row A='1'><child 1b='x'/></z:row>"),
                                  Minimal("int", "<z:row A='1'><ch(ld b='x'/></z:row>")}) {
    ExpectMalformed(text, "not well-formed");
    std::string buffer = text;
    EXPECT_THROW(ReadAdoXmlInPlace(buffer), EMalformedData);
  }
}

TEST(AdoXmlMalformed, ErrorsNameTheOffsetOfTheRow) {
  const std::string text = Minimal("int", "<z:row A='1'/><z:row A='x'/>");
  try {
    ReadAdoXml(text);
    FAIL();
  } catch (const EMalformedData& e) {
    const std::string expected = "offset " + std::to_string(text.find("<z:row A='x'"));
    EXPECT_NE(std::string(e.what()).find(expected), std::string::npos) << e.what();
  }
}

// Text that needs escaping in every value of a row, with more such values in each row than in
// any row before it: every decoded value must stay its own.
TEST(AdoXmlEscapes, RowsWithGrowingNumbersOfEscapedValuesReadBack) {
  constexpr int kColumns = 24;
  std::vector<TRecordsetField> fields;
  for (int c = 0; c < kColumns; ++c)
    fields.push_back(TRecordsetField::Make("T" + std::to_string(c), TAdoDataType::adVarWChar, 40));
  TRecordset rs;
  rs.CreateFields(fields);
  std::vector<std::vector<TVariant>> rows;
  for (int r = 1; r <= kColumns; ++r) {
    std::vector<TVariant> values;
    for (int c = 0; c < kColumns; ++c)
      values.emplace_back(c < r ? "O'N" + std::to_string(c) + "<&>\""
                                : "plain" + std::to_string(c));
    rs.AppendRow(values);
    rows.push_back(values);
  }
  const TRecordsetData read = ReadAdoXml(rs.SaveToString());
  ASSERT_EQ(read.Rows.size(), rows.size());
  for (size_t r = 0; r < rows.size(); ++r)
    for (int c = 0; c < kColumns; ++c)
      EXPECT_EQ(read.Rows[r]->Values[c], rows[r][c]) << "row " << r << " column " << c;
}

// Generated documents of every kind of row and value, read by the direct scanner and by the
// document model, must give the same values.
TEST(AdoXmlEscapes, DirectAndTreeReadersAgreeOnGeneratedDocuments) {
  std::mt19937 random(20261209);
  const std::string pieces[] = {"a",
                                "'",
                                "\"",
                                "<",
                                ">",
                                "&",
                                "\xC3\xA9",
                                "\xE4\xB8\xAD",
                                " ",
                                "\t",
                                "long text that does not fit in a small string"};
  auto text = [&] {
    std::string t;
    const int n = static_cast<int>(random() % 12);
    for (int i = 0; i < n; ++i) t += pieces[random() % std::size(pieces)];
    return t;
  };
  for (int document = 0; document < 40; ++document) {
    SCOPED_TRACE(document);
    const int columns = 1 + static_cast<int>(random() % 12);
    std::vector<TRecordsetField> fields{TRecordsetField::Make("ID", TAdoDataType::adInteger),
                                        TRecordsetField::Make("R8", TAdoDataType::adDouble)};
    for (int c = 0; c < columns; ++c)
      fields.push_back(
          TRecordsetField::Make("T" + std::to_string(c), TAdoDataType::adVarWChar, 200));
    TRecordset rs;
    rs.CreateFields(fields);
    const int count = 1 + static_cast<int>(random() % 30);
    for (int r = 0; r < count; ++r) {
      std::vector<TVariant> values{TVariant(r), TVariant(r / 7.0)};
      for (int c = 0; c < columns; ++c)
        values.push_back(random() % 5 == 0 ? TVariant::Null() : TVariant(text()));
      rs.AppendRow(values);
    }
    rs.MoveFirst();
    while (!rs.Eof()) {
      const unsigned action = random() % 6;
      if (action == 0) {
        rs.SetValue(2 + static_cast<int>(random() % columns), TVariant(text()));
        rs.Update();
      } else if (action == 1) {
        rs.Delete();
      }
      rs.MoveNext();
    }
    rs.AddNew();
    rs.SetValue(0, TVariant(count));
    rs.SetValue(2, TVariant(text()));
    rs.Update();
    const std::string saved = rs.SaveToString();
    std::optional<TRecordsetData> direct_read = adoxml::ReadAdoXmlDirect(saved);
    ASSERT_TRUE(direct_read.has_value());
    const TRecordsetData& direct = *direct_read;
    const TRecordsetData tree = adoxml::ReadAdoXmlTree(saved);
    ASSERT_EQ(direct.Rows.size(), tree.Rows.size());
    for (size_t r = 0; r < direct.Rows.size(); ++r) {
      const TRecordsetRow& a = *direct.Rows[r];
      const TRecordsetRow& b = *tree.Rows[r];
      EXPECT_EQ(a.Status, b.Status) << "row " << r;
      ASSERT_EQ(a.Values.size(), b.Values.size());
      for (size_t c = 0; c < a.Values.size(); ++c)
        EXPECT_EQ(a.Values[c], b.Values[c]) << "row " << r << " column " << c;
      EXPECT_EQ(a.Original, b.Original) << "row " << r;
    }
    // And both are what was written.
    TRecordset back;
    back.OpenFromString(saved);
    EXPECT_TRUE(back.SaveToString() == saved);
  }
}

TEST(AdoXmlValues, DateTimesKeepMicrosecondsAndWriteAFractionOnlyWhenThereIsOne) {
  const TRecordsetField when = TRecordsetField::Make("W", TAdoDataType::adDBTimeStamp);
  const TRecordsetField clock = TRecordsetField::Make("C", TAdoDataType::adDBTime);
  for (const char* text :
       {"2026-12-31T23:59:59.999999", "1962-02-18T00:00:00", "1962-02-18T00:00:00.000001",
        "2026-02-28T23:59:58.5", "1850-06-01T06:30:00.123456"})
    EXPECT_EQ(AdoXmlValueText(when, ParseAdoXmlValue(when, text)), text);
  EXPECT_EQ(AdoXmlValueText(clock, ParseAdoXmlValue(clock, "13:14:15.5")), "13:14:15.5");
  EXPECT_EQ(AdoXmlValueText(clock, ParseAdoXmlValue(clock, "13:14:15")), "13:14:15");
  // A seventh digit rounds the sixth, but never up to the next second.
  EXPECT_EQ(AdoXmlValueText(when, ParseAdoXmlValue(when, "2000-01-01T10:00:00.1234565")),
            "2000-01-01T10:00:00.123457");
  EXPECT_EQ(AdoXmlValueText(when, ParseAdoXmlValue(when, "2000-01-01T10:00:00.99999999")),
            "2000-01-01T10:00:00.999999");
}

TEST(AdoXmlValues, ParseAndTextAgree) {
  const TRecordsetField money = TRecordsetField::Make("M", TAdoDataType::adCurrency);
  EXPECT_EQ(ParseAdoXmlValue(money, "-922337203685477.5808"),
            TVariant::FromCurrency(std::numeric_limits<int64_t>::min()));
  EXPECT_EQ(AdoXmlValueText(money, TVariant::FromCurrency(15000)), "1.5");
  const TRecordsetField flag = TRecordsetField::Make("F", TAdoDataType::adBoolean);
  EXPECT_EQ(ParseAdoXmlValue(flag, "1"), TVariant(true));
  EXPECT_EQ(AdoXmlValueText(flag, TVariant(false)), "False");
  const TRecordsetField when = TRecordsetField::Make("W", TAdoDataType::adDate);
  const TDateTimeParts parts =
      DecodeDateTime(ParseAdoXmlValue(when, "1999-12-31T23:59:59.250").AsDateTime());
  EXPECT_EQ(parts.second, 59);
  EXPECT_EQ(parts.millisecond, 250);
  EXPECT_EQ(AdoXmlValueText(when, ParseAdoXmlValue(when, "1812-06-24T06:30:00")),
            "1812-06-24T06:30:00");
  const TRecordsetField number = TRecordsetField::Make("N", TAdoDataType::adNumeric, 0, 38, 10);
  EXPECT_EQ(ParseAdoXmlValue(number, "0012.50000"), TVariant::FromCurrency(125000));
  EXPECT_EQ(ParseAdoXmlValue(number, "-0.00000001"), TVariant("-0.00000001"));
  // Past the Currency range a decimal keeps its text; it once wrapped to a negative amount.
  EXPECT_EQ(ParseAdoXmlValue(number, "999999999999999.9999"), TVariant("999999999999999.9999"));
  EXPECT_EQ(ParseAdoXmlValue(number, "-922337203685477.5808"),
            TVariant::FromCurrency(std::numeric_limits<int64_t>::min()));
}

TEST(AdoXmlValues, CurrencyOutsideTheSixtyFourBitRangeIsRefused) {
  const TRecordsetField money = TRecordsetField::Make("M", TAdoDataType::adCurrency);
  EXPECT_EQ(ParseAdoXmlValue(money, "922337203685477.5807"),
            TVariant::FromCurrency(std::numeric_limits<int64_t>::max()));
  for (const char* text :
       {"922337203685477.5808", "-922337203685477.5809", "999999999999999.9999"}) {
    try {
      ParseAdoXmlValue(money, text);
      ADD_FAILURE() << text << " was taken";
    } catch (const EMalformedData& e) {
      EXPECT_NE(std::string(e.what()).find(std::string("'") + text + "' is not a valid"),
                std::string::npos)
          << e.what();
    }
  }
}

}  // namespace
}  // namespace larkspire
