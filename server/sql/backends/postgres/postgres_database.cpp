#include "server/sql/backends/postgres/postgres_database.h"

#include <libpq-fe.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>

#include "platform/datetime.h"
#include "server/rowsets/rowset_builder.h"
#include "server/rowsets/rowset_writer.h"
#include "server/sql/backends/postgres/postgres_dialect.h"
#include "server/sql/sql_parameters.h"

namespace larkspire::server {

namespace {

// Type OIDs of the built-in types (pg_type.dat).
enum : Oid {
  kBool = 16,
  kBytea = 17,
  kChar = 18,
  kName = 19,
  kInt8 = 20,
  kInt2 = 21,
  kInt4 = 23,
  kText = 25,
  kOid = 26,
  kFloat4 = 700,
  kFloat8 = 701,
  kMoney = 790,
  kBpchar = 1042,
  kVarchar = 1043,
  kDate = 1082,
  kTime = 1083,
  kTimestamp = 1114,
  kTimestamptz = 1184,
  kTimetz = 1266,
  kNumeric = 1700,
  kUuid = 2950,
};

constexpr const char* kStatementSavepoint = "lk_statement";

std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

std::string ResultError(PGconn* connection, PGresult* result) {
  if (result) {
    const char* primary = PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY);
    if (primary && *primary) {
      std::string message = primary;
      if (const char* detail = PQresultErrorField(result, PG_DIAG_MESSAGE_DETAIL)) {
        message += " (" + std::string(detail) + ")";
      }
      return message;
    }
  }
  // libpq's own text: "FATAL:  terminating connection ...", maybe over several lines.
  std::string message = Trimmed(PQerrorMessage(connection));
  for (const char* prefix : {"FATAL:  ", "ERROR:  "}) {
    if (message.rfind(prefix, 0) == 0) message.erase(0, std::string(prefix).size());
  }
  if (auto newline = message.find('\n'); newline != std::string::npos) message.erase(newline);
  return message.empty() ? "the PostgreSQL server gave no answer" : message;
}

// "%.17g" keeps every bit of a double; PostgreSQL spells the special values itself.
std::string DoubleText(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "Infinity" : "-Infinity";
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.17g", value);
  return buffer;
}

// Parses PostgreSQL's ISO output of date, timestamp[tz], time[tz]: "2026-01-02",
// "2026-01-02 03:04:05.123456+01", "03:04:05". Fractions are kept to the microsecond.
bool ParseDateTimeText(const std::string& text, bool time_only, double& days) {
  TDateTimeParts parts;
  const char* p = text.c_str();
  auto number = [&](int digits, int& out) {
    out = 0;
    for (int k = 0; k < digits; ++k, ++p) {
      if (*p < '0' || *p > '9') return false;
      out = out * 10 + (*p - '0');
    }
    return true;
  };
  if (!time_only) {
    // Years may have more than four digits; BC dates and infinity are not date numbers.
    int year = 0, n = 0;
    while (*p >= '0' && *p <= '9') year = year * 10 + (*p++ - '0'), ++n;
    if (n < 4 || *p++ != '-' || !number(2, parts.month) || *p++ != '-' || !number(2, parts.day)) {
      return false;
    }
    parts.year = year;
    if (*p == ' ' || *p == 'T') {
      ++p;
    } else if (*p != '\0') {
      return false;
    }
  }
  if (*p != '\0') {
    if (!number(2, parts.hour) || *p++ != ':' || !number(2, parts.minute)) return false;
    if (*p == ':') {
      ++p;
      if (!number(2, parts.second)) return false;
    }
    if (*p == '.') {
      ++p;
      int micros = 0, digits = 0;
      while (*p >= '0' && *p <= '9') {
        if (digits < 6) micros = micros * 10 + (*p - '0');
        ++digits;
        ++p;
      }
      for (; digits < 6; ++digits) micros *= 10;
      parts.millisecond = micros / 1000;
      parts.microsecond = micros % 1000;
    }
    // A time zone offset is dropped: the value is the wall time the session shows.
    if (*p == '+' || *p == '-') {
      ++p;
      while ((*p >= '0' && *p <= '9') || *p == ':') ++p;
    }
    if (*p != '\0') return false;
    if (parts.hour == 24) return false;
  }
  try {
    days = EncodeDateTime(parts);
  } catch (const EVariantError&) {
    return false;
  }
  return true;
}

bool HexToBytes(const char* text, int length, TBytes& bytes) {
  if (length < 2 || text[0] != '\\' || text[1] != 'x' || length % 2 != 0) return false;
  bytes.resize((length - 2) / 2);
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (size_t i = 0; i < bytes.size(); ++i) {
    int high = digit(text[2 + 2 * i]), low = digit(text[3 + 2 * i]);
    if (high < 0 || low < 0) return false;
    bytes[i] = static_cast<uint8_t>(high * 16 + low);
  }
  return true;
}

void KindOfType(Oid type, int modifier, TColumnInfo& column) {
  switch (type) {
    case kBool:
      column.Kind = TColumnKind::ckBoolean;
      break;
    case kInt2:
      column.Kind = TColumnKind::ckSmallInt;
      break;
    case kInt4:
      column.Kind = TColumnKind::ckInteger;
      break;
    case kInt8:
    case kOid:
      column.Kind = TColumnKind::ckBigInt;
      break;
    case kFloat4:
      column.Kind = TColumnKind::ckSingle;
      break;
    case kFloat8:
      column.Kind = TColumnKind::ckDouble;
      break;
    case kMoney:
      column.Kind = TColumnKind::ckCurrency;
      break;
    case kNumeric:
      column.Kind = TColumnKind::ckDecimal;
      if (modifier >= 4) {
        column.Precision = ((modifier - 4) >> 16) & 0xffff;
        column.Scale = (modifier - 4) & 0xffff;
      } else {
        column.Precision = kUnboundedDecimalPrecision;
        column.Scale = kUnboundedDecimalScale;
      }
      break;
    case kDate:
      column.Kind = TColumnKind::ckDate;
      break;
    case kTimestamp:
    case kTimestamptz:
      column.Kind = TColumnKind::ckDateTime;
      break;
    case kTime:
    case kTimetz:
      column.Kind = TColumnKind::ckTime;
      break;
    case kBytea:
      column.Kind = TColumnKind::ckBinary;
      break;
    case kVarchar:
      column.Kind = TColumnKind::ckText;
      column.Size = modifier >= 4 ? modifier - 4 : 0;
      break;
    case kBpchar:
      column.Kind = TColumnKind::ckText;
      column.Size = modifier >= 4 ? modifier - 4 : 0;
      column.FixedLength = column.Size > 0;
      break;
    case kChar:
      column.Kind = TColumnKind::ckText;
      column.Size = 1;
      column.FixedLength = true;
      break;
    case kName:
      column.Kind = TColumnKind::ckText;
      column.Size = 63;
      break;
    case kUuid:
      column.Kind = TColumnKind::ckText;
      column.Size = 36;
      break;
    default:
      column.Kind = TColumnKind::ckText;
      break;  // text, json, arrays, ...
  }
}

void SetCell(TRowsetBuilder& rows, int i, const char* text, int length) {
  const TColumnInfo& column = rows.Column(i);
  std::string value(text, static_cast<size_t>(length));
  switch (column.Kind) {
    case TColumnKind::ckSmallInt:
    case TColumnKind::ckInteger:
    case TColumnKind::ckBigInt: {
      int64_t v = 0;
      if (TextToInt64(value, v)) return rows.Set(i, TVariant(v));
      break;
    }
    case TColumnKind::ckSingle:
    case TColumnKind::ckDouble: {
      double d = 0;
      if (TextToFloat(value, d)) return rows.Set(i, TVariant(d));
      break;
    }
    case TColumnKind::ckCurrency: {
      // money shows a currency sign and group separators: keep the number.
      std::string digits;
      for (char c : value) {
        if ((c >= '0' && c <= '9') || c == '.' || c == '-') digits += c;
      }
      TVariant v;
      if (DecimalFromText(digits, v) && v.Type() == TVarType::vtCurrency)
        return rows.Set(i, std::move(v));
      break;
    }
    case TColumnKind::ckDecimal: {
      TVariant v;
      if (DecimalFromText(value, v)) return rows.Set(i, std::move(v));
      break;
    }
    case TColumnKind::ckBoolean:
      if (value == "t") return rows.Set(i, TVariant(true));
      if (value == "f") return rows.Set(i, TVariant(false));
      break;
    case TColumnKind::ckDateTime:
    case TColumnKind::ckDate:
    case TColumnKind::ckTime: {
      double days = 0;
      if (ParseDateTimeText(value, column.Kind == TColumnKind::ckTime, days))
        return rows.Set(i, TVariant::FromDateTime(days));
      break;
    }
    case TColumnKind::ckText:
      return rows.Set(i, TVariant(std::move(value)));
    case TColumnKind::ckBinary: {
      TBytes bytes;
      if (HexToBytes(text, length, bytes)) return rows.Set(i, TVariant(std::move(bytes)));
      break;
    }
  }
  rows.SetMismatch(i, std::move(value));
}

// What the catalog says of one table column.
struct TColumnFacts {
  std::string Schema, Table, Column;
  bool NotNull = false, Key = false, AutoIncrement = false;
};

}  // namespace

// Owns a PGresult.
class TPostgresDatabase::TResult {
 public:
  explicit TResult(PGresult* result = nullptr) : result_(result) {}
  TResult(TResult&& other) noexcept : result_(other.result_) { other.result_ = nullptr; }
  TResult& operator=(TResult&& other) noexcept {
    std::swap(result_, other.result_);
    return *this;
  }
  ~TResult() { PQclear(result_); }
  PGresult* get() const { return result_; }

 private:
  PGresult* result_;
};

TPostgresDatabase::TPostgresDatabase(const std::string& uri) {
  connection_ = PQconnectdb(uri.c_str());
  if (connection_ == nullptr || PQstatus(connection_) != CONNECTION_OK) {
    std::string message = connection_ ? Trimmed(PQerrorMessage(connection_)) : "out of memory";
    PQfinish(connection_);
    connection_ = nullptr;
    throw EServerDatabaseError("cannot connect to PostgreSQL database " + uri + ": " + message);
  }
  try {
    Configure();
  } catch (...) {
    PQfinish(connection_);
    connection_ = nullptr;
    throw;
  }
}

void TPostgresDatabase::Configure() {
  PQsetNoticeProcessor(
      connection_, [](void*, const char*) {}, nullptr);
  if (PQsetClientEncoding(connection_, "UTF8") != 0) {
    throw EServerDatabaseError("cannot use UTF-8 with the PostgreSQL database: " +
                               Trimmed(PQerrorMessage(connection_)));
  }
  ExecuteScript("SET DateStyle = 'ISO, YMD'; SET bytea_output = 'hex'");
  timeout_ = -1;
}

void TPostgresDatabase::EnsureConnected() {
  if (PQstatus(connection_) != CONNECTION_BAD) return;
  // The server went away (a restart, an administrator's kill): connect again. A transaction
  // that was open is gone; the session learns it from InTransaction().
  PQreset(connection_);
  if (PQstatus(connection_) != CONNECTION_OK) {
    throw EServerDatabaseError("the connection to the PostgreSQL database was lost: " +
                               Trimmed(PQerrorMessage(connection_)));
  }
  Configure();
}

TPostgresDatabase::~TPostgresDatabase() {
  PQfinish(connection_);
}

void TPostgresDatabase::ExecuteScript(const std::string& sql) {
  EnsureConnected();
  TResult result(PQexec(connection_, sql.c_str()));
  ExecStatusType status = PQresultStatus(result.get());
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
    throw EServerDatabaseError(ResultError(connection_, result.get()));
  }
}

bool TPostgresDatabase::InTransaction() {
  PGTransactionStatusType status = PQtransactionStatus(connection_);
  return status == PQTRANS_INTRANS || status == PQTRANS_INERROR || status == PQTRANS_ACTIVE;
}

void TPostgresDatabase::Rollback() {
  timeout_ = -1;
  IDatabase::Rollback();
}

void TPostgresDatabase::RollbackToSavepoint(const std::string& name) {
  timeout_ = -1;
  IDatabase::RollbackToSavepoint(name);
}

void TPostgresDatabase::ResetSession() {
  if (PQstatus(connection_) != CONNECTION_OK) {
    throw EServerDatabaseError("the connection to the PostgreSQL database was lost");
  }
  // The time-out the last borrower set (a rollback forgets it, DISCARD ALL undoes it).
  const int32_t timeout = timeout_;
  if (PQtransactionStatus(connection_) != PQTRANS_IDLE) Rollback();
  ExecuteScript("DISCARD ALL");
  // What Configure sets, and the statement time-out the last borrower used (the next one most
  // likely uses the same), back in one round trip; libpq follows the encoding the server reports.
  std::string settings =
      "SET client_encoding = 'UTF8'; SET DateStyle = 'ISO, YMD'; SET bytea_output = 'hex'";
  if (timeout >= 0) {
    settings += "; SET statement_timeout = " + std::to_string(int64_t{timeout} * 1000);
  }
  timeout_ = -1;
  ExecuteScript(settings);
  timeout_ = timeout;
}

void TPostgresDatabase::SetRole(const std::string& role) {
  char* quoted = PQescapeIdentifier(connection_, role.data(), role.size());
  if (quoted == nullptr) {
    throw EServerDatabaseError("the role name \"" + role +
                               "\" cannot be quoted: " + Trimmed(PQerrorMessage(connection_)));
  }
  const std::string statement = std::string("SET ROLE ") + quoted;
  PQfreemem(quoted);
  ExecuteScript(statement);
}

void TPostgresDatabase::SetTimeout(int32_t seconds) {
  if (seconds < 0) seconds = 0;
  if (seconds > 2000000) seconds = 2000000;  // statement_timeout counts milliseconds in an int
  if (seconds == timeout_) return;
  ExecuteScript("SET statement_timeout = " + std::to_string(int64_t{seconds} * 1000));
  timeout_ = seconds;
}

TPostgresDatabase::TResult TPostgresDatabase::Run(const std::string& sql,
                                                  const std::vector<const TParameter*>& values,
                                                  const TStatementOptions& options) {
  EnsureConnected();
  SetTimeout(options.TimeoutSeconds);
  const size_t count = values.size();
  std::vector<TSqlValue> bound(count);
  std::vector<Oid> types(count, 0);
  std::vector<const char*> pointers(count, nullptr);
  std::vector<int> lengths(count, 0);
  std::vector<int> formats(count, 0);
  for (size_t i = 0; i < count; ++i) {
    if (values[i] == nullptr) continue;
    TSqlValue& value = bound[i] = SqlValueOf(*values[i]);
    const TFieldType type = values[i]->DataType;
    switch (value.Kind) {
      case TSqlValue::svNull:
        continue;
      case TSqlValue::svInteger: {
        const bool small = (type == ftSmallint || type == ftInteger || type == ftWord) &&
                           value.Integer >= INT32_MIN && value.Integer <= INT32_MAX;
        types[i] = small ? kInt4 : kInt8;
        value.Text = std::to_string(value.Integer);
        break;
      }
      case TSqlValue::svBoolean:
        types[i] = kBool;
        value.Text = value.Integer ? "true" : "false";
        break;
      case TSqlValue::svDouble:
        types[i] = kFloat8;
        value.Text = DoubleText(value.Double);
        break;
      case TSqlValue::svDecimal:
        types[i] = kNumeric;
        break;
      case TSqlValue::svDateTime:
        types[i] = kTimestamp;
        break;
      case TSqlValue::svText:
        break;  // unknown: the statement decides the type
      case TSqlValue::svBlob:
        types[i] = kBytea;
        formats[i] = 1;
        pointers[i] = reinterpret_cast<const char*>(value.Blob.data());
        lengths[i] = static_cast<int>(value.Blob.size());
        if (pointers[i] == nullptr) pointers[i] = "";
        continue;
    }
    pointers[i] = value.Text.c_str();
    lengths[i] = static_cast<int>(value.Text.size());
  }

  // Inside a transaction a failed statement would abort it; a savepoint keeps it usable.
  const bool guarded = PQtransactionStatus(connection_) == PQTRANS_INTRANS;
  if (guarded) ExecuteScript(std::string("SAVEPOINT ") + kStatementSavepoint);
  TResult result(PQexecParams(connection_, sql.c_str(), static_cast<int>(count), types.data(),
                              pointers.data(), lengths.data(), formats.data(), 0));
  ExecStatusType status = PQresultStatus(result.get());
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
    std::string message = ResultError(connection_, result.get());
    if (guarded && PQtransactionStatus(connection_) == PQTRANS_INERROR) {
      try {
        ExecuteScript(std::string("ROLLBACK TO SAVEPOINT ") + kStatementSavepoint +
                      "; RELEASE SAVEPOINT " + kStatementSavepoint);
      } catch (const EServerDatabaseError&) {
      }
    }
    throw EServerDatabaseError(message);
  }
  if (guarded) ExecuteScript(std::string("RELEASE SAVEPOINT ") + kStatementSavepoint);
  return result;
}

TPostgresDatabase::TResult TPostgresDatabase::RunNamed(const std::string& sql,
                                                       const TParameters& parameters,
                                                       const TStatementOptions& options) {
  TRewrittenSql rewritten = RewriteNamedParameters(sql);
  std::vector<const TParameter*> values;
  for (const std::string& name : rewritten.Names) {
    const TParameter* parameter = FindSqlParameter(parameters, name);
    if (parameter == nullptr) {
      throw EServerDatabaseError("The statement uses the parameter :" + name +
                                 ", which the request does not carry");
    }
    values.push_back(parameter);
  }
  return Run(rewritten.Text, values, options);
}

TRecordsetData TPostgresDatabase::RowsetOf(PGresult* result, const TStatementOptions& options,
                                           TRowsetXmlWriter* stream) {
  if (PQresultStatus(result) != PGRES_TUPLES_OK) return TRecordsetData();
  const int fields = PQnfields(result);
  std::vector<TColumnInfo> columns(fields);
  std::set<Oid> tables;
  for (int i = 0; i < fields; ++i) {
    columns[i].Name = PQfname(result, i);
    KindOfType(PQftype(result, i), PQfmod(result, i), columns[i]);
    if (PQftable(result, i) != InvalidOid && PQftablecol(result, i) > 0) {
      tables.insert(PQftable(result, i));
    }
  }

  if (!tables.empty()) {
    // One look at the catalog for every table the columns come from.
    std::string list = "{";
    for (Oid table : tables) list += (list.size() > 1 ? "," : "") + std::to_string(table);
    list += "}";
    TParameters arguments;
    arguments.CreateParameter("tables", ftString, pdInput, 0, TVariant(list));
    TResult facts =
        Run("SELECT a.attrelid, a.attnum, a.attname, a.attnotnull, "
            "a.attidentity <> '' OR coalesce(pg_get_expr(d.adbin, d.adrelid) LIKE 'nextval(%', "
            "false), coalesce(a.attnum = ANY (i.indkey), false), n.nspname, c.relname "
            "FROM pg_attribute a JOIN pg_class c ON c.oid = a.attrelid "
            "JOIN pg_namespace n ON n.oid = c.relnamespace "
            "LEFT JOIN pg_attrdef d ON d.adrelid = a.attrelid AND d.adnum = a.attnum "
            "LEFT JOIN pg_index i ON i.indrelid = a.attrelid AND i.indisprimary "
            "WHERE a.attrelid = ANY ($1::oid[]) AND a.attnum > 0 AND NOT a.attisdropped",
            {&arguments[0]}, options);
    std::map<std::pair<Oid, int>, TColumnFacts> by_column;
    for (int r = 0; r < PQntuples(facts.get()); ++r) {
      TColumnFacts f;
      Oid table = static_cast<Oid>(std::strtoul(PQgetvalue(facts.get(), r, 0), nullptr, 10));
      int number = std::atoi(PQgetvalue(facts.get(), r, 1));
      f.Column = PQgetvalue(facts.get(), r, 2);
      f.NotNull = PQgetvalue(facts.get(), r, 3)[0] == 't';
      f.AutoIncrement = PQgetvalue(facts.get(), r, 4)[0] == 't';
      f.Key = PQgetvalue(facts.get(), r, 5)[0] == 't';
      f.Schema = PQgetvalue(facts.get(), r, 6);
      f.Table = PQgetvalue(facts.get(), r, 7);
      by_column[{table, number}] = std::move(f);
    }
    for (int i = 0; i < fields; ++i) {
      auto found = by_column.find({PQftable(result, i), PQftablecol(result, i)});
      if (found == by_column.end()) continue;
      const TColumnFacts& f = found->second;
      columns[i].BaseSchema = f.Schema;
      columns[i].BaseTable = f.Table;
      columns[i].BaseColumn = f.Column;
      columns[i].NotNull = f.NotNull;
      columns[i].KeyColumn = f.Key;
      columns[i].AutoIncrement = f.AutoIncrement;
    }
  }

  TRowsetBuilder rows(std::move(columns), stream);
  int count = PQntuples(result);
  if (options.MaxRecords > 0 && count > options.MaxRecords) count = options.MaxRecords;
  for (int r = 0; r < count; ++r) {
    rows.AddRow();
    for (int i = 0; i < fields; ++i) {
      if (PQgetisnull(result, r, i)) continue;
      SetCell(rows, i, PQgetvalue(result, r, i), PQgetlength(result, r, i));
    }
    rows.Flush(true);  // the kinds come from the result's types
  }
  return rows.Finish();
}

TRecordsetData TPostgresDatabase::OpenQuery(const std::string& sql, const TParameters& parameters,
                                            const TStatementOptions& options) {
  TResult result = RunNamed(sql, parameters, options);
  return RowsetOf(result.get(), options);
}

void TPostgresDatabase::StreamQuery(const std::string& sql, const TParameters& parameters,
                                    const TStatementOptions& options, TRowsetXmlWriter& writer) {
  TResult result = RunNamed(sql, parameters, options);
  if (PQresultStatus(result.get()) != PGRES_TUPLES_OK) {
    writer.WriteWhole(TRecordsetData());
    return;
  }
  try {
    RowsetOf(result.get(), options, &writer);
  } catch (const TRowsetRestart&) {
    // A value its type's kind cannot hold ("NaN", "infinity"): the rowset is built whole.
    writer.Reset();
    writer.WriteWhole(RowsetOf(result.get(), options));
  }
}

int64_t TPostgresDatabase::ExecuteStatement(const std::string& sql, const TParameters& parameters,
                                            const TStatementOptions& options) {
  TResult result = RunNamed(sql, parameters, options);
  const char* tuples = PQcmdTuples(result.get());
  return tuples && *tuples ? std::strtoll(tuples, nullptr, 10) : 0;
}

TRoutine TPostgresDatabase::FindRoutine(const std::string& text, const TParameters& parameters,
                                        const TStatementOptions& options) {
  const TRoutineName name = ParseRoutineName(text);
  TParameters lookup;
  lookup.CreateParameter("name", ftString, pdInput, 0, TVariant(name.Name));
  lookup.CreateParameter("schema", ftString, pdInput, 0, TVariant(name.Schema));
  TResult candidates =
      Run("SELECT p.oid, p.prokind, n.nspname, p.proname, p.pronargs FROM pg_proc p "
          "JOIN pg_namespace n ON n.oid = p.pronamespace WHERE p.proname = $1 AND "
          "CASE WHEN $2 = '' THEN pg_function_is_visible(p.oid) ELSE n.nspname = $2 END "
          "ORDER BY p.oid",
          {&lookup[0], &lookup[1]}, options);
  const int count = PQntuples(candidates.get());
  if (count == 0) {
    throw EServerDatabaseError("No stored procedure or function named \"" + text + "\" exists");
  }
  std::vector<std::vector<TRoutineArgument>> overloads;
  for (int c = 0; c < count; ++c) {
    TParameters which;
    which.CreateParameter("oid", ftString, pdInput, 0,
                          TVariant(std::string(PQgetvalue(candidates.get(), c, 0))));
    TResult listed =
        Run("SELECT coalesce(a.name, ''), coalesce(a.mode, 'i') FROM pg_proc p, "
            "unnest(p.proargnames, p.proargmodes::text[]) WITH ORDINALITY AS a(name, mode, ord) "
            "WHERE p.oid = $1::oid ORDER BY a.ord",
            {&which[0]}, options);
    std::vector<TRoutineArgument>& arguments = overloads.emplace_back();
    for (int r = 0; r < PQntuples(listed.get()); ++r) {
      arguments.push_back({PQgetvalue(listed.get(), r, 0), PQgetvalue(listed.get(), r, 1)[0]});
    }
  }
  const int chosen = static_cast<int>(ChooseOverload(overloads, PassedParameters(parameters)));
  TRoutine routine;
  routine.IsProcedure = PQgetvalue(candidates.get(), chosen, 1)[0] == 'p';
  routine.Schema = PQgetvalue(candidates.get(), chosen, 2);
  routine.Name = PQgetvalue(candidates.get(), chosen, 3);
  routine.Arguments = std::move(overloads[chosen]);
  return routine;
}

TRecordsetData TPostgresDatabase::CallProcedure(const std::string& name, TParameters& parameters,
                                                const TStatementOptions& options) {
  const TRoutine routine = FindRoutine(name, parameters, options);
  const TRoutineCall call = BuildRoutineCall(routine, parameters);
  TResult result = Run(call.Sql, call.Values, options);
  TRecordsetData rows = RowsetOf(result.get(), options);
  FillOutputParameters(rows, routine.IsProcedure, parameters);
  return rows;
}

const ISqlDialect& TPostgresDatabase::Dialect() const {
  return TPostgresDialect::Instance();
}

}  // namespace larkspire::server
