// The remote dataset core: deltas, merged rows, the row-status field, loading rows, the query
// description, lock types, parameters from the text and from a master, the provider interface,
// and how opening and executing fail — against scripted peers.
#include "components/remote_dataset.h"

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <atomic>
#include <chrono>
#include <thread>

#include "components/query.h"
#include "dataset/recordset_delta.h"
#include "platform/wait_window.h"
#include "protocol/param_encoding.h"
#include "support/command_peer.h"
#include "support/dataset_fixtures.h"

namespace larkspire {
namespace {

using test::AnswerRows;
using test::ProductsXml;
using test::ReadDescription;
using test::TCommandPeer;
using testing::MakeProducts;

std::vector<std::string> RowsChildren(const std::string& document) {
  pugi::xml_document doc;
  EXPECT_TRUE(doc.load_string(document.c_str()));
  std::vector<std::string> names;
  for (pugi::xml_node n = doc.document_element().child("rs:data").first_child(); n;
       n = n.next_sibling())
    names.push_back(n.name());
  return names;
}

std::string StreamText(TMemoryStream& stream) {
  return stream.Bytes();
}

// A dataset over four products with pending changes made through the dataset.
class DeltaTest : public ::testing::Test {
 protected:
  DeltaTest() {
    dataset_.SetName("Delta");
    dataset_.SetRecordset(MakeProducts(4));
  }
  void EditRow(int rec_no, const std::string& name) {
    dataset_.SetRecNo(rec_no);
    dataset_.Edit();
    dataset_.FieldByName("ProName").SetAsString(name);
    dataset_.Post();
  }
  void AppendRow(int id) {
    dataset_.Append();
    dataset_.FieldByName("ProId").SetAsInteger(id);
    dataset_.FieldByName("ProName").SetAsString("New " + std::to_string(id));
    dataset_.Post();
  }
  TCustomLarkspireDataSet dataset_;
};

TEST_F(DeltaTest, OrdersDeletionsInsertionsThenUpdates) {
  EditRow(2, "changed");
  AppendRow(10);
  AppendRow(11);
  dataset_.SetRecNo(1);
  dataset_.Delete();
  TMemoryStream delta;
  EXPECT_EQ(dataset_.BuildDelta(delta), "3221");
  const std::string text = StreamText(delta);
  EXPECT_EQ(RowsChildren(text), (std::vector<std::string>{"rs:delete", "rs:insert", "rs:update"}));
  // The delta is a row document the recordset reads back: the changes and nothing else.
  TRecordset back;
  back.OpenFromString(text);
  EXPECT_EQ(back.PendingCount(), 4);
  TRecordset saved;
  saved.OpenFromString(dataset_.Recordset()->SaveToString());
  EXPECT_EQ(back.Schema(), saved.Schema());
}

TEST_F(DeltaTest, CountsEveryUpdatedRow) {
  EditRow(1, "a");
  EditRow(3, "b");
  TMemoryStream delta;
  EXPECT_EQ(dataset_.BuildDelta(delta), "11");
  EXPECT_EQ(RowsChildren(StreamText(delta)), (std::vector<std::string>{"rs:update", "rs:update"}));
}

TEST_F(DeltaTest, WithoutChangesTheRowsElementIsEmpty) {
  TMemoryStream delta;
  EXPECT_EQ(dataset_.BuildDelta(delta), "");
  EXPECT_TRUE(RowsChildren(StreamText(delta)).empty());
  // The dataset's own document is untouched and the DOM is reusable.
  EXPECT_EQ(dataset_.RecordCount(), 4);
  EditRow(1, "later");
  TMemoryStream again;
  EXPECT_EQ(dataset_.BuildDelta(again), "1");
}

TEST_F(DeltaTest, WritesAtTheTargetPosition) {
  TMemoryStream delta;
  delta.WriteBuffer("head", 4);
  dataset_.BuildDelta(delta);
  EXPECT_EQ(StreamText(delta).substr(0, 5), "head<");
}

TEST(CutDeltaDocument, MovesOnlyTheFirstInsertBlock) {
  const std::string document =
      "<xml xmlns:rs='urn:schemas-microsoft-com:rowset' xmlns:z='#RowsetSchema'><rs:data>"
      "<z:row a='1'/>"
      "<rs:insert><z:row a='2'/><z:row a='3'/></rs:insert>"
      "<rs:update><rs:original><z:row a='4'/></rs:original><z:row a='5'/></rs:update>"
      "<rs:insert><z:row a='6'/></rs:insert>"
      "<rs:delete><z:row a='7'/></rs:delete>"
      "<rs:delete><z:row a='8'/></rs:delete>"
      "</rs:data></xml>";
  std::string delta;
  EXPECT_EQ(CutDeltaDocument(document, delta), "3221");
  // The second insert and the second delete stay in place, before the moved blocks.
  EXPECT_EQ(RowsChildren(delta), (std::vector<std::string>{"rs:insert", "rs:delete", "rs:delete",
                                                           "rs:insert", "rs:update"}));
  pugi::xml_document doc;
  doc.load_string(delta.c_str());
  const pugi::xml_node rows = doc.document_element().child("rs:data");
  EXPECT_STREQ(rows.first_child().child("z:row").attribute("a").value(), "6");
  EXPECT_STREQ(rows.last_child().previous_sibling().child("z:row").attribute("a").value(), "2");
}

TEST(CutDeltaDocument, KeepsRawAttributeCharacters) {
  const std::string document =
      "<xml><rs:data><rs:insert><z:row a='x&#x0D;&#x0A;y\tz  w'/></rs:insert></rs:data></xml>";
  std::string delta;
  EXPECT_EQ(CutDeltaDocument(document, delta), "2");
  pugi::xml_document doc;
  doc.load_string(delta.c_str(), pugi::parse_default & ~pugi::parse_wconv_attribute &
                                     ~pugi::parse_wnorm_attribute & ~pugi::parse_eol);
  EXPECT_STREQ(doc.document_element()
                   .child("rs:data")
                   .child("rs:insert")
                   .child("z:row")
                   .attribute("a")
                   .value(),
               "x\r\ny\tz  w");
}

TEST(CutDeltaDocument, RefusesADocumentWithoutRows) {
  std::string delta;
  EXPECT_THROW(CutDeltaDocument("<xml><s:Schema/></xml>", delta), EMalformedData);
  EXPECT_THROW(CutDeltaDocument("not xml", delta), EMalformedData);
}

TEST_F(DeltaTest, MergeKeepsUnchangedRowsAndAppendsTheReturnedOnes) {
  AppendRow(10);
  TMemoryStream delta;
  ASSERT_EQ(dataset_.BuildDelta(delta), "2");
  // The server's answer: the inserted row with the identity it gave it.
  auto returned = MakeProducts(0);
  returned->AppendRow({TVariant(99), TVariant("C99"), TVariant("Server 99"), TVariant(1.25)});
  TMemoryStream reply;
  const std::string text = returned->SaveToString();
  reply.WriteBuffer(text.data(), static_cast<int64_t>(text.size()));
  dataset_.MergeReturnedRows(reply);
  ASSERT_TRUE(dataset_.Active());
  EXPECT_EQ(dataset_.RecordCount(), 5);
  EXPECT_EQ(dataset_.Recordset()->PendingCount(), 0);
  dataset_.Last();
  EXPECT_EQ(dataset_.FieldByName("ProId").AsInteger(), 99);
  EXPECT_EQ(dataset_.FieldByName("ProName").AsString(), "Server 99");
  dataset_.First();
  EXPECT_EQ(dataset_.FieldByName("ProName").AsString(), "Name 1");
}

TEST_F(DeltaTest, MergeOfAReplyThatIsNoRowDocumentRaisesAndKeepsTheRows) {
  TMemoryStream reply;
  reply.WriteBuffer("<html/>", 7);
  EXPECT_THROW(dataset_.MergeReturnedRows(reply), EMalformedData);
  EXPECT_EQ(dataset_.RecordCount(), 4);
}

// A document with every kind of pending change, over every kind of value: Nulls, binary,
// date-times with microseconds, accented and CJK text.
std::string DocumentWithEveryChange() {
  TRecordset rs;
  std::vector<TRecordsetField> fields = {
      TRecordsetField::Make("Id", TAdoDataType::adInteger),
      TRecordsetField::Make("Name", TAdoDataType::adVarWChar, 40),
      TRecordsetField::Make("Code", TAdoDataType::adChar, 6),
      TRecordsetField::Make("Price", TAdoDataType::adCurrency),
      TRecordsetField::Make("Amount", TAdoDataType::adNumeric, 0, 28, 8),
      TRecordsetField::Make("At", TAdoDataType::adDBTimeStamp),
      TRecordsetField::Make("Data", TAdoDataType::adVarBinary, 16),
  };
  fields[0].KeyColumn = true;
  rs.CreateFields(fields);
  const char* names[] = {"Crème brûlée", "中文名称", "a'b\"c<d>&e", "tab\there"};
  for (int i = 1; i <= 12; ++i)
    rs.AppendRow({TVariant(i), i % 5 == 0 ? TVariant::Null() : TVariant(names[i % 4]),
                  TVariant("C" + std::to_string(i)), TVariant::FromCurrency(i * 12345),
                  TVariant("1234567890.12345678"),
                  TVariant::FromDateTime(45000.5 + i / 24.0 + 123456e-6 / 86400),
                  i % 3 == 0 ? TVariant::Null() : TVariant(TBytes{0, uint8_t(i), 0xff})});
  auto edit = [&](int row, int field, const TVariant& value) {
    rs.SetAbsolutePosition(row);
    rs.SetValue(field, value);
    rs.Update();
  };
  edit(2, 1, TVariant("première"));
  edit(2, 1, TVariant("deuxième"));  // an update of an updated row
  edit(2, 6, TVariant(TBytes{1, 2, 3}));
  edit(4, 1, TVariant::Null());
  edit(7, 5, TVariant::FromDateTime(46000.000001));
  rs.SetAbsolutePosition(9);
  rs.Delete();
  for (int id : {100, 101, 102}) {
    rs.AddNew();
    rs.SetValue(0, TVariant(id));
    rs.SetValue(1,
                TVariant(id == 101 ? TVariant::Null() : TVariant("新しい " + std::to_string(id))));
    rs.SetValue(6, TVariant(TBytes{0xde, 0xad}));
    rs.Update();
  }
  rs.MoveLast();
  rs.Delete();  // a deletion of an inserted row
  rs.SetAbsolutePosition(1);
  rs.Delete();
  return rs.SaveToString();
}

void Load(TCustomLarkspireDataSet& dataset, const std::string& text) {
  TMemoryStream stream;
  stream.WriteBuffer(text.data(), static_cast<int64_t>(text.size()));
  ASSERT_EQ(dataset.LoadRecordsetFromStream(stream), "");
}

// The delta written from the pending changes alone is the one cut from the whole document, byte
// for byte; merging returned rows in place gives the rows reloading the whole document gave.
TEST(TCustomLarkspireDataSet, DeltaAndMergeFromTheChangesMatchTheWholeDocumentPath) {
  const std::string document = DocumentWithEveryChange();
  TCustomLarkspireDataSet ours, old;
  Load(ours, document);
  Load(old, document);
  TMemoryStream ours_delta;
  const std::string kinds = ours.BuildDelta(ours_delta);
  EXPECT_EQ(kinds, "3322111");
  std::string old_delta;
  EXPECT_EQ(WriteRecordsetDeltaFromEveryRow(*old.Recordset(), old_delta), kinds);
  EXPECT_EQ(StreamText(ours_delta), old_delta);

  // Replies: the inserted rows as plain rows with server values, an insertion block, a row the
  // schema cannot read (the merge raises and, as the reload, keeps the rows), and no rows.
  TRecordset returned;
  returned.OpenFromString(document);
  returned.SetFilter(TFilterGroup::fgPendingRecords);
  std::vector<std::string> replies;
  TRecordset plain;
  plain.CreateFields(returned.Fields());
  plain.AppendRow({TVariant(100), TVariant("新しい 100"), TVariant("S"), TVariant::FromCurrency(1),
                   TVariant::Null(), TVariant::FromDateTime(45001.25 + 7e-6 / 86400),
                   TVariant(TBytes{9})});
  plain.AppendRow({TVariant(101), TVariant::Null(), TVariant::Null(), TVariant::Null(),
                   TVariant("0.00000001"), TVariant::Null(), TVariant::Null()});
  replies.push_back(plain.SaveToString());
  replies.push_back(returned.SaveToString());
  std::string bad = plain.SaveToString();
  bad.replace(bad.find("Id='100'"), 8, "Id='x'");
  replies.push_back(bad);
  TRecordset none;
  none.CreateFields(returned.Fields());
  replies.push_back(none.SaveToString());
  for (size_t r = 0; r < replies.size(); ++r) {
    SCOPED_TRACE(r);
    TCustomLarkspireDataSet merged, reloaded;
    Load(merged, document);
    Load(reloaded, document);
    TMemoryStream a, b;
    a.WriteBuffer(replies[r].data(), static_cast<int64_t>(replies[r].size()));
    if (r == 2)
      EXPECT_THROW(merged.MergeReturnedRows(a), EMalformedData);
    else
      merged.MergeReturnedRows(a);
    const std::string whole = MergeReturnedRowsByReloading(*reloaded.Recordset(), replies[r]);
    b.WriteBuffer(whole.data(), static_cast<int64_t>(whole.size()));
    EXPECT_EQ(reloaded.LoadRecordsetFromStream(b).empty(), r != 2);
    EXPECT_TRUE(merged.Recordset()->Data().SameContent(reloaded.Recordset()->Data()));
    EXPECT_EQ(merged.Recordset()->SaveToString(), reloaded.Recordset()->SaveToString());
    EXPECT_EQ(merged.RecordCount(), reloaded.RecordCount());
  }
}

TEST(TCustomLarkspireDataSet, LoadReturnsTheErrorTextInsteadOfRaising) {
  TCustomLarkspireDataSet dataset;
  TMemoryStream stream;
  stream.WriteBuffer("<xml><nope/></xml>", 18);
  const std::string error = dataset.LoadRecordsetFromStream(stream);
  EXPECT_FALSE(error.empty());
  EXPECT_NE(error.find("s:Schema"), std::string::npos) << error;
  EXPECT_FALSE(dataset.Active());

  const std::string rows = ProductsXml(3);
  TMemoryStream good;
  good.WriteBuffer(rows.data(), static_cast<int64_t>(rows.size()));
  good.SetPosition(7);  // read from the start whatever the position
  EXPECT_EQ(dataset.LoadRecordsetFromStream(good), "");
  EXPECT_TRUE(dataset.Active());
  EXPECT_EQ(dataset.RecordCount(), 3);
  EXPECT_EQ(good.Position(), 0);
}

TEST(TCustomLarkspireDataSet, SaveWithoutRecordsetReportsFalseAndLeavesTheStream) {
  TCustomLarkspireDataSet dataset;
  TMemoryStream stream;
  stream.WriteBuffer("keep", 4);
  EXPECT_FALSE(dataset.SaveRecordsetToStream(stream));
  EXPECT_EQ(stream.Bytes(), "keep");
  dataset.SetRecordset(MakeProducts(2));
  std::string long_text(100000, 'x');
  stream.WriteBuffer(long_text.data(), static_cast<int64_t>(long_text.size()));
  EXPECT_TRUE(dataset.SaveRecordsetToStream(stream));
  EXPECT_EQ(stream.Position(), 0);
  EXPECT_EQ(stream.Bytes(), dataset.Recordset()->SaveToString());  // cut after the save
}

// --- Against a peer ----------------------------------------------------------------------------

class RemoteTest : public ::testing::Test {
 protected:
  RemoteTest() {
    connection_.SetName("Conn");
    query_.SetName("Q1");
    query_.SetConnection(&connection_);
  }
  void Serve(TCommandPeer& peer) { connection_.SetRemotePort(peer.Port()); }

  TLarkspireConnection connection_;
  TLarkspireQuery query_;
};

TEST_F(RemoteTest, RowStatusFieldIsLastReadsZeroAndKeepsWrittenValues) {
  TCommandPeer peer(
      [](const TRemoteCommand&, TRemoteCommand& r) { AnswerRows(r, ProductsXml(3)); });
  Serve(peer);
  query_.SQL().SetText("select * from products");
  query_.Open();
  EXPECT_EQ(query_.FindField(kRowStatusFieldName), nullptr);
  query_.Close();

  query_.SetEnableStatusField(true);
  query_.Open();
  ASSERT_EQ(query_.FieldCount(), 5);
  TField& status = query_.Fields(4);
  EXPECT_EQ(status.FieldName(), "@LocalRowStatus");
  EXPECT_EQ(status.DataType(), ftInteger);
  EXPECT_EQ(query_.FieldDefs()[4].Size, 10);
  for (int i = 1; i <= 3; ++i) {
    query_.SetRecNo(i);
    EXPECT_EQ(status.Value(), TVariant(0));
  }
  query_.SetRecNo(2);
  status.SetAsInteger(7);  // in browse state: no edit, no pending change
  EXPECT_EQ(query_.State(), dsBrowse);
  EXPECT_EQ(query_.Recordset()->PendingCount(), 0);
  query_.Last();
  status.SetAsInteger(9);
  EXPECT_EQ(query_.RowStatus(), (std::vector<int32_t>{0, 7, 9}));
  query_.SetRecNo(2);
  EXPECT_EQ(status.AsInteger(), 7);
  EXPECT_EQ(query_.RecordValue(3, status), TVariant(9));
  // A row being inserted has no entry: reading gives Null and writing is ignored.
  query_.Append();
  EXPECT_TRUE(status.IsNull());
  status.SetAsInteger(5);
  EXPECT_TRUE(status.IsNull());
  query_.Cancel();
  EXPECT_EQ(query_.RowStatus(), (std::vector<int32_t>{0, 7, 9}));
  // A new open fetches again and zeroes the entries.
  query_.Refresh();
  EXPECT_EQ(query_.RowStatus(), (std::vector<int32_t>{0, 0, 0}));
}

TEST_F(RemoteTest, RowStatusOfARowAddedAfterTheOpenStaysOutsideTheArray) {
  TCommandPeer peer(
      [](const TRemoteCommand&, TRemoteCommand& r) { AnswerRows(r, ProductsXml(1)); });
  Serve(peer);
  query_.SetEnableStatusField(true);
  query_.SetLockType(ltBatchOptimistic);
  query_.SQL().SetText("select * from products");
  query_.Open();
  query_.Append();
  query_.FieldByName("ProId").SetAsInteger(5);
  query_.Post();
  query_.Last();
  TField& status = query_.FieldByName(kRowStatusFieldName);
  EXPECT_TRUE(status.IsNull());
  status.SetAsInteger(3);
  EXPECT_EQ(query_.RowStatus(), (std::vector<int32_t>{0}));
}

TEST_F(RemoteTest, NewQueryDescriptionIs66Bytes) {
  TCommandPeer peer(
      [](const TRemoteCommand&, TRemoteCommand& r) { AnswerRows(r, ProductsXml(1)); });
  Serve(peer);
  query_.SQL().SetText("select * from products order by ProId desc");
  query_.Open();
  ASSERT_EQ(peer.Count(), 1u);
  const test::TSeenCommand seen = peer.Seen()[0];
  EXPECT_EQ(seen.Code, cmdOpenQuery);
  EXPECT_EQ(seen.Option, 0);
  const std::string expected = std::string(
                                   "\x01\x02\x04"
                                   "\x01\x00\x00\x00"
                                   "\x00\x00\x00\x00"
                                   "\x01"
                                   "\x1E\x00\x00\x00"
                                   "\x2A\x00\x00\x00",
                                   20) +
                               "select * from products order by ProId desc" + std::string(4, '\0');
  EXPECT_EQ(seen.Data.size(), 66u);
  EXPECT_EQ(seen.Data, expected);
}

TEST_F(RemoteTest, PublishedLockTypeMapsOptimisticToBatch) {
  query_.SQL().SetText("select 1");
  EXPECT_EQ(query_.LockType(), ltOptimistic);
  EXPECT_EQ(query_.FrameworkLockType(), ltBatchOptimistic);
  TMemoryStream stream;
  query_.WriteQueryDescription(stream);
  EXPECT_EQ(stream.Bytes()[2], 4);

  query_.SetLockType(ltReadOnly);
  EXPECT_EQ(query_.LockType(), ltReadOnly);
  EXPECT_EQ(query_.FrameworkLockType(), ltReadOnly);
  TMemoryStream read_only;
  query_.WriteQueryDescription(read_only);
  EXPECT_EQ(read_only.Bytes()[2], 1);

  query_.SetLockType(ltUnspecified);
  query_.SetCursorType(ctUnspecified);
  TMemoryStream unspecified;
  query_.WriteQueryDescription(unspecified);
  EXPECT_EQ(unspecified.Bytes().substr(1, 2), std::string(2, '\0'));
  query_.SetCursorType(ctStatic);
  TMemoryStream stat;
  query_.WriteQueryDescription(stat);
  EXPECT_EQ(stat.Bytes()[1], 4);
}

TEST_F(RemoteTest, DescriptionReadsTheSettingsOfTheAttachedRecordset) {
  TCommandPeer peer(
      [](const TRemoteCommand&, TRemoteCommand& r) { AnswerRows(r, ProductsXml(1)); });
  Serve(peer);
  query_.SQL().SetText("select * from products");
  query_.SetLockType(ltPessimistic);
  query_.Open();
  query_.SetCursorType(ctDynamic);  // the dataset's setting; the open recordset keeps keyset
  TMemoryStream stream;
  query_.WriteQueryDescription(stream);
  EXPECT_EQ(stream.Bytes().substr(1, 2), std::string("\x02\x02", 2));
}

TEST_F(RemoteTest, ReparsingTheSameTextKeepsParameterValues) {
  query_.SQL().SetText("select * from products where ProName like :ProName");
  ASSERT_EQ(query_.Parameters().Count(), 1);
  EXPECT_EQ(query_.Parameters()[0].Name, "ProName");
  EXPECT_EQ(query_.Parameters()[0].Direction, pdInput);
  query_.Parameters()[0].Value = "%ab%";
  query_.SQL().SetText("select * from products where ProName like :ProName");
  ASSERT_EQ(query_.Parameters().Count(), 1);
  EXPECT_EQ(query_.Parameters()[0].Value, TVariant("%ab%"));
  // A new name starts without a value; a name that remains keeps its own.
  query_.SQL().SetText("select * from products where ProCode = :Code or ProName like :proname");
  ASSERT_EQ(query_.Parameters().Count(), 2);
  EXPECT_TRUE(query_.Parameters()[0].Value.IsEmpty());
  EXPECT_EQ(query_.Parameters()[1].Value, TVariant("%ab%"));
  // Without ParamCheck the parameters stay as they were.
  query_.SetParamCheck(false);
  query_.SQL().SetText("select :x");
  EXPECT_EQ(query_.Parameters().Count(), 2);
}

TEST_F(RemoteTest, ParameterOfUnknownTypeTravelsWithTheTypeOfItsValue) {
  TCommandPeer peer(
      [](const TRemoteCommand&, TRemoteCommand& r) { AnswerRows(r, ProductsXml(1)); });
  Serve(peer);
  query_.SQL().SetText("select * from products where ProName like :ProName and ProId > :Id");
  query_.Parameters().ParamByName("ProName").Value = "%ab%";
  query_.Parameters().ParamByName("Id").Value = int32_t{3};
  query_.Open();
  const test::TSeenDescription d = ReadDescription(peer.Seen()[0].Data);
  ASSERT_EQ(d.Parameters.Count(), 2);
  EXPECT_EQ(d.Parameters[0].DataType, ftWideString);
  EXPECT_EQ(d.Parameters[0].Value, TVariant("%ab%"));
  EXPECT_EQ(d.Parameters[1].DataType, ftInteger);
  EXPECT_EQ(d.Parameters[1].Value, TVariant(3));
  EXPECT_EQ(d.Rest, "");
}

// A master over three products and a detail query that follows it.
class MasterDetailTest : public RemoteTest {
 protected:
  MasterDetailTest() {
    master_.SetName("Master");
    master_.SetRecordset(MakeProducts(3));
    source_.SetDataSet(&master_);
  }
  TRecordsetDataSet master_;
  TDataSource source_;
};

TEST_F(MasterDetailTest, ParametersTakeTheMasterFieldsTypeSizeAndValue) {
  TCommandPeer peer(
      [](const TRemoteCommand&, TRemoteCommand& r) { AnswerRows(r, ProductsXml(1)); });
  Serve(peer);
  query_.SQL().SetText(
      "select * from items where ProId = :ProId and Kind = :Kind and N = :ProName");
  query_.Parameters().ParamByName("Kind").Value = "k";
  query_.Parameters().ParamByName("ProName").Direction = pdOutput;  // not an input: not filled
  query_.SetDataSource(&source_);
  master_.SetRecNo(2);
  query_.Open();
  EXPECT_EQ(query_.MasterFields(), "ProId");
  const test::TSeenDescription d = ReadDescription(peer.Seen()[0].Data);
  ASSERT_EQ(d.Parameters.Count(), 3);
  // An auto-increment key travels as an integer, not as a type that carries no value.
  EXPECT_EQ(d.Parameters[0].DataType, ftInteger);
  EXPECT_EQ(d.Parameters[0].Value, TVariant(2));
  EXPECT_EQ(d.Parameters[1].Value, TVariant("k"));
  EXPECT_TRUE(d.Parameters[2].Value.IsEmpty());
  EXPECT_EQ(query_.Parameters()[0].DataType, ftInteger);
}

TEST_F(MasterDetailTest, NoMatchingFieldSetsAnEmptyMasterListAndSendsParametersUnchanged) {
  TCommandPeer peer(
      [](const TRemoteCommand&, TRemoteCommand& r) { AnswerRows(r, ProductsXml(1)); });
  Serve(peer);
  query_.SQL().SetText("select * from items where Other = :Other");
  query_.Parameters()[0].DataType = ftInteger;
  query_.Parameters()[0].Value = int32_t{42};
  query_.SetMasterFields("ProName");
  query_.SetDataSource(&source_);
  query_.Open();
  EXPECT_EQ(query_.MasterFields(), "");
  const test::TSeenDescription d = ReadDescription(peer.Seen()[0].Data);
  ASSERT_EQ(d.Parameters.Count(), 1);
  EXPECT_EQ(d.Parameters[0].DataType, ftInteger);
  EXPECT_EQ(d.Parameters[0].Value, TVariant(42));
}

TEST_F(MasterDetailTest, MovingTheMasterRefetchesADetailWithParameters) {
  TCommandPeer peer(
      [](const TRemoteCommand&, TRemoteCommand& r) { AnswerRows(r, ProductsXml(2)); });
  Serve(peer);
  query_.SQL().SetText("select * from items where ProId = :ProId");
  query_.SetDataSource(&source_);
  query_.Open();
  master_.Next();
  master_.Next();
  ASSERT_EQ(peer.Count(), 3u);
  EXPECT_EQ(ReadDescription(peer.Seen()[1].Data).Parameters[0].Value, TVariant(2));
  EXPECT_EQ(ReadDescription(peer.Seen()[2].Data).Parameters[0].Value, TVariant(3));
  EXPECT_TRUE(query_.Active());
  EXPECT_FALSE(query_.ControlsDisabled());
}

TEST_F(MasterDetailTest, WithoutParametersTheDetailShowsTheMastersRowsAndFollowsItLocally) {
  // Items of products 1, 2, 1 and 3, in that order.
  std::unique_ptr<TRecordset> items = MakeProducts(0);
  items->AppendRow({TVariant(1), TVariant("I1"), TVariant("first of 1"), TVariant(1.0)});
  items->AppendRow({TVariant(2), TVariant("I2"), TVariant("only of 2"), TVariant(2.0)});
  items->AppendRow({TVariant(1), TVariant("I3"), TVariant("second of 1"), TVariant(3.0)});
  items->AppendRow({TVariant(3), TVariant("I4"), TVariant("only of 3"), TVariant(4.0)});
  const std::string document = items->SaveToString();
  TCommandPeer peer([&](const TRemoteCommand&, TRemoteCommand& r) { AnswerRows(r, document); });
  Serve(peer);
  const auto names = [this] {
    std::vector<std::string> shown;
    for (int i = 1; i <= query_.RecordCount(); ++i)
      shown.push_back(query_.RecordValue(i, query_.FieldByName("ProName")).AsString());
    return shown;
  };
  query_.SQL().SetText("select * from items");
  query_.SetMasterFields("ProId");
  query_.SetDataSource(&source_);
  query_.Open();
  EXPECT_EQ(names(), (std::vector<std::string>{"first of 1", "second of 1"}));
  query_.Last();
  master_.Next();
  EXPECT_EQ(names(), std::vector<std::string>{"only of 2"});
  EXPECT_EQ(query_.FieldByName("ProName").AsString(), "only of 2");
  master_.Last();
  EXPECT_EQ(query_.FieldByName("ProName").AsString(), "only of 3");
  EXPECT_EQ(peer.Count(), 1u);
  // Without master fields every row shows again.
  query_.SetMasterFields("");
  EXPECT_EQ(query_.RecordCount(), 4);
  EXPECT_EQ(query_.RecNo(), 1);
}

TEST_F(RemoteTest, ExecuteStatementNumbersQuestionMarksAndBindsByPosition) {
  TCommandPeer peer([](const TRemoteCommand&, TRemoteCommand& r) {
    r.Success = true;
    r.Value = 4;
  });
  Serve(peer);
  TParameters given;
  given.CreateParameter("a", ftString, pdInput, 0, TVariant("x"));
  given.CreateParameter("b", ftInteger, pdInput, 0, TVariant(int32_t{7}));
  IProviderSupport& provider = query_;
  EXPECT_EQ(provider.PSExecuteStatement("update t set s = '?' , n = ? where id = ?", given), 4);
  ASSERT_EQ(peer.Count(), 1u);
  EXPECT_EQ(peer.Seen()[0].Code, cmdExecSQL);
  const test::TSeenDescription d = ReadDescription(peer.Seen()[0].Data);
  EXPECT_EQ(d.Text, "update t set s = ':para1' , n = :para2 where id = :para3");
  // The quoted mark was rewritten too, but is no placeholder: two parameters remain.
  ASSERT_EQ(d.Parameters.Count(), 2);
  EXPECT_EQ(d.Parameters[0].Name, "para2");
  EXPECT_EQ(d.Parameters[0].Value, TVariant("x"));
  EXPECT_EQ(d.Parameters[1].Name, "para3");
  EXPECT_EQ(d.Parameters[1].Value, TVariant(7));
}

TEST_F(RemoteTest, ExecuteStatementWithTwoMarksSendsPara1AndPara2) {
  TCommandPeer peer([](const TRemoteCommand&, TRemoteCommand& r) {
    r.Success = true;
    r.Value = 1;
  });
  Serve(peer);
  TParameters given;
  given.CreateParameter("x", ftString, pdInput, 0, TVariant("A"));
  given.CreateParameter("y", ftString, pdInput, 0, TVariant("B"));
  EXPECT_EQ(query_.PSExecuteStatement("update t set a = ? where b = ?", given), 1);
  const test::TSeenDescription d = ReadDescription(peer.Seen()[0].Data);
  EXPECT_EQ(d.Text, "update t set a = :para1 where b = :para2");
  ASSERT_EQ(d.Parameters.Count(), 2);
  EXPECT_EQ(d.Parameters[0].Name, "para1");
  EXPECT_EQ(d.Parameters[1].Name, "para2");
  EXPECT_EQ(d.Parameters[1].Value, TVariant("B"));
}

TEST_F(RemoteTest, ProviderTransactionsGoThroughTheConnection) {
  TCommandPeer peer([](const TRemoteCommand& q, TRemoteCommand& r) {
    r.Success = true;
    r.Value = q.Code == cmdBeginTrans ? 1 : 0;
  });
  Serve(peer);
  query_.PSStartTransaction();
  EXPECT_TRUE(connection_.InTransaction());
  query_.PSEndTransaction(false);
  const auto seen = peer.Seen();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].Code, cmdBeginTrans);
  EXPECT_EQ(seen[1].Code, cmdRollbackTrans);
  TLarkspireQuery lonely;
  EXPECT_THROW(lonely.PSStartTransaction(), ELarkspireException);
}

TEST_F(RemoteTest, KeyColumnsOfTheSchemaAreFlaggedOnEveryOpen) {
  TCommandPeer peer(
      [](const TRemoteCommand&, TRemoteCommand& r) { AnswerRows(r, ProductsXml(2)); });
  Serve(peer);
  query_.SQL().SetText("select * from products");
  EXPECT_EQ(query_.PSGetKeyFields(), "");  // closed, no rows yet
  query_.Open();
  EXPECT_NE(query_.FieldByName("ProId").ProviderFlags() & pfInKey, 0u);
  EXPECT_EQ(query_.FieldByName("ProName").ProviderFlags() & pfInKey, 0u);
  EXPECT_EQ(query_.GetKeyColumns(), "ProId");
  EXPECT_EQ(query_.PSGetKeyFields(), "ProId");
}

// --- How opening and executing fail -----------------------------------------------------------

TEST(RemoteFailures, MissingConnectionRaises10001WithTwoFullStops) {
  TLarkspireQuery query;
  query.SetName("Q1");
  query.SQL().SetText("select 1");
  try {
    query.Open();
    FAIL() << "no exception";
  } catch (const ELarkspireException& e) {
    EXPECT_EQ(e.ErrorCode(), 10001);
    EXPECT_STREQ(e.what(), "Q1:Missing Connection..");
    EXPECT_EQ(e.ErrorMessage(), "Missing Connection.");
  }
  EXPECT_FALSE(query.Active());
  EXPECT_THROW(query.ExecSQL(), ELarkspireException);
}

TEST_F(RemoteTest, MissingTextNamesTheProperty) {
  try {
    query_.Open();
    FAIL() << "no exception";
  } catch (const ELarkspireLocalError& e) {
    EXPECT_STREQ(e.what(), "Q1: Missing SQL property");
    EXPECT_EQ(e.ErrorMessage(), "Missing SQL property");
  }
  EXPECT_THROW(query_.ExecSQL(), ELarkspireLocalError);
  TCustomLarkspireDataSetEx plain;
  plain.SetName("DS");
  plain.SetConnection(&connection_);
  try {
    plain.Open();
    FAIL() << "no exception";
  } catch (const ELarkspireLocalError& e) {
    EXPECT_STREQ(e.what(), "DS: Missing CommandText property");
  }
}

TEST_F(RemoteTest, BusyConnectionLeavesTheQueryClosedAndSendsNothing) {
  std::atomic<bool> nested_done{false};
  TCommandPeer peer([&](const TRemoteCommand&, TRemoteCommand& r) {
    // Hold the reply until the nested attempts have run.
    for (int i = 0; i < 500 && !nested_done; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    AnswerRows(r, ProductsXml(2));
  });
  Serve(peer);
  TLarkspireQuery nested;
  nested.SetConnection(&connection_);
  nested.SQL().SetText("select * from products");
  int32_t executed = -1;
  bool tried = false;
  auto* window = dynamic_cast<THeadlessWaitWindow*>(&connection_.WaitForm().Backend());
  ASSERT_NE(window, nullptr);
  window->SetMessageHook([&] {
    if (tried) return;
    tried = true;
    nested.Open();
    executed = nested.ExecSQL();
    nested_done = true;
  });
  query_.SetWaitMsg("Loading...");
  query_.SQL().SetText("select * from products");
  query_.Open();
  EXPECT_TRUE(tried);
  EXPECT_FALSE(nested.Active());
  EXPECT_EQ(executed, 0);
  EXPECT_TRUE(query_.Active());
  EXPECT_EQ(query_.RecordCount(), 2);
  EXPECT_EQ(peer.Count(), 1u);
}

TEST_F(RemoteTest, ServerRefusalRaisesWithTheConnectionsCode) {
  TCommandPeer peer([](const TRemoteCommand&, TRemoteCommand& r) {
    r.Success = false;
    r.Value = 1234;
    r.Message = "no such table: nope";
  });
  Serve(peer);
  query_.SQL().SetText("select * from nope");
  try {
    query_.Open();
    FAIL() << "no exception";
  } catch (const ELarkspireException& e) {
    EXPECT_EQ(e.ErrorCode(), 1234);
    EXPECT_STREQ(e.what(), "Q1:no such table: nope");
  }
  EXPECT_FALSE(query_.Active());
  EXPECT_EQ(connection_.Reply().Message, "");  // reset before raising
  connection_.SetErrorMsgType(emtCodeAndMsg);
  try {
    query_.ExecSQL();
    FAIL() << "no exception";
  } catch (const ELarkspireException& e) {
    EXPECT_STREQ(e.what(), "Q1:(1234)no such table: nope.");
  }
  EXPECT_EQ(query_.RowsAffected(), 0);
}

TEST_F(RemoteTest, UnreachableServerRaisesCouldNotConnect) {
  connection_.SetRemotePort(test::FreeLoopbackPort());
  query_.SQL().SetText("select 1");
  try {
    query_.Open();
    FAIL() << "no exception";
  } catch (const ELarkspireException& e) {
    EXPECT_EQ(e.ErrorCode(), kErrCouldNotConnect);
    EXPECT_NE(std::string(e.what()).find("Q1:Could not connect to LarkspireServer"),
              std::string::npos);
  }
  EXPECT_FALSE(query_.Active());
}

TEST_F(RemoteTest, FailedReplyWithoutMessageRaisesNothing) {
  TCommandPeer peer([](const TRemoteCommand&, TRemoteCommand& r) {
    r.Success = false;
    r.Value = 77;
  });
  Serve(peer);
  query_.SQL().SetText("select 1");
  EXPECT_NO_THROW(query_.Open());
  EXPECT_FALSE(query_.Active());
  EXPECT_EQ(query_.ExecSQL(), 0);
  EXPECT_EQ(peer.Count(), 2u);
}

TEST_F(RemoteTest, UndecodableRowsRaiseTheLoadTextUnworded) {
  TCommandPeer peer([](const TRemoteCommand&, TRemoteCommand& r) { AnswerRows(r, "<xml>oops"); });
  Serve(peer);
  connection_.SetErrorMsgType(emtCodeAndMsg);
  query_.SQL().SetText("select 1");
  try {
    query_.Open();
    FAIL() << "no exception";
  } catch (const ELarkspireException& e) {
    EXPECT_EQ(e.ErrorCode(), -1);
    EXPECT_EQ(std::string(e.what()).rfind("Q1:", 0), 0u);
    EXPECT_NE(std::string(e.what()).find("XML"), std::string::npos) << e.what();
    EXPECT_EQ(std::string(e.what()), "Q1:" + e.ErrorMessage());
  }
  EXPECT_FALSE(query_.Active());
}

TEST_F(RemoteTest, ParameterThatCannotBeEncodedSendsNothing) {
  TCommandPeer peer(
      [](const TRemoteCommand&, TRemoteCommand& r) { AnswerRows(r, ProductsXml(1)); });
  Serve(peer);
  query_.SQL().SetText("select * from products where ProId = :Id");
  query_.Parameters()[0].DataType = ftInteger;
  query_.Parameters()[0].Value = "twelve";
  EXPECT_THROW(query_.Open(), ELarkspireLocalError);
  EXPECT_FALSE(query_.Active());
  EXPECT_THROW(query_.ExecSQL(), ELarkspireLocalError);
  EXPECT_EQ(peer.Count(), 0u);
  EXPECT_FALSE(connection_.Busy());
}

TEST_F(RemoteTest, FreeingTheConnectionClearsTheReference) {
  auto connection = std::make_unique<TLarkspireConnection>();
  query_.SetConnection(connection.get());
  connection.reset();
  EXPECT_EQ(query_.Connection(), nullptr);
  query_.SQL().SetText("select 1");
  EXPECT_THROW(query_.Open(), ELarkspireException);
}

}  // namespace
}  // namespace larkspire
