// The reply of command 300 as a pipeline: rows streamed from SQLite and PostgreSQL through the
// XML writer into the igzip payload give, byte for byte, the document the recordset's writer
// makes of the whole rowset (also when a value changes a column's kind midway and the rowset is
// built again), and the encoded reply is read by the client's decoder and by Python's zlib.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "dataset/ado_xml.h"
#include "protocol/remote_command.h"
#include "server/base/server_errors.h"
#include "server/commands/paging.h"
#include "server/rowsets/reply_compression.h"
#include "server/rowsets/rowset_writer.h"
#include "server/sql/backends/postgres/postgres_database.h"
#include "server/sql/backends/sqlite/sqlite_database.h"
#include "support/postgres_cluster.h"

namespace larkspire {
namespace {

namespace fs = std::filesystem;
using server::IDatabase;
using server::TDeflatedPayload;
using server::TRowsetXmlWriter;
using server::TStatementOptions;

std::string TempFolder() {
  std::string pattern = (fs::temp_directory_path() / "larkspire-pipeline-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

// The reply frame body of a streamed query.
void EncodeStreamed(IDatabase& database, const std::string& sql, TMemoryStream& body,
                    uint64_t limit = 0) {
  TDeflatedPayload payload;
  payload.SetLimit(limit);
  TRowsetXmlWriter writer(payload);
  database.StreamQuery(sql, TParameters(), TStatementOptions(), writer);
  TRemoteCommand reply;
  reply.Code = cmdReply;
  reply.Success = true;
  reply.ConnectionName = "demo";
  reply.Message = "ok";
  reply.SetParamsText("params");
  server::EncodeReply(reply, payload, body);
}

// What Python's zlib inflates the body's field block to.
std::string InflateWithPython(TMemoryStream& body, const std::string& folder) {
  const std::string in = folder + "/body.bin", out = folder + "/block.bin";
  std::ofstream(in, std::ios::binary)
      .write(reinterpret_cast<const char*>(body.Memory()), body.Size());
  const std::string command =
      "python3 -c \"import sys, zlib; b = open(sys.argv[1], 'rb').read(); "
      "open(sys.argv[2], 'wb').write(zlib.decompress(b[4:]))\" " +
      in + " " + out;
  if (std::system(command.c_str()) != 0) return "<python3 failed>";
  std::stringstream block;
  block << std::ifstream(out, std::ios::binary).rdbuf();
  return block.str();
}

uint32_t Le32(const std::string& bytes, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(bytes.at(at + i));
  return v;
}

// The Data a client reads from a reply whose Data is the payload.
std::string DecodedData(TDeflatedPayload& payload) {
  TRemoteCommand reply;
  reply.Code = cmdReply;
  reply.Success = true;
  TMemoryStream body;
  server::EncodeReply(reply, payload, body);
  TRemoteCommand decoded;
  decoded.LoadFromStream(body);
  return decoded.GetDataText();
}

class TReplyPipeline : public ::testing::Test {
 protected:
  void SetUp() override { folder_ = TempFolder(); }
  void TearDown() override { fs::remove_all(folder_); }

  // Streams sql and checks the reply against the whole writer's document of OpenQuery's rows,
  // through the client's decoder and through Python's zlib.
  void ExpectSameDocument(IDatabase& database, const std::string& sql) {
    SCOPED_TRACE(sql);
    const std::string expected =
        WriteAdoXml(database.OpenQuery(sql, TParameters(), TStatementOptions()));
    TMemoryStream body;
    EncodeStreamed(database, sql, body);

    TRemoteCommand decoded;
    decoded.LoadFromStream(body);
    EXPECT_TRUE(decoded.Success);
    EXPECT_EQ(decoded.Message, "ok");
    EXPECT_EQ(decoded.ConnectionName, "demo");
    EXPECT_EQ(decoded.Params.Bytes(), "params");
    const std::string data = decoded.GetDataText();
    EXPECT_TRUE(data == expected) << "streamed " << data.size() << " bytes, whole "
                                  << expected.size();

    const std::string block = InflateWithPython(body, folder_);
    ASSERT_GE(block.size(), 14u) << block;
    const uint32_t u = static_cast<uint8_t>(body.Memory()[0]) |
                       static_cast<uint8_t>(body.Memory()[1]) << 8 |
                       static_cast<uint8_t>(body.Memory()[2]) << 16 |
                       static_cast<uint32_t>(body.Memory()[3]) << 24;
    EXPECT_EQ(block.size(), u);
    // Code (4 + 2), an empty Password (4), then Data's length and bytes.
    ASSERT_EQ(Le32(block, 10), expected.size());
    EXPECT_TRUE(block.compare(14, expected.size(), expected) == 0);
  }

  std::string folder_;
};

// Bytes that deflate cannot shrink, at sizes about the compressor's output chunk, come back
// whole from a plain reply and from a streamed one.
TEST(ReplyCompression, IncompressibleDataOfAnySizeComesBackWhole) {
  uint32_t state = 2463534242u;
  for (size_t size : {size_t{0}, size_t{1}, size_t{300}, size_t{65536 * 3 + 7}, size_t{262143},
                      size_t{262144}, size_t{262145}, size_t{1} << 21}) {
    SCOPED_TRACE(size);
    std::string bytes(size, '\0');
    for (char& c : bytes) {
      state ^= state << 13;
      state ^= state >> 17;
      state ^= state << 5;
      c = static_cast<char>(state);
    }
    TRemoteCommand reply;
    reply.Code = cmdReply;
    reply.Success = true;
    reply.SetDataText(bytes);
    TDeflatedPayload none;
    TMemoryStream body;
    server::EncodeReply(reply, none, body);
    TRemoteCommand decoded;
    decoded.LoadFromStream(body);
    EXPECT_TRUE(decoded.GetDataText() == bytes);

    TDeflatedPayload streamed;
    streamed.Activate();
    streamed.Write(bytes.data(), bytes.size());
    EXPECT_TRUE(DecodedData(streamed) == bytes);
  }
}

TEST_F(TReplyPipeline, SQLiteStreamsEveryKindAsTheWholeWriterWritesIt) {
  server::TSQLiteDatabase database(folder_ + "/kinds.db");
  database.ExecuteScript(
      "CREATE TABLE kinds (id INTEGER PRIMARY KEY, small SMALLINT, big BIGINT, r REAL, "
      "price DECIMAL(10,2), cash MONEY, flag BOOLEAN, day DATE, stamp DATETIME, tod TIME, "
      "name VARCHAR(40), note TEXT, data BLOB);"
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 6000) "
      "INSERT INTO kinds SELECT i, i % 300, i * 1000003, i / 7.0, (i % 1000) * 0.25, i * 0.0125, "
      "i % 2, '2026-01-' || printf('%02d', i % 28 + 1), '2026-02-03 04:05:' || printf('%02d', "
      "i % 60) || '.125', '13:14:15', 'name <' || i || '> & \"q\" ''s' || char(1) || char(9), "
      "CASE WHEN i % 3 = 0 THEN NULL ELSE '产品 ' || i END, x'00ff10' FROM n;"
      "CREATE TABLE loose (n INTEGER, big INTEGER);"
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 3000) "
      "INSERT INTO loose SELECT i, i FROM n;"
      "INSERT INTO loose VALUES ('abc', 9000000000);");
  ExpectSameDocument(database, "select * from kinds order by id");
  // An expression column takes the kind of its first value, which comes late here.
  ExpectSameDocument(database,
                     "select id, case when id > 2500 then id * 2 end as later from kinds");
  // A text value and a 64-bit value after the schema was written: built again, whole.
  ExpectSameDocument(database, "select n, big from loose order by rowid");
  ExpectSameDocument(database, "select * from kinds where id < 0");
}

TEST_F(TReplyPipeline, PostgreSQLStreamsEveryKindAsTheWholeWriterWritesIt) {
  test::TPostgresCluster* cluster = test::TPostgresCluster::Instance();
  if (cluster == nullptr) GTEST_SKIP() << test::TPostgresCluster::StartError();
  server::TPostgresDatabase database(cluster->Url(cluster->CreateDatabase("lkpipe")));
  database.ExecuteScript(
      "CREATE TABLE kinds (id integer PRIMARY KEY, small smallint, big bigint, r real, "
      "d double precision, price numeric(10,2), wide numeric, flag boolean, day date, "
      "stamp timestamp, tod time, name varchar(40), note text, data bytea);"
      "INSERT INTO kinds SELECT i, i % 300, i * 1000003::bigint, i / 7.0, i / 3.0, "
      "(i % 1000) * 0.25, i * 1.000001, i % 2 = 0, DATE '2026-01-01' + i, "
      "TIMESTAMP '2026-02-03 04:05:06.125' + i * INTERVAL '1 minute', TIME '13:14:15', "
      "'name <' || i || '> & \"q\" ''s' || chr(9), CASE WHEN i % 3 = 0 THEN NULL ELSE '产品 ' || "
      "i END, '\\x00ff10'::bytea FROM generate_series(1, 6000) AS i;");
  ExpectSameDocument(database, "select * from kinds order by id");
  // A value its type's kind cannot hold, after the schema was written.
  ExpectSameDocument(database,
                     "select id, case when id = 5000 then 'NaN'::numeric else id end as n "
                     "from kinds order by id");
}

TEST_F(TReplyPipeline, ResultPastTheReplyLimitFailsWithoutGrowing) {
  server::TSQLiteDatabase database(folder_ + "/big.db");
  database.ExecuteScript(
      "CREATE TABLE big (id INTEGER PRIMARY KEY, text TEXT);"
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 200000) "
      "INSERT INTO big SELECT i, hex(randomblob(32)) FROM n;");
  TMemoryStream body;
  try {
    EncodeStreamed(database, "select * from big", body, 64 * 1024);
    FAIL() << "the reply of " << body.Size() << " bytes passed the limit";
  } catch (const server::EServerError& e) {
    EXPECT_EQ(e.Code(), kErrResultTooLarge);
    EXPECT_NE(std::string(e.what()).find("--max-reply"), std::string::npos) << e.what();
  }
}

// A stored procedure's rows and a page's rows take the streamed road too: the same document as
// the whole rowset, and the reply's limit stops them.
TEST_F(TReplyPipeline, ProceduresAndPagesStreamWithinTheReplyLimit) {
  auto expect_too_large = [](const std::function<void(TRowsetXmlWriter&)>& write) {
    TDeflatedPayload payload;
    payload.SetLimit(16 * 1024);
    TRowsetXmlWriter writer(payload);
    try {
      write(writer);
      ADD_FAILURE() << "the rows passed the limit";
    } catch (const server::EServerError& e) {
      EXPECT_EQ(e.Code(), kErrResultTooLarge);
    }
  };
  server::TSQLiteDatabase sqlite(folder_ + "/pages.db");
  sqlite.ExecuteScript(
      "CREATE TABLE t (id INTEGER PRIMARY KEY, text TEXT);"
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 20000) "
      "INSERT INTO t SELECT i, hex(randomblob(32)) FROM n;");
  TQueryDescription description;
  description.CommandText = "select a.id, a.text, b.id from t a join t b on b.id = a.id";
  auto page = [&](TRowsetXmlWriter& writer) {
    TMemoryStream paging;
    TPagingRecord record;
    record.PageSize = 20000;
    record.PageIndex = 1;
    WritePagingRecord(record, paging);
    paging.SetPosition(0);
    TRemoteCommand reply;
    server::ServePagedQuery(sqlite, description, description.CommandText, TStatementOptions(),
                            paging, reply, writer);
  };
  expect_too_large(page);
  // A page of two rows keeps the names the query gave its columns.
  TDeflatedPayload payload;
  TRowsetXmlWriter writer(payload);
  description.CommandText += " where a.id < 3";
  page(writer);
  TRecordset rows;
  rows.OpenFromString(DecodedData(payload));
  EXPECT_EQ(rows.RecordCount(), 2);
  ASSERT_EQ(rows.Fields().size(), 3u);
  EXPECT_EQ(rows.Fields()[2].Name, "id");

  test::TPostgresCluster* cluster = test::TPostgresCluster::Instance();
  if (cluster == nullptr) GTEST_SKIP() << test::TPostgresCluster::StartError();
  server::TPostgresDatabase database(cluster->Url(cluster->CreateDatabase("lkprocs")));
  database.ExecuteScript(
      "CREATE FUNCTION lines(upto integer) RETURNS TABLE (n integer, t text) LANGUAGE sql AS "
      "$$ SELECT i, md5(i::text) FROM generate_series(1, upto) AS i $$");
  TParameters parameters;
  parameters.CreateParameter("upto", ftInteger, pdInput, 0, TVariant(5000));
  const std::string expected =
      WriteAdoXml(database.CallProcedure("lines", parameters, TStatementOptions()));
  TDeflatedPayload streamed;
  TRowsetXmlWriter procedure_writer(streamed);
  database.StreamProcedure("lines", parameters, TStatementOptions(), procedure_writer);
  EXPECT_TRUE(DecodedData(streamed) == expected);
  expect_too_large([&](TRowsetXmlWriter& w) {
    database.StreamProcedure("lines", parameters, TStatementOptions(), w);
  });
}

}  // namespace
}  // namespace larkspire
