#include "cli/statement_session.h"

#include <strings.h>

#include <algorithm>
#include <array>

#include "cli/error_report.h"
#include "cli/statements.h"
#include "components/query.h"

namespace larkspire::cli {
namespace {

bool AnswersWithRows(const TSqlStatement& statement) {
  static const std::array<const char*, 7> kRowWords = {"select",  "with", "values", "pragma",
                                                       "explain", "show", "table"};
  if (statement.returning) return true;
  if (statement.leading_words.empty()) return false;
  const std::string& first = statement.leading_words[0];
  return std::any_of(kRowWords.begin(), kRowWords.end(),
                     [&first](const char* word) { return first == word; });
}

bool HasParameter(TLarkspireQuery& query, const std::string& name) {
  for (int p = 0; p < query.Parameters().Count(); ++p)
    if (strcasecmp(query.Parameters()[p].Name.c_str(), name.c_str()) == 0) return true;
  return false;
}

// The entries of given that the query names, marking them in used.
std::vector<std::string> Named(TLarkspireQuery& query, const std::vector<std::string>& given,
                               std::vector<bool>& used) {
  std::vector<std::string> named;
  for (size_t i = 0; i < given.size(); ++i) {
    if (!HasParameter(query, ParameterName(given[i]))) continue;
    named.push_back(given[i]);
    used[i] = true;
  }
  return named;
}

}  // namespace

TStatementSession::TStatementSession(TLarkspireConnection& connection, const TOutputOptions& output,
                                     const TParameterArgs& parameters, std::ostream& out,
                                     std::ostream& err)
    : connection_(connection),
      output_(output),
      parameters_(parameters),
      params_used_(parameters.params.size(), false),
      nulls_used_(parameters.nulls.size(), false),
      out_(out),
      err_(err) {}

TStatementSession::TControl TStatementSession::ControlOf(const TSqlStatement& statement) {
  const std::vector<std::string>& words = statement.leading_words;
  if (words.empty() || words.size() > 2) return kNotControl;
  const bool plain = words.size() == 1 || words[1] == "transaction" || words[1] == "work";
  if (words[0] == "start")
    return words.size() == 2 && words[1] == "transaction" ? kBegin : kNotControl;
  if (!plain) return kNotControl;
  if (words[0] == "begin") return kBegin;
  if (words[0] == "commit" || words[0] == "end") return kCommit;
  if (words[0] == "rollback" || words[0] == "abort") return kRollback;
  return kNotControl;
}

void TStatementSession::DropEndedTransactions() {
  while (!transactions_.empty() && !transactions_.back()->Active()) transactions_.pop_back();
}

void TStatementSession::RollbackOpenTransactions() {
  DropEndedTransactions();
  while (!transactions_.empty()) {
    transactions_.back()->Rollback();
    transactions_.pop_back();
    DropEndedTransactions();
  }
}

void TStatementSession::RunControl(TControl control) {
  DropEndedTransactions();
  if (control == kBegin) {
    transactions_.push_back(std::make_unique<TLarkspireTransaction>(connection_));
    out_ << "BEGIN\n";
    return;
  }
  if (transactions_.empty()) {
    err_ << "warning: there is no transaction in progress\n";
    return;
  }
  // A refused commit or rollback raises and keeps the guard: the transaction is still open.
  if (control == kCommit) {
    transactions_.back()->Commit();
    out_ << "COMMIT\n";
  } else {
    transactions_.back()->Rollback();
    out_ << "ROLLBACK\n";
  }
  transactions_.pop_back();
}

void TStatementSession::Run(const TSqlStatement& statement) {
  const TControl control = ControlOf(statement);
  if (control != kNotControl) {
    RunControl(control);
    return;
  }
  TLarkspireQuery query;
  query.SetName("Query");
  query.SetConnection(&connection_);
  query.SQL().SetText(statement.text);
  // Each statement takes the values it names; one it names but nobody gave is an error.
  TParameterArgs mine;
  mine.params = Named(query, parameters_.params, params_used_);
  mine.nulls = Named(query, parameters_.nulls, nulls_used_);
  BindStatementParameters(query, mine);
  if (AnswersWithRows(statement)) {
    // A statement such as "with .. delete" without RETURNING answers with no columns at all.
    StreamRows(query, output_, out_, false);
  } else {
    const int32_t rows = query.ExecSQL();
    out_ << rows << " rows affected\n";
  }
  out_.flush();
}

void TStatementSession::CheckEveryParamUsed() const {
  const auto check = [](const std::vector<std::string>& given, const std::vector<bool>& used) {
    for (size_t i = 0; i < given.size(); ++i)
      if (!used[i])
        throw EUsageError("no statement has the parameter \":" + ParameterName(given[i]) + "\"");
  };
  check(parameters_.params, params_used_);
  check(parameters_.nulls, nulls_used_);
}

}  // namespace larkspire::cli
