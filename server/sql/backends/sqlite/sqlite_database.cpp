#include "server/sql/backends/sqlite/sqlite_database.h"

#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <string_view>

#include "platform/datetime.h"
#include "server/rowsets/rowset_builder.h"
#include "server/rowsets/rowset_writer.h"
#include "server/sql/backends/sqlite/sqlite_dialect.h"
#include "server/sql/sql_parameters.h"
#include "server/sql/sql_text.h"

namespace larkspire::server {

namespace {

using TClock = std::chrono::steady_clock;

std::string Upper(const char* text) {
  return UpperAscii(text ? text : "");
}

bool Contains(const std::string& text, const char* part) {
  return text.find(part) != std::string::npos;
}

// The numbers in a declared type's parentheses: "VARCHAR(50)" gives 50, "DECIMAL(10,2)" 10
// and 2. Missing numbers stay 0.
void TypeArguments(const std::string& declared, int64_t& first, int64_t& second) {
  first = second = 0;
  size_t open = declared.find('(');
  if (open == std::string::npos) return;
  const char* p = declared.c_str() + open + 1;
  char* end = nullptr;
  long long a = std::strtoll(p, &end, 10);
  if (end == p) return;
  first = a > 0 ? a : 0;
  while (*end == ' ') ++end;
  if (*end == ',') {
    p = end + 1;
    long long b = std::strtoll(p, &end, 10);
    if (end != p && b > 0) second = b;
  }
}

// The column kind of a declared type, after SQLite's own affinity rules; false when the type
// says nothing (an expression, or a name SQLite gives NUMERIC affinity without a hint).
bool KindOfDeclaredType(const char* declared_text, TColumnInfo& column) {
  const std::string declared = Upper(declared_text);
  if (declared.empty()) return false;
  int64_t first = 0, second = 0;
  TypeArguments(declared, first, second);
  if (Contains(declared, "BOOL")) {
    column.Kind = TColumnKind::ckBoolean;
  } else if (Contains(declared, "INT")) {
    if (Contains(declared, "BIGINT") || Contains(declared, "INT8")) {
      column.Kind = TColumnKind::ckBigInt;
    } else if (Contains(declared, "SMALLINT") || Contains(declared, "TINYINT") ||
               Contains(declared, "INT2")) {
      column.Kind = TColumnKind::ckSmallInt;
    } else {
      column.Kind = TColumnKind::ckInteger;
    }
  } else if (Contains(declared, "CHAR") || Contains(declared, "CLOB") ||
             Contains(declared, "TEXT")) {
    column.Kind = TColumnKind::ckText;
    column.Size = first;
    column.FixedLength = first > 0 && !Contains(declared, "VAR") && Contains(declared, "CHAR");
  } else if (Contains(declared, "BLOB") || Contains(declared, "BINARY")) {
    column.Kind = TColumnKind::ckBinary;
    column.Size = first;
  } else if (Contains(declared, "REAL") || Contains(declared, "FLOA") ||
             Contains(declared, "DOUB")) {
    column.Kind = TColumnKind::ckDouble;
  } else if (Contains(declared, "DATE") && !Contains(declared, "TIME")) {
    column.Kind = TColumnKind::ckDate;
  } else if (Contains(declared, "DATE") || Contains(declared, "TIMESTAMP")) {
    column.Kind = TColumnKind::ckDateTime;
  } else if (Contains(declared, "TIME")) {
    column.Kind = TColumnKind::ckTime;
  } else if (Contains(declared, "MONEY") || Contains(declared, "CURRENCY")) {
    column.Kind = TColumnKind::ckCurrency;
  } else if (Contains(declared, "DEC") || Contains(declared, "NUMERIC")) {
    column.Kind = TColumnKind::ckDecimal;
    column.Precision = first > 0 ? static_cast<int>(first) : kUnboundedDecimalPrecision;
    column.Scale = first > 0 ? static_cast<int>(second) : kUnboundedDecimalScale;
  } else {
    return false;
  }
  return true;
}

// The kind an expression column takes from its first value's storage class.
TColumnKind KindOfStorage(int storage) {
  switch (storage) {
    case SQLITE_INTEGER:
      return TColumnKind::ckInteger;
    case SQLITE_FLOAT:
      return TColumnKind::ckDouble;
    case SQLITE_BLOB:
      return TColumnKind::ckBinary;
    default:
      return TColumnKind::ckText;
  }
}

class TStatement {
 public:
  TStatement() = default;
  TStatement(const TStatement&) = delete;
  TStatement& operator=(const TStatement&) = delete;
  ~TStatement() { sqlite3_finalize(statement_); }
  sqlite3_stmt*& Handle() { return statement_; }
  sqlite3_stmt* get() const { return statement_; }

 private:
  sqlite3_stmt* statement_ = nullptr;
};

// Interrupts a statement that runs past its time-out, through the progress handler.
class TTimeoutGuard {
 public:
  TTimeoutGuard(sqlite3* db, int32_t seconds) : db_(db) {
    if (seconds <= 0) return;
    deadline_ = TClock::now() + std::chrono::seconds(seconds);
    sqlite3_progress_handler(db_, 1000, &TTimeoutGuard::Check, this);
    active_ = true;
  }
  ~TTimeoutGuard() {
    if (active_) sqlite3_progress_handler(db_, 0, nullptr, nullptr);
  }
  bool Expired() const { return expired_; }

 private:
  static int Check(void* self) {
    auto* guard = static_cast<TTimeoutGuard*>(self);
    if (TClock::now() >= guard->deadline_) guard->expired_ = true;
    return guard->expired_ ? 1 : 0;
  }

  sqlite3* db_;
  TClock::time_point deadline_;
  bool active_ = false;
  bool expired_ = false;
};

// Raises the error of a failed call; a lock another session held past the busy time-out
// becomes the retryable EServerDatabaseBusy.
[[noreturn]] void RaiseSQLiteError(int rc, const std::string& message, int busy_timeout_ms) {
  if ((rc & 0xFF) == SQLITE_BUSY) {
    throw EServerDatabaseBusy(
        "The database is busy: another client kept it locked for longer "
        "than " +
        std::to_string(busy_timeout_ms) + " ms; try again (" + message + ")");
  }
  throw EServerDatabaseError(message);
}

// Whether the text after a statement holds no other statement (blanks, comments, ";").
bool OnlyBlanksFollow(sqlite3* db, const char* tail) {
  while (tail != nullptr && *tail != '\0') {
    TStatement next;
    const char* rest = nullptr;
    if (sqlite3_prepare_v2(db, tail, -1, &next.Handle(), &rest) != SQLITE_OK) return false;
    if (next.get() != nullptr) return false;
    if (rest == tail) break;
    tail = rest;
  }
  return true;
}

[[noreturn]] void RaiseError(sqlite3* db, const TTimeoutGuard& guard, int32_t seconds,
                             int busy_timeout_ms) {
  if (guard.Expired()) {
    throw EServerDatabaseError("The statement was cancelled: it ran past its time-out of " +
                               std::to_string(seconds) + " s");
  }
  RaiseSQLiteError(sqlite3_extended_errcode(db), sqlite3_errmsg(db), busy_timeout_ms);
}

void BindParameters(sqlite3* db, sqlite3_stmt* statement, const TParameters& parameters) {
  const int count = sqlite3_bind_parameter_count(statement);
  int anonymous = 0;
  for (int i = 1; i <= count; ++i) {
    const char* placeholder = sqlite3_bind_parameter_name(statement, i);
    const TParameter* parameter = nullptr;
    std::string shown;
    if (placeholder == nullptr || placeholder[0] == '?') {
      // "?" takes the next parameter of the list, "?NNN" the NNN-th.
      int index = placeholder && placeholder[1] ? std::atoi(placeholder + 1) - 1 : anonymous;
      ++anonymous;
      if (index >= 0 && index < parameters.Count()) parameter = &parameters[index];
      shown = "?" + std::to_string(index + 1);
    } else {
      parameter = FindSqlParameter(parameters, placeholder + 1);
      shown = placeholder;
    }
    if (parameter == nullptr) {
      throw EServerDatabaseError("The statement uses the parameter " + shown +
                                 ", which the request does not carry");
    }
    const TSqlValue value = SqlValueOf(*parameter);
    int rc = SQLITE_OK;
    switch (value.Kind) {
      case TSqlValue::svNull:
        rc = sqlite3_bind_null(statement, i);
        break;
      case TSqlValue::svInteger:
      case TSqlValue::svBoolean:
        rc = sqlite3_bind_int64(statement, i, value.Integer);
        break;
      case TSqlValue::svDouble:
        rc = sqlite3_bind_double(statement, i, value.Double);
        break;
      case TSqlValue::svDecimal: {
        int64_t scaled = 0;
        TextToCurrency(value.Text, scaled);
        rc = scaled % 10000 == 0 ? sqlite3_bind_int64(statement, i, scaled / 10000)
                                 : sqlite3_bind_double(statement, i, scaled / 10000.0);
        break;
      }
      case TSqlValue::svDateTime:
      case TSqlValue::svText:
        rc = sqlite3_bind_text64(statement, i, value.Text.data(), value.Text.size(),
                                 SQLITE_TRANSIENT, SQLITE_UTF8);
        break;
      case TSqlValue::svBlob:
        rc = value.Blob.empty() ? sqlite3_bind_zeroblob(statement, i, 0)
                                : sqlite3_bind_blob64(statement, i, value.Blob.data(),
                                                      value.Blob.size(), SQLITE_TRANSIENT);
        break;
    }
    if (rc != SQLITE_OK) throw EServerDatabaseError(sqlite3_errmsg(db));
  }
}

// Describes the result columns of a prepared statement.
std::vector<TColumnInfo> DescribeColumns(sqlite3* db, sqlite3_stmt* statement,
                                         std::vector<bool>& inferred) {
  const int count = sqlite3_column_count(statement);
  std::vector<TColumnInfo> columns(count);
  inferred.assign(count, false);
  std::map<std::string, int> key_columns;  // primary key columns per table
  for (int i = 0; i < count; ++i) {
    TColumnInfo& column = columns[i];
    const char* name = sqlite3_column_name(statement, i);
    column.Name = name ? name : "";
    const char* declared = sqlite3_column_decltype(statement, i);
    if (!KindOfDeclaredType(declared, column)) inferred[i] = true;

    const char* table = sqlite3_column_table_name(statement, i);
    const char* origin = sqlite3_column_origin_name(statement, i);
    const char* database = sqlite3_column_database_name(statement, i);
    if (table == nullptr || origin == nullptr) continue;
    const char* type = nullptr;
    const char* collation = nullptr;
    int not_null = 0, primary_key = 0, autoincrement = 0;
    if (sqlite3_table_column_metadata(db, database, table, origin, &type, &collation, &not_null,
                                      &primary_key, &autoincrement) != SQLITE_OK) {
      continue;
    }
    column.BaseTable = table;
    column.BaseColumn = origin;
    column.NotNull = not_null != 0;
    column.KeyColumn = primary_key != 0;
    if (primary_key) {
      std::string key = std::string(database ? database : "main") + "." + table;
      auto found = key_columns.find(key);
      if (found == key_columns.end()) {
        // Count the table's key columns: only a lone INTEGER key is the rowid.
        TStatement info;
        std::string pragma = "PRAGMA " + QuoteIdentifier(database ? database : "main") +
                             ".table_info(" + QuoteIdentifier(table) + ")";
        int keys = 0;
        if (sqlite3_prepare_v2(db, pragma.c_str(), -1, &info.Handle(), nullptr) == SQLITE_OK) {
          while (sqlite3_step(info.get()) == SQLITE_ROW) {
            if (sqlite3_column_int(info.get(), 5) > 0) ++keys;
          }
        }
        found = key_columns.emplace(key, keys).first;
      }
      if (autoincrement || (found->second == 1 && Upper(type) == "INTEGER")) {
        column.AutoIncrement = true;
        column.NotNull = true;
      }
    }
  }
  return columns;
}

// Converts the current row's value of column i into the column's kind.
void SetCell(TRowsetBuilder& rows, sqlite3_stmt* statement, int i, bool inferred) {
  const int storage = sqlite3_column_type(statement, i);
  if (storage == SQLITE_NULL) return;
  TColumnInfo& column = rows.Column(i);
  if (inferred) {
    // The first value decides an expression column's kind.
    column.Kind = KindOfStorage(storage);
  }
  auto view = [&]() {
    const unsigned char* p = sqlite3_column_text(statement, i);
    return std::string_view(reinterpret_cast<const char*>(p),
                            static_cast<size_t>(sqlite3_column_bytes(statement, i)));
  };
  auto text = [&]() { return std::string(view()); };
  switch (column.Kind) {
    case TColumnKind::ckSmallInt:
    case TColumnKind::ckInteger:
    case TColumnKind::ckBigInt: {
      if (storage == SQLITE_INTEGER) return rows.SetInteger(i, sqlite3_column_int64(statement, i));
      int64_t v = 0;
      if (storage == SQLITE_TEXT && TextToInt64(text(), v)) return rows.SetInteger(i, v);
      if (storage == SQLITE_FLOAT) {
        double d = sqlite3_column_double(statement, i);
        if (d == static_cast<double>(static_cast<int64_t>(d)) && d > -9.2e18 && d < 9.2e18)
          return rows.SetInteger(i, static_cast<int64_t>(d));
      }
      break;
    }
    case TColumnKind::ckSingle:
    case TColumnKind::ckDouble: {
      if (storage == SQLITE_INTEGER || storage == SQLITE_FLOAT)
        return rows.SetFloat(i, sqlite3_column_double(statement, i));
      double d = 0;
      if (storage == SQLITE_TEXT && TextToFloat(text(), d)) return rows.SetFloat(i, d);
      break;
    }
    case TColumnKind::ckCurrency:
    case TColumnKind::ckDecimal: {
      std::string digits;
      if (storage == SQLITE_INTEGER)
        digits = std::to_string(sqlite3_column_int64(statement, i));
      else if (storage == SQLITE_FLOAT)
        digits = FloatToText(sqlite3_column_double(statement, i));
      else if (storage == SQLITE_TEXT)
        digits = text();
      TVariant value;
      if (!digits.empty() && DecimalFromText(digits, value)) {
        if (value.Type() == TVarType::vtCurrency) return rows.SetCurrency(i, value.AsCurrency());
        if (column.Kind == TColumnKind::ckDecimal) return rows.SetDecimalText(i, digits);
      }
      break;
    }
    case TColumnKind::ckBoolean: {
      if (storage == SQLITE_INTEGER)
        return rows.SetBoolean(i, sqlite3_column_int64(statement, i) != 0);
      if (storage == SQLITE_TEXT) {
        std::string t = Upper(reinterpret_cast<const char*>(sqlite3_column_text(statement, i)));
        if (t == "TRUE" || t == "T" || t == "1") return rows.SetBoolean(i, true);
        if (t == "FALSE" || t == "F" || t == "0") return rows.SetBoolean(i, false);
      }
      break;
    }
    case TColumnKind::ckDateTime:
    case TColumnKind::ckDate:
    case TColumnKind::ckTime: {
      double days = 0;
      if (storage == SQLITE_TEXT && TextToDateTime(text(), days)) return rows.SetDateTime(i, days);
      break;
    }
    case TColumnKind::ckText:
      if (storage != SQLITE_BLOB) return rows.SetText(i, view());
      break;
    case TColumnKind::ckBinary: {
      const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(statement, i));
      const int size = sqlite3_column_bytes(statement, i);
      if (storage == SQLITE_BLOB || storage == SQLITE_TEXT)
        return rows.SetBytes(i, p, static_cast<size_t>(size));
      break;
    }
  }
  // A value of another kind than its column's (SQLite allows it): keep its text.
  if (storage == SQLITE_BLOB) {
    const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(statement, i));
    const int size = sqlite3_column_bytes(statement, i);
    rows.SetMismatch(i, ValueText(TVariant(TBytes(p, p + size))));
  } else {
    rows.SetMismatch(i, text());
  }
}

}  // namespace

TSQLiteDatabase::TSQLiteDatabase(const std::string& path, const std::string& journal_mode,
                                 bool create, int busy_timeout_ms)
    : path_(path), busy_timeout_ms_(busy_timeout_ms) {
  std::error_code missing;
  if (!create && !std::filesystem::exists(path, missing))
    throw EServerDatabaseError("SQLite database " + path +
                               " does not exist (add ?create=1 to its locator to create it)");
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX;
  if (create) flags |= SQLITE_OPEN_CREATE;
  int rc = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
  if (rc != SQLITE_OK) {
    std::string message = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    sqlite3_close(db_);
    db_ = nullptr;
    throw EServerDatabaseError("cannot open SQLite database " + path + ": " + message);
  }
  sqlite3_extended_result_codes(db_, 1);
  sqlite3_busy_timeout(db_, busy_timeout_ms_);
  try {
    if (!journal_mode.empty()) ExecuteScript("PRAGMA journal_mode=" + journal_mode + ";");
    ExecuteScript("PRAGMA foreign_keys=ON;");
  } catch (...) {
    sqlite3_close(db_);
    db_ = nullptr;
    throw;
  }
}

void TSQLiteDatabase::Interrupt() {
  if (db_ != nullptr) sqlite3_interrupt(db_);
}

TSQLiteDatabase::~TSQLiteDatabase() {
  if (db_) sqlite3_close_v2(db_);
}

void TSQLiteDatabase::ExecuteScript(const std::string& sql) {
  StartPendingTransaction();
  Exec(sql);
}

void TSQLiteDatabase::Exec(const std::string& sql) {
  char* error = nullptr;
  int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error);
  if (rc != SQLITE_OK) {
    std::string message = error ? error : sqlite3_errstr(rc);
    sqlite3_free(error);
    RaiseSQLiteError(sqlite3_extended_errcode(db_), message, busy_timeout_ms_);
  }
}

// A deferred transaction that reads and then writes cannot wait for the write lock in WAL mode
// (its snapshot may be stale by then), so under contention it fails at once. A transaction
// here takes the write lock with its first statement instead, waiting its turn under the busy
// time-out; one that runs no statement locks nothing.
void TSQLiteDatabase::Begin() {
  if (InTransaction()) {
    throw EServerDatabaseError("cannot start a transaction within a transaction");
  }
  pending_begin_ = true;
}

void TSQLiteDatabase::StartPendingTransaction() {
  if (!pending_begin_) return;
  Exec("BEGIN IMMEDIATE");  // still pending when the lock could not be had
  pending_begin_ = false;
}

void TSQLiteDatabase::Commit() {
  if (pending_begin_) {
    pending_begin_ = false;
    return;
  }
  Exec("COMMIT");
}

void TSQLiteDatabase::Rollback() {
  if (pending_begin_) {
    pending_begin_ = false;
    return;
  }
  Exec("ROLLBACK");
}

void TSQLiteDatabase::ResetSession() {
  if (InTransaction()) Rollback();
  std::vector<std::string> drops;
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db_,
                         "SELECT type, name FROM temp.sqlite_master "
                         "WHERE type IN ('table', 'view', 'trigger') AND name NOT LIKE 'sqlite_%'",
                         -1, &statement, nullptr) != SQLITE_OK) {
    throw EServerDatabaseError(sqlite3_errmsg(db_));
  }
  while (sqlite3_step(statement) == SQLITE_ROW) {
    const auto* type = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
    const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(statement, 1));
    if (type == nullptr || name == nullptr) continue;
    std::string quoted = "\"";
    for (const char* c = name; *c != '\0'; ++c)
      quoted += *c == '"' ? std::string("\"\"") : std::string(1, *c);
    drops.push_back(std::string("DROP ") + type + " IF EXISTS temp." + quoted + "\";");
  }
  sqlite3_finalize(statement);
  for (const std::string& drop : drops) Exec(drop);
}

const ISqlDialect& TSQLiteDatabase::Dialect() const {
  return TSQLiteDialect::Instance();
}

bool TSQLiteDatabase::InTransaction() {
  return pending_begin_ || sqlite3_get_autocommit(db_) == 0;
}

}  // namespace larkspire::server

namespace larkspire::server {

namespace {

// Reads a statement's rows into a rowset, or streams them into stream.
TRecordsetData ReadRows(sqlite3* db_, int busy_timeout_ms_, sqlite3_stmt* statement,
                        const TStatementOptions& options, const TTimeoutGuard& guard,
                        TRowsetXmlWriter* stream) {
  const int count = sqlite3_column_count(statement);
  std::vector<bool> inferred;
  TRowsetBuilder rows(DescribeColumns(db_, statement, inferred), stream);
  int undecided = static_cast<int>(std::count(inferred.begin(), inferred.end(), true));
  int64_t read = 0;
  int rc;
  while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
    if (options.MaxRecords > 0 && read >= options.MaxRecords) {
      rc = SQLITE_DONE;  // the rest is not asked for
      break;
    }
    ++read;
    rows.AddRow();
    for (int i = 0; i < count; ++i) {
      SetCell(rows, statement, i, inferred[i]);
      if (inferred[i] && sqlite3_column_type(statement, i) != SQLITE_NULL) {
        inferred[i] = false;
        --undecided;
      }
    }
    rows.Flush(undecided == 0);
  }
  if (rc != SQLITE_DONE) RaiseError(db_, guard, options.TimeoutSeconds, busy_timeout_ms_);
  return rows.Finish();
}

}  // namespace

void TSQLiteDatabase::StreamQuery(const std::string& sql, const TParameters& parameters,
                                  const TStatementOptions& options, TRowsetXmlWriter& writer) {
  StartPendingTransaction();
  // Streamed: one statement that only reads, so that it can run again should a value change a
  // column's kind after the schema was written. Anything else is built whole.
  TStatement statement;
  const char* tail = nullptr;
  if (sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &statement.Handle(),
                         &tail) != SQLITE_OK ||
      statement.get() == nullptr || !sqlite3_stmt_readonly(statement.get()) ||
      sqlite3_column_count(statement.get()) == 0 || !OnlyBlanksFollow(db_, tail)) {
    writer.WriteWhole(OpenQuery(sql, parameters, options));
    return;
  }
  TTimeoutGuard guard(db_, options.TimeoutSeconds);
  BindParameters(db_, statement.get(), parameters);
  try {
    ReadRows(db_, busy_timeout_ms_, statement.get(), options, guard, &writer);
  } catch (const TRowsetRestart&) {
    writer.Reset();
    sqlite3_reset(statement.get());
    writer.WriteWhole(ReadRows(db_, busy_timeout_ms_, statement.get(), options, guard, nullptr));
  }
}

void TSQLiteDatabase::ExecuteBatch(const std::string& sql, const std::vector<TParameters>& runs,
                                   const TStatementOptions& options, TBatchResult& result) {
  if (runs.empty()) return;
  StartPendingTransaction();
  TStatement statement;
  const char* tail = nullptr;
  if (sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &statement.Handle(),
                         &tail) != SQLITE_OK) {
    RaiseSQLiteError(sqlite3_extended_errcode(db_), sqlite3_errmsg(db_), busy_timeout_ms_);
  }
  if (statement.get() == nullptr || !OnlyBlanksFollow(db_, tail)) {
    IDatabase::ExecuteBatch(sql, runs, options, result);
    return;
  }
  TTimeoutGuard guard(db_, options.TimeoutSeconds);
  const int count = sqlite3_column_count(statement.get());
  std::vector<bool> inferred;
  TRowsetBuilder rows(DescribeColumns(db_, statement.get(), inferred));
  std::vector<size_t> ends;
  ends.reserve(runs.size());
  for (const TParameters& run : runs) {
    sqlite3_reset(statement.get());
    sqlite3_clear_bindings(statement.get());
    BindParameters(db_, statement.get(), run);
    int rc;
    while ((rc = sqlite3_step(statement.get())) == SQLITE_ROW) {
      rows.AddRow();
      for (int i = 0; i < count; ++i) {
        SetCell(rows, statement.get(), i, inferred[i]);
        if (inferred[i] && sqlite3_column_type(statement.get(), i) != SQLITE_NULL) {
          inferred[i] = false;
        }
      }
    }
    if (rc != SQLITE_DONE) RaiseError(db_, guard, options.TimeoutSeconds, busy_timeout_ms_);
    ends.push_back(static_cast<size_t>(rows.RowCount()));
  }
  TRecordsetData data = rows.Finish();
  const size_t base = result.Rows.size();
  for (auto& row : data.Rows) result.Rows.push_back(std::move(row->Values));
  for (size_t end : ends) result.RunEnds.push_back(base + end);
}

TRecordsetData TSQLiteDatabase::OpenQuery(const std::string& sql, const TParameters& parameters,
                                          const TStatementOptions& options) {
  StartPendingTransaction();
  TTimeoutGuard guard(db_, options.TimeoutSeconds);
  const char* next = sql.c_str();
  const char* end = sql.c_str() + sql.size();
  std::optional<TRecordsetData> answer;
  while (next < end) {
    TStatement statement;
    const char* tail = nullptr;
    if (sqlite3_prepare_v2(db_, next, static_cast<int>(end - next), &statement.Handle(), &tail) !=
        SQLITE_OK) {
      RaiseError(db_, guard, options.TimeoutSeconds, busy_timeout_ms_);
    }
    next = tail ? tail : end;
    if (statement.get() == nullptr) continue;  // only blanks or a comment
    BindParameters(db_, statement.get(), parameters);
    const int count = sqlite3_column_count(statement.get());
    if (answer || count == 0) {
      // Statements before and after the first one with columns run for their effect.
      int rc;
      while ((rc = sqlite3_step(statement.get())) == SQLITE_ROW) {
      }
      if (rc != SQLITE_DONE) RaiseError(db_, guard, options.TimeoutSeconds, busy_timeout_ms_);
      continue;
    }
    answer = ReadRows(db_, busy_timeout_ms_, statement.get(), options, guard, nullptr);
  }
  if (!answer) return TRecordsetData();
  return std::move(*answer);
}

int64_t TSQLiteDatabase::ExecuteStatement(const std::string& sql, const TParameters& parameters,
                                          const TStatementOptions& options) {
  StartPendingTransaction();
  TTimeoutGuard guard(db_, options.TimeoutSeconds);
  const char* next = sql.c_str();
  const char* end = sql.c_str() + sql.size();
  int64_t affected = 0;
  while (next < end) {
    TStatement statement;
    const char* tail = nullptr;
    if (sqlite3_prepare_v2(db_, next, static_cast<int>(end - next), &statement.Handle(), &tail) !=
        SQLITE_OK) {
      RaiseError(db_, guard, options.TimeoutSeconds, busy_timeout_ms_);
    }
    next = tail ? tail : end;
    if (statement.get() == nullptr) continue;
    BindParameters(db_, statement.get(), parameters);
    const int64_t before = sqlite3_total_changes64(db_);
    int rc;
    while ((rc = sqlite3_step(statement.get())) == SQLITE_ROW) {
    }
    if (rc != SQLITE_DONE) RaiseError(db_, guard, options.TimeoutSeconds, busy_timeout_ms_);
    if (sqlite3_total_changes64(db_) != before) affected += sqlite3_changes64(db_);
  }
  return affected;
}

TRecordsetData TSQLiteDatabase::CallProcedure(const std::string&, TParameters&,
                                              const TStatementOptions&) {
  throw EServerDatabaseError("Stored procedures are not supported by SQLite databases");
}

}  // namespace larkspire::server
