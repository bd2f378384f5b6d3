// Queries through the real larkspire-server: opening 10 000 rows from PostgreSQL against a bare
// libpq fetch of the same rows (with the server's pieces timed one by one in-process), cutting
// the delta of one edit out of 1 000 to 100 000 rows, fetching the first and the last page of a
// 100 000-row table against opening the whole of it, posting one edit in 1 000 and 10 000
// rows, applying a delta of 100 000 inserted rows in-process against psql's \copy of the same
// rows, and appending 10 000 and 100 000 rows to a batch-mode query. The 10 000-row open runs
// over TLS too. After the benchmarks it prints the ratios of each group, all from the same run.
//
// The PostgreSQL benchmarks need initdb and postgres on the machine (TPostgresCluster); without
// them they are skipped with the reason and the SQLite ones still run.
#include <benchmark/benchmark.h>
#include <libpq-fe.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_tables.h"
#include "components/query.h"
#include "dataset/ado_xml.h"
#include "dataset/recordset.h"
#include "platform/datetime.h"
#include "protocol/remote_command.h"
#include "server/commands/apply_updates.h"
#include "server/rowsets/reply_compression.h"
#include "server/rowsets/rowset_writer.h"
#include "server/sql/database.h"
#include "support/postgres_cluster.h"
#include "support/server_fixture.h"

namespace {

using namespace larkspire;
using larkspire::test::TPostgresCluster;
using larkspire::test::TServerProcess;
using namespace larkspire::bench;

constexpr int kOpenRows = 10000;
constexpr int kPagedRows = 100000;
constexpr const char* kOpenSql = "select * from big order by ProId";

void SqliteExec(sqlite3* db, const std::string& sql) {
  char* error = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
    std::string text = error ? error : "unknown error";
    sqlite3_free(error);
    throw std::runtime_error("sqlite: " + text);
  }
}

// One server for the whole program, serving the PostgreSQL database as "pg" (when a cluster
// could be started) and a SQLite file as "big".
struct TBenchServer {
  std::string Folder;
  std::string PgUrl;
  std::string PgConnInfo;
  std::string PgError;
  std::unique_ptr<TServerProcess> Server;
  // The same databases served over TLS, with a certificate made by the openssl command (its
  // own CA); null when the certificate could not be made.
  std::unique_ptr<TServerProcess> TlsServer;
  std::string TlsCa;

  TBenchServer() {
    char pattern[] = "/tmp/lk-query-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    Folder = pattern;
    const std::string sqlite_path = Folder + "/big.db";
    sqlite3* db = nullptr;
    if (sqlite3_open(sqlite_path.c_str(), &db) != SQLITE_OK)
      throw std::runtime_error("cannot create " + sqlite_path);
    SqliteExec(db, "BEGIN");
    for (auto [table, rows] :
         {std::pair<const char*, int>{"big1k", 1000}, {"big10k", 10000}, {"big100k", kPagedRows}}) {
      SqliteExec(db, CreateTable(table, false));
      SqliteExec(db, FillSqlite(table, rows));
    }
    SqliteExec(db, "COMMIT");
    sqlite3_close(db);

    std::vector<std::string> args = {"--database", "big=sqlite:" + sqlite_path};
    if (TPostgresCluster* cluster = TPostgresCluster::Instance()) {
      const std::string database = cluster->CreateDatabase("lkbench");
      cluster->Psql(database, CreateTable("big", true) + "; " + FillPostgres("big", kOpenRows) +
                                  "; " + CreateTable("big100k", true) + "; " +
                                  FillPostgres("big100k", kPagedRows) + "; ANALYZE");
      PgUrl = cluster->Url(database);
      PgConnInfo = cluster->ConnInfo(database);
      args.insert(args.end(), {"--database", "pg=" + PgUrl});
    } else {
      PgError = TPostgresCluster::StartError();
    }
    Server = std::make_unique<TServerProcess>(args);
    TlsCa = Folder + "/tls.pem";
    const std::string make_certificate =
        "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost -addext "
        "subjectAltName=IP:127.0.0.1 -keyout " +
        Folder + "/tls.key -out " + TlsCa + " >/dev/null 2>&1";
    if (std::system(make_certificate.c_str()) == 0) {
      args.insert(args.end(), {"--tls-cert", TlsCa, "--tls-key", Folder + "/tls.key"});
      TlsServer = std::make_unique<TServerProcess>(args);
    }
  }
  ~TBenchServer() {
    Server.reset();
    std::error_code ignored;
    std::filesystem::remove_all(Folder, ignored);
  }
};

TBenchServer& Bench() {
  static TBenchServer server;
  return server;
}

bool SkipWithoutPostgres(benchmark::State& state) {
  if (!Bench().PgUrl.empty()) return false;
  state.SkipWithError(("no PostgreSQL: " + Bench().PgError).c_str());
  return true;
}

void Configure(TLarkspireConnection& connection, const std::string& name) {
  connection.SetRemotePort(Bench().Server->Port());
  connection.SetConnectionName(name);
  connection.SetClientName("QueryBench");
}

// Points the query at a connection configured for the database name, with this SQL.
void Attach(TLarkspireConnection& connection, TLarkspireQuery& query, const std::string& name,
            const std::string& sql) {
  Configure(connection, name);
  query.SetConnection(&connection);
  query.SQL().SetText(sql);
}

// A query whose request can be sent by hand.
class TProbeQuery : public TLarkspireQuery {
 public:
  using TCustomLarkspireDataSetEx::WriteQuery;
};

// ---- 1. Opening 10 000 rows from PostgreSQL -------------------------------------------------

// Fetches the rows with libpq and touches every value; format 0 asks for text, 1 for binary.
void LibpqFetch(benchmark::State& state, int format) {
  if (SkipWithoutPostgres(state)) return;
  PGconn* conn = PQconnectdb(Bench().PgConnInfo.c_str());
  if (PQstatus(conn) != CONNECTION_OK) {
    state.SkipWithError(PQerrorMessage(conn));
    PQfinish(conn);
    return;
  }
  for (auto _ : state) {
    PGresult* result = PQexecParams(conn, kOpenSql, 0, nullptr, nullptr, nullptr, nullptr, format);
    const int rows = PQntuples(result), columns = PQnfields(result);
    size_t bytes = 0;
    for (int r = 0; r < rows; ++r)
      for (int c = 0; c < columns; ++c) {
        const char* value = PQgetvalue(result, r, c);
        benchmark::DoNotOptimize(value);
        bytes += PQgetlength(result, r, c);
      }
    benchmark::DoNotOptimize(bytes);
    if (rows != kOpenRows) state.SkipWithError("libpq: wrong row count");
    PQclear(result);
  }
  PQfinish(conn);
}

void BM_LibpqFetch(benchmark::State& state) {
  LibpqFetch(state, 0);
}
BENCHMARK(BM_LibpqFetch)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(20);

// The same rows in binary format (what the server would decode instead of text).
void BM_LibpqFetchBinary(benchmark::State& state) {
  LibpqFetch(state, 1);
}
BENCHMARK(BM_LibpqFetchBinary)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(20);

void BM_QueryOpenPostgres(benchmark::State& state) {
  if (SkipWithoutPostgres(state)) return;
  TLarkspireConnection connection;
  TLarkspireQuery query;
  Attach(connection, query, "pg", kOpenSql);
  query.Open();  // connects
  for (auto _ : state) {
    query.Close();
    query.Open();
    if (query.RecordCount() != kOpenRows) state.SkipWithError("query: wrong row count");
  }
}
BENCHMARK(BM_QueryOpenPostgres)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(20);

// The same over TLS.
void BM_QueryOpenPostgresTls(benchmark::State& state) {
  if (SkipWithoutPostgres(state)) return;
  if (!Bench().TlsServer) {
    state.SkipWithError("no TLS certificate (the openssl command failed)");
    return;
  }
  TLarkspireConnection connection;
  TLarkspireQuery query;
  Attach(connection, query, "pg", kOpenSql);
  connection.SetRemotePort(Bench().TlsServer->Port());
  connection.SetUseTls(true);
  connection.SetTlsCaFile(Bench().TlsCa);
  query.Open();  // connects
  for (auto _ : state) {
    query.Close();
    query.Open();
    if (query.RecordCount() != kOpenRows) state.SkipWithError("query: wrong row count");
  }
}
BENCHMARK(BM_QueryOpenPostgresTls)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(20);

// The server's reply alone: command 300 sent and its reply read and inflated.
void BM_ServerReplyPostgres(benchmark::State& state) {
  if (SkipWithoutPostgres(state)) return;
  TLarkspireConnection connection;
  TProbeQuery query;
  Attach(connection, query, "pg", kOpenSql);
  query.Open();
  query.Close();
  int64_t xml_bytes = 0;
  for (auto _ : state) {
    TRemoteCommand request;
    request.Code = cmdOpenQuery;
    query.WriteQuery(request);
    TRemoteCommand& reply = connection.ExecuteCommand(request);
    if (!reply.Success) state.SkipWithError("command 300 failed");
    xml_bytes = reply.Data.Size();
    reply.Reset();
  }
  state.counters["xml_bytes"] = static_cast<double>(xml_bytes);
}
BENCHMARK(BM_ServerReplyPostgres)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(20);

// The pieces of the server's work, in-process on the same database.
void BM_PieceServerFetch(benchmark::State& state) {
  if (SkipWithoutPostgres(state)) return;
  auto database = server::OpenDatabase(server::ParseDatabaseLocator(Bench().PgUrl));
  for (auto _ : state) {
    TRecordsetData rows = database->OpenQuery(kOpenSql, TParameters(), {});
    benchmark::DoNotOptimize(rows.Rows.size());
  }
}
BENCHMARK(BM_PieceServerFetch)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(20);

struct TPgRows {
  TRecordsetData Rows;
  std::string Xml;
  std::string Packed;  // the reply with the XML as Data, as it goes on the wire
};

const TPgRows& PgRows() {
  static TPgRows rows = [] {
    TPgRows r;
    auto database = server::OpenDatabase(server::ParseDatabaseLocator(Bench().PgUrl));
    r.Rows = database->OpenQuery(kOpenSql, TParameters(), {});
    r.Xml = WriteAdoXml(r.Rows);
    TRemoteCommand reply;
    reply.Code = cmdOpenQuery;
    reply.Success = true;
    reply.Data.WriteBuffer(r.Xml.data(), static_cast<int64_t>(r.Xml.size()));
    TMemoryStream packed;
    reply.SaveToStream(packed);
    r.Packed = packed.Bytes();
    return r;
  }();
  return rows;
}

void BM_PieceXmlWrite(benchmark::State& state) {
  if (SkipWithoutPostgres(state)) return;
  const TPgRows& rows = PgRows();
  for (auto _ : state) benchmark::DoNotOptimize(WriteAdoXml(rows.Rows));
  state.counters["xml_bytes"] = static_cast<double>(rows.Xml.size());
}
BENCHMARK(BM_PieceXmlWrite)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(20);

void BM_PieceCompress(benchmark::State& state) {
  if (SkipWithoutPostgres(state)) return;
  const TPgRows& rows = PgRows();
  for (auto _ : state) {
    TRemoteCommand reply;
    reply.Code = cmdOpenQuery;
    reply.Success = true;
    reply.Data.WriteBuffer(rows.Xml.data(), static_cast<int64_t>(rows.Xml.size()));
    TMemoryStream packed;
    reply.SaveToStream(packed);
    benchmark::DoNotOptimize(packed.Size());
  }
  state.counters["wire_bytes"] = static_cast<double>(rows.Packed.size());
}
BENCHMARK(BM_PieceCompress)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(20);

// The server's reply as it makes it now, in-process: rows from libpq through the XML writer
// into igzip, then framed.
void BM_PieceServerStream(benchmark::State& state) {
  if (SkipWithoutPostgres(state)) return;
  auto database = server::OpenDatabase(server::ParseDatabaseLocator(Bench().PgUrl));
  int64_t wire = 0;
  for (auto _ : state) {
    server::TDeflatedPayload payload;
    server::TRowsetXmlWriter writer(payload);
    database->StreamQuery(kOpenSql, TParameters(), {}, writer);
    TRemoteCommand reply;
    reply.Code = cmdReply;
    reply.Success = true;
    TMemoryStream body;
    server::EncodeReply(reply, payload, body);
    wire = body.Size();
  }
  state.counters["wire_bytes"] = static_cast<double>(wire);
}
BENCHMARK(BM_PieceServerStream)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(20);

// The server's compression of the same rowset document with igzip (BM_PieceCompress: zlib).
void BM_PieceServerDeflate(benchmark::State& state) {
  if (SkipWithoutPostgres(state)) return;
  const TPgRows& rows = PgRows();
  int64_t wire = 0;
  for (auto _ : state) {
    server::TDeflatedPayload payload;
    payload.Write(rows.Xml.data(), rows.Xml.size());
    TRemoteCommand reply;
    reply.Code = cmdOpenQuery;
    reply.Success = true;
    TMemoryStream body;
    server::EncodeReply(reply, payload, body);
    wire = body.Size();
  }
  state.counters["wire_bytes"] = static_cast<double>(wire);
}
BENCHMARK(BM_PieceServerDeflate)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(20);

void BM_PieceDecompress(benchmark::State& state) {
  if (SkipWithoutPostgres(state)) return;
  const TPgRows& rows = PgRows();
  for (auto _ : state) {
    TMemoryStream packed;
    packed.WriteBuffer(rows.Packed.data(), static_cast<int64_t>(rows.Packed.size()));
    packed.SetPosition(0);
    TRemoteCommand reply;
    reply.LoadFromStream(packed);
    benchmark::DoNotOptimize(reply.Data.Size());
  }
}
BENCHMARK(BM_PieceDecompress)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(20);

void BM_PieceRecordsetOpen(benchmark::State& state) {
  if (SkipWithoutPostgres(state)) return;
  const TPgRows& rows = PgRows();
  for (auto _ : state) {
    TRecordset rs;
    rs.OpenFromString(rows.Xml);
    benchmark::DoNotOptimize(rs.RecordCount());
  }
}
BENCHMARK(BM_PieceRecordsetOpen)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(20);

// What the query does with the reply's rows: the recordset and the dataset over it.
void BM_PieceDataSetLoad(benchmark::State& state) {
  if (SkipWithoutPostgres(state)) return;
  const TPgRows& rows = PgRows();
  for (auto _ : state) {
    TMemoryStream stream;
    stream.WriteBuffer(rows.Xml.data(), static_cast<int64_t>(rows.Xml.size()));
    TCustomLarkspireDataSet dataset;
    const std::string error = dataset.LoadRecordsetFromStream(stream);
    if (!error.empty()) state.SkipWithError(error.c_str());
    benchmark::DoNotOptimize(dataset.RecordCount());
  }
}
BENCHMARK(BM_PieceDataSetLoad)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(20);

// ---- 2. The delta of one edit ---------------------------------------------------------------

std::string ProductXml(int rows) {
  TRecordset rs;
  std::vector<TRecordsetField> fields = {
      TRecordsetField::Make("ProId", TAdoDataType::adInteger),
      TRecordsetField::Make("ProCode", TAdoDataType::adVarChar, 15),
      TRecordsetField::Make("ProName", TAdoDataType::adVarWChar, 50),
      TRecordsetField::Make("ProKind", TAdoDataType::adVarWChar, 50),
      TRecordsetField::Make("ProUnit", TAdoDataType::adVarWChar, 10),
      TRecordsetField::Make("ProSpec", TAdoDataType::adDouble),
      TRecordsetField::Make("BarCode", TAdoDataType::adVarChar, 20),
      TRecordsetField::Make("PurPrice", TAdoDataType::adCurrency),
      TRecordsetField::Make("RetaiPrice", TAdoDataType::adCurrency),
      TRecordsetField::Make("TradePrice", TAdoDataType::adCurrency),
      TRecordsetField::Make("Created", TAdoDataType::adDBTimeStamp),
  };
  fields[0].KeyColumn = true;
  fields[0].Nullable = false;
  rs.CreateFields(fields);
  static const char* kKinds[] = {"Drinks", "Snacks", "Grain & oil", "Dairy", "Stationery"};
  for (int i = 1; i <= rows; ++i)
    rs.AppendRow({TVariant(i), TVariant("P" + std::to_string(1000000 + i)),
                  TVariant("Product number " + std::to_string(i) + " deluxe"),
                  TVariant(kKinds[i % 5]), TVariant("pcs"), TVariant(double(i % 48)),
                  TVariant("692" + std::to_string(1000000000 + i)),
                  TVariant::FromCurrency(int64_t{i % 1000} * 3700 + 5000),
                  TVariant::FromCurrency(int64_t{i % 1000} * 6100 + 9000),
                  TVariant::FromCurrency(int64_t{i % 1000} * 4900 + 7000),
                  TVariant::FromDateTime(44927 + i / 1440.0)});
  return rs.SaveToString();
}

void BM_BuildDelta(benchmark::State& state) {
  const int rows = static_cast<int>(state.range(0));
  const std::string xml = ProductXml(rows);
  TMemoryStream source;
  source.WriteBuffer(xml.data(), static_cast<int64_t>(xml.size()));
  TCustomLarkspireDataSet dataset;
  const std::string error = dataset.LoadRecordsetFromStream(source);
  if (!error.empty()) {
    state.SkipWithError(error.c_str());
    return;
  }
  dataset.SetRecNo(rows / 2);
  dataset.Edit();
  dataset.FieldByName("ProName").SetAsString("Edited product");
  dataset.Post();
  for (auto _ : state) {
    TMemoryStream delta;
    if (dataset.BuildDelta(delta) != "1") state.SkipWithError("delta: not one update");
    benchmark::DoNotOptimize(delta.Size());
  }
}
BENCHMARK(BM_BuildDelta)
    ->Unit(benchmark::kMillisecond)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Iterations(5);

// ---- 3. Paging a 100 000-row table ----------------------------------------------------------

// range(0): 0 SQLite, 1 PostgreSQL.
const char* ConnectionOf(benchmark::State& state) {
  return state.range(0) == 0 ? "big" : "pg";
}
bool SkipBackend(benchmark::State& state) {
  return state.range(0) == 1 && SkipWithoutPostgres(state);
}

// The floor under every page fetch: an open of one row by its key.
void BM_OneRowOpen(benchmark::State& state) {
  if (SkipBackend(state)) return;
  TLarkspireConnection connection;
  TLarkspireQuery query;
  Attach(connection, query, ConnectionOf(state), "select * from big100k where ProId = 77");
  for (auto _ : state) {
    query.Close();
    query.Open();
    if (query.RecordCount() != 1) state.SkipWithError("one row: wrong count");
  }
}
BENCHMARK(BM_OneRowOpen)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Arg(0)
    ->Arg(1)
    ->Iterations(20);

void BM_PageFirst(benchmark::State& state) {
  if (SkipBackend(state)) return;
  TLarkspireConnection connection;
  TLarkspireQuery query;
  Attach(connection, query, ConnectionOf(state), "select * from big100k order by ProId");
  query.Paging().SetPageSize(20);
  for (auto _ : state) {
    query.Paging().ReloadFirstPage();
    if (query.RecordCount() != 20 || query.Paging().RecordCount() != kPagedRows)
      state.SkipWithError("page 1: wrong counts");
  }
}
BENCHMARK(BM_PageFirst)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Arg(0)
    ->Arg(1)
    ->Iterations(20);

void BM_PageLast(benchmark::State& state) {
  if (SkipBackend(state)) return;
  TLarkspireConnection connection;
  TLarkspireQuery query;
  Attach(connection, query, ConnectionOf(state), "select * from big100k order by ProId");
  query.Paging().SetPageSize(20);
  for (auto _ : state) {
    state.PauseTiming();
    query.Paging().ReloadFirstPage();
    state.ResumeTiming();
    query.Paging().LastPage();
    if (query.RecordCount() != 20 || query.Paging().PageIndex() != kPagedRows / 20 ||
        query.FieldByName("ProId").AsInteger() != kPagedRows - 19)
      state.SkipWithError("last page: wrong rows");
  }
}
BENCHMARK(BM_PageLast)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Arg(0)
    ->Arg(1)
    ->Iterations(20);

void BM_OpenWholeTable(benchmark::State& state) {
  if (SkipBackend(state)) return;
  TLarkspireConnection connection;
  TLarkspireQuery query;
  Attach(connection, query, ConnectionOf(state), "select * from big100k order by ProId");
  for (auto _ : state) {
    query.Close();
    query.Open();
    if (query.RecordCount() != kPagedRows) state.SkipWithError("whole table: wrong count");
  }
}
BENCHMARK(BM_OpenWholeTable)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Arg(0)
    ->Arg(1)
    ->Iterations(2);

// ---- 4. Posting one edit --------------------------------------------------------------------

void BM_PostOneEdit(benchmark::State& state) {
  const int rows = static_cast<int>(state.range(0));
  TLarkspireConnection connection;
  TLarkspireQuery query;
  Attach(connection, query, "big",
         std::string("select * from ") + (rows == 1000 ? "big1k" : "big10k") + " order by ProId");
  query.Open();
  if (query.RecordCount() != rows) {
    state.SkipWithError("post: wrong row count");
    return;
  }
  query.SetRecNo(rows / 2);
  int n = 0;
  for (auto _ : state) {
    query.Edit();
    query.FieldByName("ProName").SetAsString("Edited " + std::to_string(++n));
    query.Post();
    if (query.Recordset()->PendingCount() != 0) state.SkipWithError("post: change left pending");
  }
}
BENCHMARK(BM_PostOneEdit)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Arg(1000)
    ->Arg(10000)
    ->Iterations(20);

// ---- 5. Applying 100 000 inserted rows ----------------------------------------------------

constexpr int kApplyRows = 100000;
constexpr const char* kApplyTable =
    "CREATE TABLE apply_rows (proid integer GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY, "
    "procode varchar(15) NOT NULL, proname varchar(50), prospec double precision, "
    "purprice numeric(10,2), created timestamp)";

// The delta a client sends for rows it appended (the key left to the database), written
// directly rather than through a dataset.
const TRecordsetData& InsertDelta() {
  static const TRecordsetData delta = [] {
    TRecordsetData d;
    auto field = [&](const char* name, TAdoDataType type, int size = 0) {
      TRecordsetField f = TRecordsetField::Make(name, type, size);
      f.BaseTable = "apply_rows";
      f.BaseColumn = name;
      d.Schema.Fields.push_back(f);
    };
    field("proid", TAdoDataType::adInteger);
    d.Schema.Fields[0].KeyColumn = true;
    d.Schema.Fields[0].AutoIncrement = true;
    field("procode", TAdoDataType::adVarWChar, 15);
    field("proname", TAdoDataType::adVarWChar, 50);
    field("prospec", TAdoDataType::adDouble);
    field("purprice", TAdoDataType::adCurrency);
    field("created", TAdoDataType::adDBTimeStamp);
    for (int i = 1; i <= kApplyRows; ++i) {
      d.AppendRow(TRowStatus::rsNew,
                  {TVariant::Null(), TVariant("P" + std::to_string(1000000 + i)),
                   TVariant("Product number " + std::to_string(i) + " deluxe"),
                   TVariant(double(i % 48)), TVariant::FromCurrency(int64_t{i % 1000} * 3700),
                   TVariant::FromDateTime(44927 + i / 1440.0)});
    }
    return d;
  }();
  return delta;
}

// The same rows as CSV for psql's \copy.
std::string InsertCsv() {
  const std::string path = Bench().Folder + "/apply_rows.csv";
  if (!std::filesystem::exists(path)) {
    std::ofstream out(path);
    for (const auto& row : InsertDelta().Rows) {
      const auto& v = row->Values;
      out << v[1].AsString() << ',' << v[2].AsString() << ',' << v[3].AsString() << ','
          << CurrencyToText(v[4].AsCurrency()) << ',' << DateTimeToText(v[5].AsDateTime()) << '\n';
    }
  }
  return path;
}

std::string ApplyDatabase() {
  static const std::string database = [] {
    TPostgresCluster* cluster = TPostgresCluster::Instance();
    const std::string name = cluster->CreateDatabase("lkapply");
    cluster->Psql(name, kApplyTable);
    return name;
  }();
  return database;
}

void BM_ApplyInserts(benchmark::State& state) {
  if (SkipWithoutPostgres(state)) return;
  const std::string name = ApplyDatabase();
  auto database =
      server::OpenDatabase(server::ParseDatabaseLocator(TPostgresCluster::Instance()->Url(name)));
  server::TTransactionStack transactions(*database);
  const TRecordsetData& delta = InsertDelta();
  int64_t reply = 0;
  for (auto _ : state) {
    state.PauseTiming();
    database->ExecuteScript("TRUNCATE apply_rows RESTART IDENTITY");
    state.ResumeTiming();
    reply = static_cast<int64_t>(server::ApplyDelta(*database, transactions, delta).size());
  }
  state.counters["reply_bytes"] = static_cast<double>(reply);
}
BENCHMARK(BM_ApplyInserts)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void BM_PsqlCopyInserts(benchmark::State& state) {
  if (SkipWithoutPostgres(state)) return;
  const std::string name = ApplyDatabase();
  const std::string csv = InsertCsv();
  TPostgresCluster* cluster = TPostgresCluster::Instance();
  for (auto _ : state) {
    state.PauseTiming();
    cluster->Psql(name, "TRUNCATE apply_rows RESTART IDENTITY");
    state.ResumeTiming();
    cluster->Psql(name, "\\copy apply_rows (procode, proname, prospec, purprice, created) from '" +
                            csv + "' with (format csv)");
  }
}
BENCHMARK(BM_PsqlCopyInserts)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// ---- 6. Appending rows to a batch-mode query ------------------------------------------------

// What an application does to post many rows at once: each row appended and posted into the
// query's pending changes (ApplyUpdates, not timed here, sends them in one delta).
void BM_AppendRows(benchmark::State& state) {
  const int rows = static_cast<int>(state.range(0));
  TLarkspireConnection connection;
  TLarkspireQuery query;
  Attach(connection, query, "big", "select * from big1k where ProId < 0");
  query.SetLockType(ltBatchOptimistic);
  for (auto _ : state) {
    state.PauseTiming();
    query.Close();
    query.Open();
    TField& id = query.FieldByName("ProId");
    TField& code = query.FieldByName("ProCode");
    TField& name = query.FieldByName("ProName");
    TField& packing = query.FieldByName("ProSpec");
    state.ResumeTiming();
    for (int i = 1; i <= rows; ++i) {
      query.Append();
      id.SetAsInteger(i);
      code.SetAsString("P" + std::to_string(1000000 + i));
      name.SetAsString("Product number " + std::to_string(i) + " deluxe");
      packing.SetAsFloat(i % 48);
      query.Post();
    }
    if (query.RecordCount() != rows) state.SkipWithError("append: wrong row count");
  }
}
BENCHMARK(BM_AppendRows)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Arg(10000)
    ->Arg(100000)
    ->Iterations(3);

// ---- The ratios -----------------------------------------------------------------------------

// Keeps the mean real time per iteration (ms) of every run while printing as usual.
class TRatioReporter : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> Ms;
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs)
      if (!run.error_occurred) Ms[run.benchmark_name()] = run.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
};

// The mean time of the run whose name starts with prefix ("BM_PageLast/0/").
const double* Find(const TRatioReporter& reporter, const std::string& prefix) {
  for (const auto& [name, ms] : reporter.Ms)
    if (name.rfind(prefix, 0) == 0) return &ms;
  return nullptr;
}

void PrintRatio(const TRatioReporter& reporter, const std::string& label, const std::string& ours,
                const std::string& reference) {
  const double* a = Find(reporter, ours);
  const double* b = Find(reporter, reference);
  if (a == nullptr || b == nullptr || *b <= 0) return;
  std::printf("%-52s %9.3fx  (%.3f ms / %.3f ms)\n", label.c_str(), *a / *b, *a, *b);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  TRatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nRatios (same run):\n");
  PrintRatio(reporter, "query open 10 000 rows (pg) / libpq fetch", "BM_QueryOpenPostgres/",
             "BM_LibpqFetch/");
  PrintRatio(reporter, "query open 10 000 rows (pg), TLS / plain (target 1.2)",
             "BM_QueryOpenPostgresTls/", "BM_QueryOpenPostgres/");
  PrintRatio(reporter, "server reply alone (cmd 300) / libpq fetch", "BM_ServerReplyPostgres/",
             "BM_LibpqFetch/");
  PrintRatio(reporter, "server fetch in-process / libpq fetch", "BM_PieceServerFetch/",
             "BM_LibpqFetch/");
  PrintRatio(reporter, "server streamed reply in-process / libpq fetch", "BM_PieceServerStream/",
             "BM_LibpqFetch/");
  PrintRatio(reporter, "server fetch and conversion in-process / libpq", "BM_PieceServerStream/",
             "BM_LibpqFetch/");
  PrintRatio(reporter, "libpq fetch binary format / text format", "BM_LibpqFetchBinary/",
             "BM_LibpqFetch/");
  PrintRatio(reporter, "apply 100 000 inserted rows / psql \\copy of the same rows",
             "BM_ApplyInserts/", "BM_PsqlCopyInserts/");
  PrintRatio(reporter, "server deflate igzip / zlib (same rowset)", "BM_PieceServerDeflate/",
             "BM_PieceCompress/");
  PrintRatio(reporter, "dataset load / recordset open (same 10 000 rows)", "BM_PieceDataSetLoad/",
             "BM_PieceRecordsetOpen/");
  PrintRatio(reporter, "build delta 10 000 / 1 000 rows", "BM_BuildDelta/10000/",
             "BM_BuildDelta/1000/");
  PrintRatio(reporter, "build delta 100 000 / 10 000 rows", "BM_BuildDelta/100000/",
             "BM_BuildDelta/10000/");
  for (const char* backend : {"0", "1"}) {
    const std::string name = backend[0] == '0' ? "sqlite" : "pg";
    const std::string whole = std::string("BM_OpenWholeTable/") + backend + "/";
    PrintRatio(reporter, "page 1 / whole 100 000-row table (" + name + ")",
               std::string("BM_PageFirst/") + backend + "/", whole);
    PrintRatio(reporter, "last page / whole 100 000-row table (" + name + ")",
               std::string("BM_PageLast/") + backend + "/", whole);
    PrintRatio(reporter, "page 1 / one-row open (" + name + ")",
               std::string("BM_PageFirst/") + backend + "/",
               std::string("BM_OneRowOpen/") + backend + "/");
  }
  PrintRatio(reporter, "post one edit 10 000 / 1 000 rows", "BM_PostOneEdit/10000/",
             "BM_PostOneEdit/1000/");
  PrintRatio(reporter, "append 100 000 / 10 000 rows (batch query)", "BM_AppendRows/100000/",
             "BM_AppendRows/10000/");
  benchmark::Shutdown();
  return 0;
}
