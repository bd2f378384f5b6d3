#include "server/commands/paging.h"

#include <algorithm>
#include <cctype>
#include <limits>

#include "platform/exception.h"
#include "protocol/param_encoding.h"
#include "server/base/server_errors.h"
#include "server/sql/sql_text.h"

namespace larkspire::server {

namespace {

int32_t ClampToInt32(int64_t value) {
  return static_cast<int32_t>(std::clamp<int64_t>(value, std::numeric_limits<int32_t>::min(),
                                                  std::numeric_limits<int32_t>::max()));
}

bool IsBlank(char c) {
  return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// The position of the first character after blanks, comments and opening parentheses.
size_t SkipToFirstWord(const std::string& sql) {
  size_t i = 0;
  while (i < sql.size()) {
    if (IsBlank(sql[i]) || sql[i] == '(') {
      ++i;
    } else if (sql.compare(i, 2, "--") == 0) {
      const size_t end = sql.find('\n', i);
      i = end == std::string::npos ? sql.size() : end + 1;
    } else if (sql.compare(i, 2, "/*") == 0) {
      const size_t end = sql.find("*/", i + 2);
      i = end == std::string::npos ? sql.size() : end + 2;
    } else {
      break;
    }
  }
  return i;
}

// The statement without the blanks and semicolons that end it.
std::string WithoutTrailingTerminators(const std::string& sql) {
  size_t end = sql.size();
  while (end > 0 && (IsBlank(sql[end - 1]) || sql[end - 1] == ';')) --end;
  return sql.substr(0, end);
}

// SQLite names the second and later columns of the same name in a subquery "name:1",
// "name:2"; the page's columns keep the names the query gave them.
void RestoreRepeatedNames(TRecordsetSchema& schema) {
  auto& fields = schema.Fields;
  for (size_t i = 1; i < fields.size(); ++i) {
    std::string& name = fields[i].Name;
    const size_t colon = name.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == name.size()) continue;
    if (name.find_first_not_of("0123456789", colon + 1) != std::string::npos) continue;
    const std::string base = name.substr(0, colon);
    for (size_t j = 0; j < i; ++j) {
      if (EqualsIgnoringCase(fields[j].Name, base)) {
        name = base;
        break;
      }
    }
  }
}

}  // namespace

TPageWindow PageWindow(int32_t page_size, int32_t page_index, int32_t max_records) {
  TPageWindow window;
  if (page_size < 1 || page_index < 1) return window;
  window.First = (int64_t{page_index} - 1) * page_size;
  window.Count = page_size;
  if (max_records > 0) {
    window.Count = std::clamp<int64_t>(int64_t{max_records} - window.First, 0, window.Count);
  }
  return window;
}

int64_t KeepPage(TRecordsetData& rows, const TPageWindow& window, int32_t max_records) {
  int64_t total = static_cast<int64_t>(rows.Rows.size());
  if (max_records > 0) total = std::min<int64_t>(total, max_records);
  auto& list = rows.Rows;
  const int64_t first = std::min<int64_t>(window.First, static_cast<int64_t>(list.size()));
  const int64_t last = std::min<int64_t>(first + window.Count, static_cast<int64_t>(list.size()));
  list.erase(list.begin() + last, list.end());
  list.erase(list.begin(), list.begin() + first);
  ++rows.Generation;
  return total;
}

bool IsPageableQuery(const std::string& sql) {
  const size_t start = SkipToFirstWord(sql);
  size_t end = start;
  while (end < sql.size() && std::isalpha(static_cast<unsigned char>(sql[end]))) ++end;
  std::string word = sql.substr(start, end - start);
  for (char& c : word) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return word == "SELECT" || word == "WITH" || word == "VALUES";
}

void ServePagedQuery(IDatabase& database, TQueryDescription& description,
                     const std::string& statement, const TStatementOptions& options,
                     TStream& paging, TRemoteCommand& reply, TRowsetXmlWriter& writer) {
  TPagingRecord request = ReadPagingRecord(paging);
  if (request.PageSize < 1) {
    throw EServerError(kErrMalformedRequest, "paging record: page size " +
                                                 std::to_string(request.PageSize) +
                                                 " is not a positive number of rows");
  }
  const TPageWindow window = PageWindow(request.PageSize, request.PageIndex, options.MaxRecords);
  TStatementOptions whole = options;
  whole.MaxRecords = 0;
  TRecordsetData rows;
  int64_t total = 0;
  bool streamed = false;
  if (description.CommandType == cmdStoredProc) {
    rows = database.CallProcedure(description.CommandText, description.Parameters, whole);
    total = KeepPage(rows, window, options.MaxRecords);
    WriteParameterList(description.Parameters, reply.Params);
  } else if (IsPageableQuery(statement)) {
    // The subquery begins and ends on a line of its own, so a trailing comment ends there.
    const std::string query = "(\n" + WithoutTrailingTerminators(statement) + "\n)";
    TRecordsetData count = database.OpenQuery("SELECT count(*) FROM " + query + " AS lk_count",
                                              description.Parameters, whole);
    if (count.Rows.size() == 1 && count.Rows[0]->Values.size() == 1) {
      total = count.Rows[0]->Values[0].AsInt64();
    }
    if (options.MaxRecords > 0) total = std::min<int64_t>(total, options.MaxRecords);
    writer.SetSchemaAdjustment(RestoreRepeatedNames);
    database.StreamQuery(database.Dialect().PageQuery(query, window.First, window.Count),
                         description.Parameters, whole, writer);
    streamed = true;
  } else {
    rows = database.OpenQuery(statement, description.Parameters, whole);
    total = KeepPage(rows, window, options.MaxRecords);
  }
  TPagingRecord answer;
  answer.RecordCount = ClampToInt32(total);
  answer.PageSize = request.PageSize;
  answer.PageIndex = request.PageIndex;
  WritePagingRecord(answer, reply.Params);
  if (!streamed) writer.WriteWhole(std::move(rows));
}

}  // namespace larkspire::server
