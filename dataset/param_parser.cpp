#include "dataset/param_parser.h"

namespace larkspire {
namespace {

bool IsQuote(char c) {
  return c == '"' || c == '\'' || c == '`';
}

bool EndsName(char c) {
  return c == ' ' || c == ',' || c == ')' || c == ';' || c == '\r' || c == '\n';
}

// A name that begins with a quote loses that quote and a closing quote at its end.
std::string StripQuotes(std::string name) {
  if (!name.empty() && IsQuote(name.front())) name.erase(0, 1);
  if (!name.empty() && IsQuote(name.back())) name.pop_back();
  return name;
}

}  // namespace

std::vector<std::string> ParseParameterNames(const std::string& sql) {
  std::vector<std::string> names;
  bool quoted = false;
  size_t i = 0;
  const size_t n = sql.size();
  while (i < n) {
    const char c = sql[i];
    if (c == ':' && !quoted) {
      if (i + 1 < n && sql[i + 1] == ':') {
        i += 2;  // a literal colon pair
        continue;
      }
      const size_t start = i + 1;
      size_t end = start;
      bool starts_quoted = false;
      while (end < n && (quoted || !EndsName(sql[end]))) {
        if (IsQuote(sql[end])) {
          quoted = !quoted;
          if (end == start) starts_quoted = true;
        }
        ++end;
      }
      std::string name = sql.substr(start, end - start);
      names.push_back(starts_quoted ? StripQuotes(std::move(name)) : std::move(name));
      // The terminator is neither a quote nor a colon: step over it.
      i = end + 1;
      continue;
    }
    if (IsQuote(c)) quoted = !quoted;
    ++i;
  }
  return names;
}

int ParseSQLParameters(const std::string& sql, TParameters& params) {
  params.Clear();
  const std::vector<std::string> names = ParseParameterNames(sql);
  for (const std::string& name : names)
    params.CreateParameter(name, ftUnknown, pdInput, 0, TVariant());
  return static_cast<int>(names.size());
}

std::string NumberQuestionMarks(const std::string& sql) {
  std::string result;
  result.reserve(sql.size() + 16);
  int number = 0;
  for (char c : sql) {
    if (c == '?')
      result += ":para" + std::to_string(++number);
    else
      result += c;
  }
  return result;
}

}  // namespace larkspire
