#include "server/commands/apply_updates.h"

#include <algorithm>
#include <cstdio>
#include <deque>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "dataset/ado_xml.h"
#include "platform/datetime.h"
#include "platform/exception.h"
#include "server/base/server_errors.h"
#include "server/net/session.h"

namespace larkspire::server {

namespace {

// The table the delta writes and the columns of it that the schema carries.
struct TTarget {
  std::string Table;          // as the schema names it, for messages
  std::string QualifiedName;  // quoted, with its schema when the rowset names one
  std::vector<int> Keys;      // field indexes of the key columns, one per base column
  std::vector<int> Columns;   // field indexes of the table's columns, one per base column
  // For each field: the index in Columns of its base column, -1 when it is none of the table's.
  std::vector<int> ColumnOf;
};

bool HasBase(const TRecordsetField& field) {
  return !field.BaseTable.empty() && !field.BaseColumn.empty();
}

TTarget FindTarget(const TRecordsetSchema& schema, const ISqlDialect& dialect) {
  const auto& fields = schema.Fields;
  std::set<std::pair<std::string, std::string>> key_tables;
  bool any_base = false;
  for (const TRecordsetField& field : fields) {
    if (!HasBase(field)) continue;
    any_base = true;
    if (field.KeyColumn) key_tables.insert({field.BaseSchema, field.BaseTable});
  }
  if (!any_base) {
    throw EServerError(kErrDeltaRefused,
                       "The changes cannot be applied: no column of the rowset comes from a "
                       "base table");
  }
  if (key_tables.empty()) {
    std::string table;
    for (const TRecordsetField& field : fields) {
      if (HasBase(field)) {
        table = field.BaseTable;
        break;
      }
    }
    throw EServerError(kErrDeltaRefused, "The changes cannot be applied to table " + table +
                                             ": the rowset has no key columns");
  }
  if (key_tables.size() > 1) {
    std::string names;
    for (const auto& [schema_name, table] : key_tables) {
      if (!names.empty()) names += ", ";
      names += table;
    }
    throw EServerError(kErrDeltaRefused,
                       "The changes cannot be applied: the key columns "
                       "belong to more than one table (" +
                           names + ")");
  }
  TTarget target;
  const auto& [base_schema, base_table] = *key_tables.begin();
  target.Table = base_table;
  target.QualifiedName = base_schema.empty() ? dialect.QuoteIdentifier(base_table)
                                             : dialect.QuoteIdentifier(base_schema) + "." +
                                                   dialect.QuoteIdentifier(base_table);
  target.ColumnOf.assign(fields.size(), -1);
  std::map<std::string, int> by_column;
  for (size_t i = 0; i < fields.size(); ++i) {
    const TRecordsetField& field = fields[i];
    if (!HasBase(field) || field.BaseTable != base_table || field.BaseSchema != base_schema) {
      continue;
    }
    auto [found, added] =
        by_column.emplace(field.BaseColumn, static_cast<int>(target.Columns.size()));
    if (added) {
      target.Columns.push_back(static_cast<int>(i));
      if (field.KeyColumn) target.Keys.push_back(static_cast<int>(i));
    }
    target.ColumnOf[i] = found->second;
  }
  return target;
}

// "HH:MM:SS", ".fff" when there are milliseconds and ".ffffff" when there are microseconds:
// the form a time column reads.
std::string TimeText(double days) {
  const TDateTimeParts p = DecodeDateTime(days);
  char buffer[32];
  if (p.microsecond != 0) {
    std::snprintf(buffer, sizeof buffer, "%02d:%02d:%02d.%03d%03d", p.hour, p.minute, p.second,
                  p.millisecond, p.microsecond);
  } else if (p.millisecond != 0) {
    std::snprintf(buffer, sizeof buffer, "%02d:%02d:%02d.%03d", p.hour, p.minute, p.second,
                  p.millisecond);
  } else {
    std::snprintf(buffer, sizeof buffer, "%02d:%02d:%02d", p.hour, p.minute, p.second);
  }
  return buffer;
}

bool IsTimeField(const TRecordsetField& field) {
  return field.DataType == TAdoDataType::adDBTime;
}

// Builds the statements of one row: placeholders :v1, :v2 ... bound to the values as the
// rowset reader produced them.
class TStatementBuilder {
 public:
  explicit TStatementBuilder(const ISqlDialect& dialect) : dialect_(dialect) {}

  // A placeholder bound to a non-null value of the field.
  std::string Bind(const TRecordsetField& field, const TVariant& value) {
    const std::string name = "v" + std::to_string(parameters_.Count() + 1);
    TFieldType type = ftWideString;
    TVariant bound = value;
    switch (value.Type()) {
      case TVarType::vtBoolean:
        type = ftBoolean;
        break;
      case TVarType::vtInteger:
        type = ftInteger;
        break;
      case TVarType::vtInt64:
        type = ftLargeint;
        break;
      case TVarType::vtDouble:
        type = ftFloat;
        break;
      case TVarType::vtCurrency:
        type = ftBCD;
        break;
      case TVarType::vtDateTime:
        // As text, so that PostgreSQL reads it as the column's own type (date, time,
        // timestamp with or without time zone) and SQLite stores the form it reads back.
        bound = TVariant(DateTimeText(field, value.AsDateTime()));
        break;
      case TVarType::vtBytes:
        type = ftBlob;
        break;
      default:  // text, and exact decimals beyond the currency range as their digits
        break;
    }
    parameters_.CreateParameter(name, type, pdInput, 0, bound);
    return ":" + name;
  }

  // "column = value" for a SET list or an insert's value.
  std::string Value(const TRecordsetField& field, const TVariant& value) {
    if (value.IsClear()) return "NULL";
    return Bind(field, value);
  }

  // The test that a column still holds value.
  std::string Matches(const std::string& column, const TRecordsetField& field,
                      const TVariant& value) {
    if (value.IsClear()) return column + " IS NULL";
    if (value.Type() == TVarType::vtDateTime) {
      return dialect_.DateTimeEquals(column, Bind(field, value));
    }
    return column + " = " + Bind(field, value);
  }

  const TParameters& Parameters() const { return parameters_; }

 private:
  std::string DateTimeText(const TRecordsetField& field, double days) const {
    if (IsTimeField(field)) return TimeText(days);
    // SQLite keeps what it was given: a time of day alone stays a time of day.
    if (dialect_.BindsTimeOfDayAsTime() && days >= 0 && days < 1) return TimeText(days);
    return DateTimeToText(days);
  }

  const ISqlDialect& dialect_;
  TParameters parameters_;
};

// The key's values as a message shows them: "ProId = 5".
std::string DescribeKey(const TRecordsetSchema& schema, const TTarget& target,
                        const std::vector<TVariant>& values) {
  std::string text;
  for (int key : target.Keys) {
    if (!text.empty()) text += ", ";
    const TRecordsetField& field = schema.Fields[key];
    text += field.BaseColumn + " = ";
    const TVariant& value = values[key];
    if (value.IsClear()) {
      text += "Null";
    } else {
      try {
        text += value.AsString();
      } catch (const Exception&) {
        text += "?";
      }
    }
  }
  return text;
}

// Applies a delta's changes in the delta's order, sending the rows of consecutive changes of
// the same statement together: one batch of runs of that statement (inserts: one batch of rows
// into the table, which the database may send as one statement). Every statement answers the
// table's columns of the rows it wrote (RETURNING), which are the rows merged back and, for
// deletes and updates, the count of rows each one changed.
class TDeltaApplier {
 public:
  // Rows of one batch at most, so that the server's memory follows the batch, not the delta.
  static constexpr size_t kBatchRows = 1000;

  TDeltaApplier(IDatabase& database, const TRecordsetData& delta)
      : database_(database),
        dialect_(database.Dialect()),
        delta_(delta),
        schema_(delta.Schema),
        target_(FindTarget(delta.Schema, dialect_)) {
    options_.TimeoutSeconds = kApplyTimeoutSeconds;
    reply_.Schema = delta.Schema;
    for (int field : target_.Columns) {
      table_columns_ += (table_columns_.empty() ? "" : ", ") + Column(field);
    }
  }

  void Apply() {
    bool inserts = false;
    for (const auto& row : delta_.Rows) inserts |= row->Status == TRowStatus::rsNew;
    keep_updated_ = inserts;
    for (const auto& row : delta_.Rows) {
      switch (row->Status) {
        case TRowStatus::rsDeleted:
          QueueDelete(*row);
          break;
        case TRowStatus::rsModified:
          QueueUpdate(*row);
          break;
        case TRowStatus::rsNew:
          QueueInsert(*row);
          break;
        case TRowStatus::rsUnmodified:
          break;
      }
    }
    Flush();
    // The client's merge drops every row of its delta and appends these: with inserted rows
    // the updated ones come back too, so that they stay in its rows.
    for (auto* rows : {&updated_, &inserted_}) {
      for (auto& values : *rows) reply_.AppendRow(TRowStatus::rsUnmodified, std::move(values));
    }
  }

  const TRecordsetData& Reply() const { return reply_; }
  // The table written and the rows changed (each delete and update changes exactly one row, or
  // Apply raises).
  const std::string& Table() const { return target_.Table; }
  const TTableChange& Changes() const { return changes_; }

 private:
  enum class TAction { taNone, taDelete, taUpdate, taInsert };

  // A change waiting in the batch: its row, its original values (for messages) and where its
  // answer goes (nullptr: nowhere).
  struct TQueued {
    const TRecordsetRow* Row = nullptr;
    const std::vector<TVariant>* Original = nullptr;
    std::vector<TVariant>* Answer = nullptr;
  };

  std::string Column(int field) const {
    return dialect_.QuoteIdentifier(schema_.Fields[field].BaseColumn);
  }

  // The key columns' test against the given values.
  std::string KeyCondition(TStatementBuilder& builder, const std::vector<TVariant>& values) {
    std::string where;
    for (int key : target_.Keys) {
      if (!where.empty()) where += " AND ";
      where += builder.Matches(Column(key), schema_.Fields[key], values[key]);
    }
    return where;
  }

  // A delete or update must have changed exactly its one row.
  void CheckOneRow(int64_t affected, const std::vector<TVariant>& key_values, const char* action) {
    if (affected == 1) return;
    const std::string key = DescribeKey(schema_, target_, key_values);
    if (affected == 0) {
      throw EServerError(kErrUpdateConflict, "Row changed or deleted by another user in table " +
                                                 target_.Table + " (" + key + "); none of the " +
                                                 "changes were applied");
    }
    throw EServerError(kErrUpdateConflict,
                       std::string("The ") + action + " would change " + std::to_string(affected) +
                           " rows of table " + target_.Table + ": the key (" + key +
                           ") does not identify one row; none of the " + "changes were applied");
  }

  // Adds one run of sql to the batch, after sending the batch when it holds another statement
  // or is full.
  void Queue(TAction action, const std::string& sql, TParameters parameters, TQueued queued) {
    if (action != action_ || sql != sql_ || runs_.size() >= kBatchRows) {
      Flush();
      action_ = action;
      sql_ = sql;
    }
    runs_.push_back(std::move(parameters));
    queued_.push_back(queued);
  }

  void QueueDelete(const TRecordsetRow& row) {
    const std::vector<TVariant>& values = row.Original.empty() ? row.Values : row.Original;
    TStatementBuilder builder(dialect_);
    std::string keys;
    for (int key : target_.Keys) keys += (keys.empty() ? "" : ", ") + Column(key);
    const std::string sql = dialect_.InsertReturning(
        "DELETE FROM " + target_.QualifiedName + " WHERE " + KeyCondition(builder, values), keys);
    Queue(TAction::taDelete, sql, builder.Parameters(), {&row, &values, nullptr});
    ++changes_.Deleted;
  }

  void QueueUpdate(const TRecordsetRow& row) {
    const std::vector<TVariant>& original = row.Original.empty() ? row.Values : row.Original;
    TStatementBuilder builder(dialect_);
    std::string set, where = KeyCondition(builder, original);
    for (int field : target_.Columns) {
      // Any field of the same base column may carry the change.
      bool changed = false;
      int source = field;
      for (size_t i = 0; i < schema_.Fields.size(); ++i) {
        if (target_.ColumnOf[i] == target_.ColumnOf[field] && i < row.Modified.size() &&
            row.Modified[i]) {
          changed = true;
          source = static_cast<int>(i);
          break;
        }
      }
      if (!changed) continue;
      const TRecordsetField& f = schema_.Fields[source];
      if (!set.empty()) set += ", ";
      set += Column(field) + " = " + builder.Value(f, row.Values[source]);
      if (!f.KeyColumn) where += " AND " + builder.Matches(Column(field), f, original[source]);
    }
    std::vector<TVariant>* answer = nullptr;
    if (keep_updated_) answer = &updated_.emplace_back(row.Values);
    if (set.empty()) return;  // only columns that are not the table's were changed
    const std::string sql = dialect_.InsertReturning(
        "UPDATE " + target_.QualifiedName + " SET " + set + " WHERE " + where, table_columns_);
    Queue(TAction::taUpdate, sql, builder.Parameters(), {&row, &original, answer});
    ++changes_.Updated;
  }

  void QueueInsert(const TRecordsetRow& row) {
    std::vector<TVariant>* answer = &inserted_.emplace_back(row.Values);
    std::string columns;
    for (int field : target_.Columns) {
      if (row.Values[field].IsClear()) continue;  // the database's default
      columns += (columns.empty() ? "" : ", ") + Column(field);
    }
    // Runs of the same columns share their statement; its values come when it is sent.
    Queue(TAction::taInsert, columns, TParameters(), {&row, nullptr, answer});
    ++changes_.Inserted;
  }

  // Sends the batch and takes in what it answered.
  void Flush() {
    if (runs_.empty()) return;
    TBatchResult result;
    if (action_ == TAction::taInsert) {
      SendInserts(result);
    } else {
      database_.ExecuteBatch(sql_, runs_, options_, result);
    }
    for (size_t r = 0; r < queued_.size(); ++r) {
      const TQueued& queued = queued_[r];
      const size_t first = r == 0 ? 0 : result.RunEnds[r - 1];
      const size_t count = result.RunEnds[r] - first;
      if (action_ == TAction::taDelete) CheckOneRow(count, *queued.Original, "delete");
      if (action_ == TAction::taUpdate) CheckOneRow(count, *queued.Original, "update");
      if (count == 1 && queued.Answer != nullptr) Merge(*queued.Answer, result.Rows[first]);
    }
    runs_.clear();
    queued_.clear();
    action_ = TAction::taNone;
  }

  // The queued inserts (sql_ holds their column list), in one batch of the database's own.
  void SendInserts(TBatchResult& result) {
    if (sql_.empty()) {
      // DEFAULT VALUES takes one row a statement.
      const std::string sql = dialect_.InsertReturning(
          "INSERT INTO " + target_.QualifiedName + " DEFAULT VALUES", table_columns_);
      database_.ExecuteBatch(sql, runs_, options_, result);
      return;
    }
    std::vector<std::string> columns;
    const TRecordsetRow& model = *queued_[0].Row;
    for (int field : target_.Columns) {
      if (!model.Values[field].IsClear()) columns.push_back(schema_.Fields[field].BaseColumn);
    }
    std::vector<TParameters> rows;
    rows.reserve(queued_.size());
    for (const TQueued& queued : queued_) {
      TStatementBuilder builder(dialect_);
      for (int field : target_.Columns) {
        const TVariant& value = queued.Row->Values[field];
        if (!value.IsClear()) builder.Value(schema_.Fields[field], value);
      }
      rows.push_back(builder.Parameters());
    }
    database_.InsertRows(target_.QualifiedName, columns, table_columns_, rows, options_, result);
  }

  // Replaces values with the row the database holds now (defaults, triggers and the columns
  // other clients changed), given as the table's columns in order.
  void Merge(std::vector<TVariant>& values, const std::vector<TVariant>& read) {
    if (read.size() != target_.Columns.size()) return;
    for (size_t i = 0; i < schema_.Fields.size(); ++i) {
      const int column = target_.ColumnOf[i];
      if (column < 0) continue;
      try {
        values[i] = CoerceFieldValue(schema_.Fields[i], read[column]);
      } catch (const EDatabaseError&) {
        // A stored value the client's column cannot hold: the client keeps its own.
      } catch (const EVariantError&) {
      }
    }
  }

  IDatabase& database_;
  const ISqlDialect& dialect_;
  const TRecordsetData& delta_;
  const TRecordsetSchema& schema_;
  TTarget target_;
  TStatementOptions options_;
  std::string table_columns_;  // the table's columns, quoted, in the order of target_.Columns
  bool keep_updated_ = false;  // updated rows come back (the delta inserts too)
  // The answers, in the delta's order; a deque keeps them where the batch points at them.
  std::deque<std::vector<TVariant>> updated_, inserted_;
  // The batch: one statement (for inserts: their column list) and its runs.
  TAction action_ = TAction::taNone;
  std::string sql_;
  std::vector<TParameters> runs_;
  std::vector<TQueued> queued_;
  TRecordsetData reply_;
  TTableChange changes_;
};

}  // namespace

std::string ApplyDelta(IDatabase& database, TTransactionStack& transactions,
                       const TRecordsetData& delta, TDeltaOutcome* outcome) {
  bool changes = false;
  for (const auto& row : delta.Rows) changes |= row->Status != TRowStatus::rsUnmodified;
  TRecordsetData nothing;
  nothing.Schema = delta.Schema;
  if (!changes) return WriteAdoXml(nothing);

  TDeltaApplier applier(database, delta);  // refuses a delta without a table before it begins
  const int outer = transactions.Level();
  transactions.Begin();
  try {
    applier.Apply();
    std::string document = WriteAdoXml(applier.Reply());
    transactions.Commit();
    if (outcome != nullptr) {
      outcome->Table = applier.Table();
      outcome->Changes = applier.Changes();
    }
    return document;
  } catch (...) {
    if (transactions.Level() > outer) {
      try {
        transactions.Rollback();
      } catch (...) {
        // The database ended the transaction by itself; the level is brought in line below.
      }
    }
    if (outer == 0) transactions.SyncWithDatabase();
    throw;
  }
}

void HandleApplyUpdates(TSession& session, TRemoteCommand& request, TRemoteCommand& reply) {
  std::string text = request.GetDataText();
  if (text.empty()) {
    throw EServerError(kErrMalformedRequest, "The request carries no delta");
  }
  const TRecordsetData delta = ReadAdoXmlInPlace(text);
  TSessionDatabase& database = session.DatabaseFor(request.ConnectionName);
  TDeltaOutcome outcome;
  const std::string document =
      ApplyDelta(*database.Database, database.Transactions, delta, &outcome);
  reply.Data.WriteBuffer(document.data(), static_cast<int64_t>(document.size()));
  session.TableChanged(request.ConnectionName, outcome.Table, outcome.Changes);
}

void RegisterApplyUpdates(TDispatchTable& table) {
  table.Register(cmdApplyUpdates, HandleApplyUpdates);
}

}  // namespace larkspire::server
