#include "server/sql/database.h"

#include "server/base/server_errors.h"
#include "server/rowsets/rowset_writer.h"

namespace larkspire::server {

TDatabaseLocator ParseDatabaseLocator(const std::string& text) {
  TDatabaseLocator locator;
  locator.Text = text;
  locator.Backend = FindBackend(text);
  if (locator.Backend == nullptr) {
    std::string forms;
    for (const TBackend* backend : RegisteredBackends()) {
      forms += (forms.empty() ? "" : " or ") + backend->Form;
    }
    throw Exception("database \"" + text + "\": expected " + forms);
  }
  locator.Backend->ReadLocator(locator);
  return locator;
}

std::unique_ptr<IDatabase> OpenDatabase(const TDatabaseLocator& locator) {
  if (locator.Backend == nullptr) {
    throw EServerDatabaseError("no database backend serves " + locator.Text);
  }
  return locator.Backend->Open(locator);
}

void IDatabase::StreamQuery(const std::string& sql, const TParameters& parameters,
                            const TStatementOptions& options, TRowsetXmlWriter& writer) {
  writer.WriteWhole(OpenQuery(sql, parameters, options));
}

void IDatabase::ExecuteBatch(const std::string& sql, const std::vector<TParameters>& runs,
                             const TStatementOptions& options, TBatchResult& result) {
  for (const TParameters& run : runs) {
    TRecordsetData rows = OpenQuery(sql, run, options);
    for (auto& row : rows.Rows) result.Rows.push_back(std::move(row->Values));
    result.RunEnds.push_back(result.Rows.size());
  }
}

void IDatabase::InsertRows(const std::string& table, const std::vector<std::string>& columns,
                           const std::string& returning, const std::vector<TParameters>& runs,
                           const TStatementOptions& options, TBatchResult& result) {
  std::string names, values;
  for (size_t c = 0; c < columns.size(); ++c) {
    names += (c ? ", " : "") + Dialect().QuoteIdentifier(columns[c]);
    values += (c ? ", :v" : ":v") + std::to_string(c + 1);
  }
  const std::string sql = Dialect().InsertReturning(
      "INSERT INTO " + table + " (" + names + ") VALUES (" + values + ")", returning);
  ExecuteBatch(sql, runs, options, result);
}

void IDatabase::StreamProcedure(const std::string& name, TParameters& parameters,
                                const TStatementOptions& options, TRowsetXmlWriter& writer) {
  writer.WriteWhole(CallProcedure(name, parameters, options));
}

void IDatabase::ResetSession() {
  if (InTransaction()) Rollback();
}

void IDatabase::SetRole(const std::string& role) {
  throw EServerDatabaseError("this database has no roles, so the user's role \"" + role +
                             "\" cannot be taken");
}

void CheckDatabaseAtStart(const TDatabaseLocator& locator) {
  if (locator.Backend != nullptr && locator.Backend->OpenAtStart) OpenDatabase(locator);
}

TTransactionStack::~TTransactionStack() {
  try {
    RollbackAll();
  } catch (...) {
  }
}

std::string TTransactionStack::SavepointName(int level) {
  return "lk_" + std::to_string(level);
}

int TTransactionStack::Begin() {
  if (level_ >= kMaxLevel) {
    throw EServerError(kErrTransactionTooDeep, "Transactions cannot be nested deeper than " +
                                                   std::to_string(kMaxLevel) + " levels");
  }
  if (level_ == 0) {
    database_.Begin();
  } else {
    database_.Savepoint(SavepointName(level_ + 1));
  }
  return ++level_;
}

int TTransactionStack::Commit() {
  if (level_ == 0) throw EServerError(kErrNotInTransaction, "No transaction is open to commit");
  if (level_ == 1) {
    database_.Commit();
  } else {
    database_.ReleaseSavepoint(SavepointName(level_));
  }
  return --level_;
}

int TTransactionStack::Rollback() {
  if (level_ == 0) {
    throw EServerError(kErrNotInTransaction, "No transaction is open to roll back");
  }
  if (level_ == 1) {
    database_.Rollback();
  } else {
    database_.RollbackToSavepoint(SavepointName(level_));
  }
  return --level_;
}

bool TTransactionStack::SyncWithDatabase() {
  if (level_ > 0 && !database_.InTransaction()) {
    level_ = 0;
    return true;
  }
  return false;
}

void TTransactionStack::RollbackAll() {
  if (level_ == 0) return;
  level_ = 0;
  if (database_.InTransaction()) database_.Rollback();
}

std::optional<TDatabaseLocator> TDatabaseCatalog::Find(const std::string& name) const {
  auto found = locators_.find(name);
  if (found == locators_.end()) return std::nullopt;
  return found->second;
}

}  // namespace larkspire::server
