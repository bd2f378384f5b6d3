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

// The NAME of a NAME=VALUE text, without a leading ":".
std::string ParamName(const std::string& given) {
  std::string name = given.substr(0, given.find('='));
  if (!name.empty() && name[0] == ':') name.erase(0, 1);
  return name;
}

}  // namespace

TStatementSession::TStatementSession(TLarkspireConnection& connection, const TOutputOptions& output,
                                     const std::vector<std::string>& params, std::ostream& out,
                                     std::ostream& err)
    : connection_(connection),
      output_(output),
      params_(params),
      used_(params.size(), false),
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

void TStatementSession::RunControl(TControl control) {
  if (control == kBegin) {
    connection_.StartTransaction();
    out_ << "BEGIN\n";
    return;
  }
  if (!connection_.InTransaction()) {
    err_ << "warning: there is no transaction in progress\n";
    return;
  }
  if (control == kCommit) {
    connection_.CommitTransaction();
    out_ << "COMMIT\n";
  } else {
    connection_.RollbackTransaction();
    out_ << "ROLLBACK\n";
  }
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
  std::vector<std::string> mine;
  for (size_t i = 0; i < params_.size(); ++i) {
    const std::string name = ParamName(params_[i]);
    for (int p = 0; p < query.Parameters().Count(); ++p) {
      if (strcasecmp(query.Parameters()[p].Name.c_str(), name.c_str()) != 0) continue;
      mine.push_back(params_[i]);
      used_[i] = true;
      break;
    }
  }
  BindStatementParameters(query, mine);
  if (AnswersWithRows(statement)) {
    query.Open();
    // A statement such as "with .. delete" without RETURNING answers with no columns at all.
    if (query.Active() && query.FieldCount() > 0) PrintRows(query, output_, out_);
  } else {
    const int32_t rows = query.ExecSQL();
    out_ << rows << " rows affected\n";
  }
  out_.flush();
}

void TStatementSession::CheckEveryParamUsed() const {
  for (size_t i = 0; i < params_.size(); ++i)
    if (!used_[i])
      throw EUsageError("no statement has the parameter \":" + ParamName(params_[i]) + "\"");
}

}  // namespace larkspire::cli
