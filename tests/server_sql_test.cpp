// The server's SQL commands end to end: command 300 (open a query) and 210 (execute) through
// the real server binary, on the SQLite demonstration database and on a PostgreSQL database
// seeded with the same products table; plus the query description and the placeholder
// rewriting on their own.
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "dataset/ado_xml.h"
#include "gtest/gtest.h"
#include "platform/exception.h"
#include "protocol/handshake.h"
#include "protocol/memory_stream.h"
#include "protocol/param_encoding.h"
#include "protocol/query_description.h"
#include "protocol/remote_command.h"
#include "server/base/server_errors.h"
#include "server/sql/backends/postgres/postgres_procedure.h"
#include "server/sql/database.h"
#include "server/sql/sql_parameters.h"
#include "support/backend_server.h"
#include "support/postgres_cluster.h"
#include "support/raw_client.h"
#include "support/server_fixture.h"

namespace larkspire {
namespace {

using test::TPostgresCluster;
using test::TRawClient;
using test::TServerProcess;

using test::BackendName;
using test::TBackend;
using test::TBackendServer;

TBackendServer& ServerFor(TBackend backend) {
  return test::ServerFor(backend, "lksql");
}

struct TReply {
  bool Success = false;
  int32_t Value = 0;
  std::string Message;
  std::string Data;
  TParameters Params;
};

TParameter MakeParameter(const std::string& name, TFieldType type, TVariant value,
                         TParameterDirection direction = pdInput) {
  return TParameter(name, type, direction, 0, std::move(value));
}

class TServerSql : public ::testing::TestWithParam<TBackend> {
 protected:
  void SetUp() override {
    TBackendServer& server = ServerFor(GetParam());
    ASSERT_TRUE(server.Server) << server.Error;
    connection_name_ = server.ConnectionName;
    ASSERT_TRUE(client_.Connect(server.Server->Port()));
    ASSERT_EQ(client_.Handshake("00-1A-2B-3C-4D-5E", "SqlTester").Status, kHandshakeAccepted);
  }

  bool Postgres() const { return GetParam() == TBackend::bkPostgreSQL; }
  // A name of a table of this test alone (both backends share nothing, but tests do).
  std::string TableName(const std::string& stem) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return stem + "_" + std::to_string(std::hash<std::string>()(info->name()) % 100000);
  }

  TReply SendData(uint16_t code, const std::string& data) {
    TRemoteCommand request, reply;
    request.Code = code;
    request.ConnectionName = connection_name_;
    request.SetDataText(data);
    TReply result;
    if (!client_.Execute(request, reply, 20000)) {
      ADD_FAILURE() << "no reply to command " << code;
      return result;
    }
    result.Success = reply.Success;
    result.Value = reply.Value;
    result.Message = reply.Message;
    result.Data = reply.GetDataText();
    if (reply.Params.Size() > 0) reply.ReadParameters(result.Params);
    return result;
  }

  TReply Send(uint16_t code, const TQueryDescription& description) {
    TLarkspireMemoryStream data;
    WriteQueryDescription(description, data);
    return SendData(code, data.Bytes());
  }

  TReply Send(uint16_t code, const std::string& sql, const std::vector<TParameter>& params = {},
              uint8_t command_type = cmdText) {
    TQueryDescription description;
    description.CommandText = sql;
    description.CommandType = command_type;
    for (const TParameter& p : params) {
      description.Parameters.CreateParameter(p.Name, p.DataType, p.Direction, 0, p.Value);
    }
    return Send(code, description);
  }

  // Opens a query that must succeed and returns its rowset.
  TRecordsetData Open(const std::string& sql, const std::vector<TParameter>& params = {}) {
    TReply reply = Send(cmdOpenQuery, sql, params);
    EXPECT_TRUE(reply.Success) << reply.Message;
    if (!reply.Success) return TRecordsetData();
    return ReadAdoXml(reply.Data);
  }

  int32_t Exec(const std::string& sql, const std::vector<TParameter>& params = {}) {
    TReply reply = Send(cmdExecSQL, sql, params);
    EXPECT_TRUE(reply.Success) << sql << ": " << reply.Message;
    return reply.Value;
  }

  TReply Transaction(uint16_t code) { return SendData(code, std::string()); }

  const TRecordsetField& Field(const TRecordsetData& data, const std::string& name) {
    int index = data.FieldIndex(name);
    EXPECT_GE(index, 0) << "no field " << name;
    static TRecordsetField none;
    return index >= 0 ? data.Schema.Fields[index] : none;
  }

  const TVariant& Value(const TRecordsetData& data, size_t row, const std::string& name) {
    static const TVariant missing = TVariant::Null();
    int index = data.FieldIndex(name);
    if (index < 0 || row >= data.Rows.size()) {
      ADD_FAILURE() << "no value " << name << " in row " << row;
      return missing;
    }
    return data.Rows[row]->Values[index];
  }

  TRawClient client_;
  std::string connection_name_;
};

INSTANTIATE_TEST_SUITE_P(Backends, TServerSql,
                         ::testing::Values(TBackend::bkSQLite, TBackend::bkPostgreSQL),
                         BackendName);

// ---- Command 300 ----

TEST_P(TServerSql, BindsNamedParametersInASelect) {
  TRecordsetData rows =
      Open("select ProCode, ProName from products where ProName like :ProName order by ProCode",
           {MakeParameter("ProName", ftString, TVariant("%牛肉干%"))});
  ASSERT_EQ(rows.Rows.size(), 2u);
  EXPECT_EQ(Value(rows, 0, "ProCode"), TVariant("0102002"));
  EXPECT_EQ(Value(rows, 1, "ProCode"), TVariant("01020021"));
  EXPECT_EQ(Value(rows, 1, "ProName"), TVariant("五香牛肉干 250g 家庭装"));

  // A name used twice binds one value; names compare without case.
  rows = Open("select ProCode from products where ProCode = :code or BarCode = :CODE",
              {MakeParameter("Code", ftString, TVariant("6921317500004"))});
  ASSERT_EQ(rows.Rows.size(), 1u);
  EXPECT_EQ(Value(rows, 0, "ProCode"), TVariant("0101001"));

  rows = Open("select count(*) as n from products where ProName like :p",
              {MakeParameter("p", ftString, TVariant("%ab%"))});
  ASSERT_EQ(rows.Rows.size(), 1u);
  EXPECT_EQ(Value(rows, 0, "n").AsInt64(), 0);
}

TEST_P(TServerSql, DescribesKeyAutoIncrementBaseColumnsAndNullability) {
  TRecordsetData rows = Open("select p.*, ProId + 1 as NextId from products p order by ProId");
  ASSERT_EQ(rows.Rows.size(), 45u);
  const TRecordsetField& id = Field(rows, "ProId");
  EXPECT_EQ(id.TypeName, "int");
  EXPECT_TRUE(id.KeyColumn);
  EXPECT_TRUE(id.AutoIncrement);
  EXPECT_EQ(id.BaseTable, "products");
  EXPECT_TRUE(id.BaseColumn == "ProId" || id.BaseColumn == "proid") << id.BaseColumn;
  EXPECT_EQ(id.MaybeNull, std::optional<bool>(false));
  EXPECT_EQ(Value(rows, 0, "ProId"), TVariant(int32_t{1}));

  const TRecordsetField& code = Field(rows, "ProCode");
  EXPECT_EQ(code.TypeName, "string");
  EXPECT_EQ(code.MaxLength, 15);
  EXPECT_FALSE(code.KeyColumn);
  EXPECT_FALSE(code.AutoIncrement);
  EXPECT_EQ(code.MaybeNull, std::optional<bool>(false));
  EXPECT_TRUE(code.WriteUnknown);

  const TRecordsetField& name = Field(rows, "ProName");
  EXPECT_EQ(name.MaxLength, 50);
  EXPECT_TRUE(name.Nullable);
  EXPECT_NE(name.MaybeNull, std::optional<bool>(false));

  const TRecordsetField& price = Field(rows, "PurPrice");
  EXPECT_EQ(price.TypeName, "float");
  EXPECT_EQ(Value(rows, 0, "PurPrice"), TVariant(0.8));

  const TRecordsetField& next = Field(rows, "NextId");
  EXPECT_TRUE(next.BaseTable.empty());
  EXPECT_FALSE(next.KeyColumn);
  EXPECT_EQ(Value(rows, 0, "NextId").AsInt64(), 2);
}

TEST_P(TServerSql, RoundTripsEveryValueKindThroughParametersAndRows) {
  const std::string table = TableName("kinds");
  Exec("create table " + table +
       " (id integer primary key, i integer, b bigint, r double precision, d decimal(10,2),"
       " t varchar(20), tx text, flag boolean, ts timestamp, bin " +
       (Postgres() ? "bytea" : "blob") + ")");
  double noon = 45000.5;  // 2023-03-15 12:00
  EXPECT_EQ(Exec("insert into " + table + " values (1, :i, :b, :r, :d, :t, :tx, :flag, :ts, :bin)",
                 {MakeParameter("i", ftInteger, TVariant(int32_t{-7})),
                  MakeParameter("b", ftLargeint, TVariant(int64_t{50000000000})),
                  MakeParameter("r", ftFloat, TVariant(1.25)),
                  MakeParameter("d", ftBCD, TVariant::FromCurrency(123400)),
                  MakeParameter("t", ftWideString, TVariant("汉字 & <tag> 'q'")),
                  MakeParameter("tx", ftString, TVariant(std::string(3000, 'x'))),
                  MakeParameter("flag", ftBoolean, TVariant(true)),
                  MakeParameter("ts", ftDateTime, TVariant(noon)),
                  MakeParameter("bin", ftBlob, TVariant(TBytes{0, 1, 255}))}),
            1);
  EXPECT_EQ(Exec("insert into " + table + " values (2, :i, :b, :r, :d, :t, :tx, :flag, :ts, :bin)",
                 {MakeParameter("i", ftInteger, TVariant::Null()),
                  MakeParameter("b", ftLargeint, TVariant()),
                  MakeParameter("r", ftFloat, TVariant::Null()),
                  MakeParameter("d", ftBCD, TVariant::Null()),
                  MakeParameter("t", ftString, TVariant::Null()),
                  MakeParameter("tx", ftString, TVariant::Null()),
                  MakeParameter("flag", ftBoolean, TVariant(false)),
                  MakeParameter("ts", ftDateTime, TVariant::Null()),
                  MakeParameter("bin", ftBlob, TVariant::Null())}),
            1);

  TRecordsetData rows = Open("select * from " + table + " order by id");
  ASSERT_EQ(rows.Rows.size(), 2u);
  EXPECT_EQ(Field(rows, "i").TypeName, "int");
  EXPECT_EQ(Field(rows, "b").TypeName, "i8");
  EXPECT_EQ(Field(rows, "d").TypeName, "number");
  EXPECT_EQ(Field(rows, "d").Precision, std::optional<int>(10));
  EXPECT_EQ(Field(rows, "d").Scale, std::optional<int>(2));
  EXPECT_EQ(Field(rows, "t").MaxLength, 20);
  EXPECT_TRUE(Field(rows, "tx").Long);
  EXPECT_EQ(Field(rows, "flag").TypeName, "boolean");
  EXPECT_EQ(Field(rows, "ts").TypeName, "dateTime");
  EXPECT_EQ(Field(rows, "bin").TypeName, "bin.hex");

  EXPECT_EQ(Value(rows, 0, "i"), TVariant(int32_t{-7}));
  EXPECT_EQ(Value(rows, 0, "b"), TVariant(int64_t{50000000000}));
  EXPECT_EQ(Value(rows, 0, "r"), TVariant(1.25));
  EXPECT_EQ(Value(rows, 0, "d"), TVariant::FromCurrency(123400));
  EXPECT_EQ(Value(rows, 0, "t"), TVariant("汉字 & <tag> 'q'"));
  EXPECT_EQ(Value(rows, 0, "tx").AsString().size(), 3000u);
  EXPECT_EQ(Value(rows, 0, "flag"), TVariant(true));
  EXPECT_EQ(Value(rows, 0, "ts"), TVariant::FromDateTime(noon));
  EXPECT_EQ(Value(rows, 0, "bin"), TVariant(TBytes{0, 1, 255}));
  for (const char* column : {"i", "b", "r", "d", "t", "tx", "ts", "bin"}) {
    EXPECT_TRUE(Value(rows, 1, column).IsNull()) << column;
  }
  EXPECT_EQ(Value(rows, 1, "flag"), TVariant(false));
}

TEST_P(TServerSql, AnswersTheSchemaOfAnEmptyResultAndNoColumnsForAStatement) {
  TRecordsetData rows = Open("select ProId, ProName from products where 1 = 0");
  EXPECT_EQ(rows.Schema.Fields.size(), 2u);
  EXPECT_TRUE(rows.Rows.empty());

  rows = Open("update products set ProName = ProName where 1 = 0");
  EXPECT_TRUE(rows.Schema.Fields.empty());
  EXPECT_TRUE(rows.Rows.empty());
}

TEST_P(TServerSql, StopsAtTheDescriptionsMaximumRecordCount) {
  TQueryDescription description;
  description.CommandText = "select ProId from products order by ProId";
  description.MaxRecords = 3;
  TReply reply = Send(cmdOpenQuery, description);
  ASSERT_TRUE(reply.Success) << reply.Message;
  EXPECT_EQ(ReadAdoXml(reply.Data).Rows.size(), 3u);
}

TEST_P(TServerSql, AnswersTenThousandRowsWellUnderASecond) {
  const std::string table = TableName("big");
  Exec("create table " + table + " (id integer primary key, name varchar(40), price float)");
  EXPECT_EQ(Exec("insert into " + table +
                 " with recursive n(i) as (select 1 union all select i + 1 from n where i < 10000)"
                 " select i, 'product ' || i, i * 0.5 from n"),
            10000);
  const auto start = std::chrono::steady_clock::now();
  TReply reply = Send(cmdOpenQuery, "select * from " + table);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  ASSERT_TRUE(reply.Success) << reply.Message;
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count(), 1000);
  TRecordsetData rows = ReadAdoXml(reply.Data);
  ASSERT_EQ(rows.Rows.size(), 10000u);
  EXPECT_EQ(rows.Rows[9999]->Values[1], TVariant("product 10000"));
}

TEST_P(TServerSql, CancelsAStatementThatRunsPastTheDescriptionsTimeout) {
  TQueryDescription description;
  description.CommandText = Postgres()
                                ? "select pg_sleep(20)"
                                : "with recursive n(i) as (select 1 union all select i + 1 from n)"
                                  " select count(*) from n";
  description.CommandTimeout = 1;
  const auto start = std::chrono::steady_clock::now();
  TReply reply = Send(cmdOpenQuery, description);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_FALSE(reply.Success);
  EXPECT_EQ(reply.Value, kErrDatabase);
  EXPECT_NE(reply.Message.find("ancel"), std::string::npos) << reply.Message;
  // The next statement runs with its own time-out.
  EXPECT_EQ(Open("select ProId from products where ProId = 2").Rows.size(), 1u);
}

TEST_P(TServerSql, ConnectsAgainAfterTheDatabaseDroppedTheConnection) {
  if (!Postgres()) GTEST_SKIP() << "SQLite has no connection to lose";
  TRecordsetData before = Open("select pg_backend_pid() as pid");
  ASSERT_EQ(before.Rows.size(), 1u);
  const std::string pid = Value(before, 0, "pid").AsString();
  TPostgresCluster::Instance()->Psql(ServerFor(GetParam()).Database,
                                     "select pg_terminate_backend(" + pid + ")");
  TReply lost = Send(cmdOpenQuery, "select 1 as one");
  if (!lost.Success) EXPECT_FALSE(lost.Message.empty());
  TRecordsetData after = Open("select pg_backend_pid() as pid");
  ASSERT_EQ(after.Rows.size(), 1u);
  EXPECT_NE(Value(after, 0, "pid").AsString(), pid);
}

// ---- Command 210 and transactions ----

TEST_P(TServerSql, ExecutesInsideTheSessionsTransactionAndRollsBack) {
  const std::vector<TParameter> kind = {MakeParameter("kind", ftWideString, TVariant("测试"))};
  ASSERT_TRUE(Transaction(cmdBeginTrans).Success);
  EXPECT_EQ(Exec("update products set ProKind = :kind where ProCode like '0101%'", kind), 8);
  EXPECT_EQ(Open("select ProId from products where ProKind = :kind", kind).Rows.size(), 8u);

  // A failed statement inside the transaction leaves it usable.
  TReply failed = Send(cmdExecSQL, "update no_such_table set x = 1");
  EXPECT_FALSE(failed.Success);
  EXPECT_EQ(failed.Value, kErrDatabase);
  EXPECT_EQ(Open("select ProId from products where ProKind = :kind", kind).Rows.size(), 8u);

  TReply rolled = Transaction(cmdRollbackTrans);
  ASSERT_TRUE(rolled.Success) << rolled.Message;
  EXPECT_EQ(rolled.Value, 0);
  EXPECT_TRUE(Open("select ProId from products where ProKind = :kind", kind).Rows.empty());
}

// ---- Failures ----

TEST_P(TServerSql, AnswersAnSqlErrorWith20004AndTheDatabasesText) {
  TReply reply = Send(cmdOpenQuery, "select * from no_such_table");
  EXPECT_FALSE(reply.Success);
  EXPECT_EQ(reply.Value, kErrDatabase);
  EXPECT_NE(reply.Message.find("no_such_table"), std::string::npos) << reply.Message;

  reply = Send(cmdOpenQuery, "select ProId from products where ProCode = :missing");
  EXPECT_FALSE(reply.Success);
  EXPECT_EQ(reply.Value, kErrDatabase);
  EXPECT_NE(reply.Message.find("missing"), std::string::npos) << reply.Message;
}

TEST_P(TServerSql, AnswersAMalformedDescriptionWith20003) {
  TLarkspireMemoryStream good;
  TQueryDescription description;
  description.CommandText = "select 1";
  WriteQueryDescription(description, good);
  const std::string bytes = good.Bytes();

  struct TCase {
    std::string Data;
    const char* Expected;
  } cases[] = {
      {bytes.substr(0, 10), "query description"},
      {bytes.substr(0, 20), "text length 8 exceeds"},
      {bytes.substr(0, bytes.size() - 4), "parameter list"},
      {bytes.substr(0, 16) + std::string("\xff\xff\xff\x7f", 4), "exceeds"},
      {bytes.substr(0, 16) + std::string("\xfb\xff\xff\xff", 4), "negative"},
      {bytes.substr(0, bytes.size() - 4) + std::string("\x40\x42\x0f\x00", 4), "count"},
  };
  for (const TCase& c : cases) {
    TReply reply = SendData(cmdOpenQuery, c.Data);
    EXPECT_FALSE(reply.Success);
    EXPECT_EQ(reply.Value, kErrMalformedRequest);
    EXPECT_NE(reply.Message.find(c.Expected), std::string::npos) << reply.Message;
    EXPECT_EQ(SendData(cmdExecSQL, c.Data).Value, kErrMalformedRequest);
  }
  TReply empty = Send(cmdExecSQL, "   ");
  EXPECT_EQ(empty.Value, kErrMalformedRequest);
  // The session goes on.
  EXPECT_EQ(Open("select ProId from products where ProId = 1").Rows.size(), 1u);
}

// SQL text with a NUL byte once held a SQLite session in an endless loop, and PostgreSQL ran only
// the text before the NUL (here a DELETE without its WHERE): it is refused before anything runs.
TEST_P(TServerSql, RefusesSqlTextWithANulByteBeforeItRuns) {
  const std::string table = TableName("nul");
  Exec("drop table if exists " + table);
  Exec("create table " + table + " (id integer primary key)");
  Exec("insert into " + table + " values (1), (2)");
  const std::string sql = "delete from " + table + std::string("\0 where id = 1", 14);
  for (uint16_t code : {cmdExecSQL, cmdOpenQuery}) {
    TReply reply = Send(code, sql);
    EXPECT_FALSE(reply.Success);
    EXPECT_EQ(reply.Value, kErrMalformedRequest);
    EXPECT_NE(reply.Message.find("NUL character at byte"), std::string::npos) << reply.Message;
  }
  EXPECT_EQ(Open("select id from " + table).Rows.size(), 2u);
}

// ---- Stored procedures ----

TEST_P(TServerSql, CallsProceduresAndFunctionsWithOutputParameters) {
  if (!Postgres()) {
    TReply reply = Send(cmdOpenQuery, "add_tax", {}, cmdStoredProc);
    EXPECT_FALSE(reply.Success);
    EXPECT_EQ(reply.Value, kErrDatabase);
    EXPECT_EQ(reply.Message, "Stored procedures are not supported by SQLite databases");
    return;
  }
  Exec(
      "create or replace procedure add_tax(price numeric, inout total numeric, out note text)"
      " language plpgsql as $$ begin total := price * 1.1; note := 'ok:' || price; end $$");
  TReply reply = Send(cmdOpenQuery, "add_tax",
                      {MakeParameter("price", ftBCD, TVariant::FromCurrency(100000)),
                       MakeParameter("total", ftBCD, TVariant::Null(), pdInputOutput),
                       MakeParameter("note", ftUnknown, TVariant::Null(), pdOutput)},
                      cmdStoredProc);
  ASSERT_TRUE(reply.Success) << reply.Message;
  ASSERT_EQ(reply.Params.Count(), 3);
  EXPECT_EQ(reply.Params[0].Value, TVariant::FromCurrency(100000));
  EXPECT_EQ(reply.Params[1].Value, TVariant::FromCurrency(110000));
  EXPECT_EQ(reply.Params[2].DataType, ftWideString);
  EXPECT_EQ(reply.Params[2].Value, TVariant("ok:10"));

  Exec(
      "create or replace function price_range(kind text, out low float8, out high float8)"
      " language sql as $$ select min(PurPrice), max(PurPrice) from products"
      " where ProKind = kind $$");
  reply = Send(cmdOpenQuery, "public.price_range",
               {MakeParameter("@kind", ftWideString, TVariant("饮料")),
                MakeParameter("@high", ftFloat, TVariant::Null(), pdOutput),
                MakeParameter("@low", ftFloat, TVariant::Null(), pdOutput)},
               cmdStoredProc);
  ASSERT_TRUE(reply.Success) << reply.Message;
  ASSERT_EQ(reply.Params.Count(), 3);
  EXPECT_EQ(reply.Params[1].Value, TVariant(6.2));
  EXPECT_EQ(reply.Params[2].Value, TVariant(0.8));
  EXPECT_EQ(ReadAdoXml(reply.Data).Rows.size(), 1u);

  Exec(
      "create or replace function double_it(x integer) returns integer"
      " language sql as $$ select x * 2 $$");
  reply = Send(cmdExecSQL, "double_it",
               {MakeParameter("RETURN_VALUE", ftInteger, TVariant::Null(), pdReturnValue),
                MakeParameter("x", ftInteger, TVariant(int32_t{21}))},
               cmdStoredProc);
  ASSERT_TRUE(reply.Success) << reply.Message;
  ASSERT_EQ(reply.Params.Count(), 2);
  EXPECT_EQ(reply.Params[0].Value, TVariant(int32_t{42}));

  reply = Send(cmdOpenQuery, "no_such_procedure", {}, cmdStoredProc);
  EXPECT_EQ(reply.Value, kErrDatabase);
  EXPECT_NE(reply.Message.find("no_such_procedure"), std::string::npos) << reply.Message;
}

// ---- SQLite's loose column types ----

TEST(TServerSqlSQLite, TurnsAColumnWithValuesOfAnotherKindIntoText) {
  TServerProcess server;
  TRawClient client;
  ASSERT_TRUE(client.Connect(server.Port()));
  client.Handshake("00-1A-2B-3C-4D-5E", "SqlTester");
  auto run = [&](uint16_t code, const std::string& sql) {
    TQueryDescription description;
    description.CommandText = sql;
    TRemoteCommand request, reply;
    request.Code = code;
    WriteQueryDescription(description, request.Data);
    EXPECT_TRUE(client.Execute(request, reply));
    EXPECT_TRUE(reply.Success) << reply.Message;
    return reply.GetDataText();
  };
  run(cmdExecSQL, "create table loose (n integer, big integer)");
  run(cmdExecSQL, "insert into loose values (1, 1), ('abc', 9000000000)");
  TRecordsetData rows = ReadAdoXml(run(cmdOpenQuery, "select n, big from loose order by rowid"));
  ASSERT_EQ(rows.Rows.size(), 2u);
  EXPECT_EQ(rows.Schema.Fields[0].TypeName, "string");
  EXPECT_EQ(rows.Rows[0]->Values[0], TVariant("1"));
  EXPECT_EQ(rows.Rows[1]->Values[0], TVariant("abc"));
  EXPECT_EQ(rows.Schema.Fields[1].TypeName, "i8");
  EXPECT_EQ(rows.Rows[1]->Values[1], TVariant(int64_t{9000000000}));
}

// ---- Placeholder rewriting ----

TEST(TRewriteNamedParameters, NumbersNamesInOrderAndReusesRepeatedOnes) {
  auto rewritten =
      server::RewriteNamedParameters("select * from t where a = :a and b in (:b,:A) and c=:c_2");
  EXPECT_EQ(rewritten.Text, "select * from t where a = $1 and b in ($2,$1) and c=$3");
  EXPECT_EQ(rewritten.Names, (std::vector<std::string>{"a", "b", "c_2"}));
  EXPECT_EQ(server::RewriteNamedParameters("where x = :\"my name\"").Text, "where x = $1");
  EXPECT_EQ(server::RewriteNamedParameters("where 名 = :名字").Names,
            (std::vector<std::string>{"名字"}));
}

TEST(TRewriteNamedParameters, LeavesQuotesCommentsAndCastsAlone) {
  const char* unchanged[] = {
      "select ':a', \"b:c\" from t",
      "select x::int, y :: text from t",
      "select 1 -- :a comment",
      "select /* :a /* nested :b */ still :c */ 1",
      "select $$ :a $$, $tag$ it's :b $tag$",
      "select E'it\\'s :a' from t",
      "select 'it''s :a' from t",
      "select a[1:2] from t",
      "select time '10:30'",
  };
  for (const char* sql : unchanged) {
    auto rewritten = server::RewriteNamedParameters(sql);
    EXPECT_EQ(rewritten.Text, sql);
    EXPECT_TRUE(rewritten.Names.empty()) << sql;
  }
  EXPECT_EQ(server::RewriteNamedParameters("select 1 -- :a\n, :b").Text, "select 1 -- :a\n, $1");
  EXPECT_EQ(server::RewriteNamedParameters("select ':x' || :y::text").Text,
            "select ':x' || $1::text");
}

// ---- The steps of a stored-procedure call ----

TEST(TRoutineCall, ReadsQuotedAndBareNamesAndRefusesOthers) {
  const server::TRoutineName plain = server::ParseRoutineName("Sales.AddOrder;1");
  EXPECT_EQ(plain.Schema, "sales");
  EXPECT_EQ(plain.Name, "addorder");
  const server::TRoutineName quoted = server::ParseRoutineName("\"My Proc\"");
  EXPECT_EQ(quoted.Schema, "");
  EXPECT_EQ(quoted.Name, "My Proc");
  for (const char* bad : {"", "a.b.c", "a b", "\"open"})
    EXPECT_THROW(server::ParseRoutineName(bad), server::EServerDatabaseError) << bad;
}

TEST(TRoutineCall, PassesNamedArgumentsAndAProceduresOutArgumentsAsNull) {
  TParameters parameters;
  parameters.CreateParameter(":qty", ftInteger, pdInput, 0, TVariant(int32_t{3}));
  parameters.CreateParameter("total", ftFloat, pdOutput, 0, TVariant::Null());
  parameters.CreateParameter("result", ftInteger, pdReturnValue, 0, TVariant::Null());
  // The overload whose argument names take every passed parameter.
  const std::vector<std::vector<server::TRoutineArgument>> overloads = {
      {{"id", 'i'}}, {{"QTY", 'i'}, {"total", 'o'}}};
  EXPECT_EQ(server::ChooseOverload(overloads, server::PassedParameters(parameters)), 1u);

  server::TRoutine routine{"public", "add_order", true, overloads[1]};
  server::TRoutineCall call = server::BuildRoutineCall(routine, parameters);
  EXPECT_EQ(call.Sql, "CALL \"public\".\"add_order\"(\"QTY\" => $1, \"total\" => $2)");
  ASSERT_EQ(call.Values.size(), 2u);
  EXPECT_EQ(call.Values[0], &parameters[0]);
  EXPECT_EQ(call.Values[1], nullptr);
  // A function takes no OUT arguments in its call.
  routine.IsProcedure = false;
  call = server::BuildRoutineCall(routine, parameters);
  EXPECT_EQ(call.Sql, "SELECT * FROM \"public\".\"add_order\"(\"QTY\" => $1)");
}

}  // namespace
}  // namespace larkspire
