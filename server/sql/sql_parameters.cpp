#include "server/sql/sql_parameters.h"

#include <cctype>
#include <unordered_map>

#include "platform/datetime.h"
#include "platform/variant.h"
#include "server/sql/sql_text.h"

namespace larkspire::server {

namespace {

bool IsNameChar(unsigned char c) {
  return std::isalnum(c) || c == '_' || c >= 0x80;
}

bool IsNameStart(unsigned char c) {
  return IsNameChar(c) && !std::isdigit(c);
}

bool IsDateTimeType(TFieldType type) {
  return type == ftDate || type == ftTime || type == ftDateTime || type == ftTimeStamp;
}

// The end (one past) of the quoted text that starts at `start` with `quote`; a doubled quote
// stands for itself, and with backslash escapes a backslash takes the next character.
size_t SkipQuoted(const std::string& sql, size_t start, char quote, bool backslashes) {
  size_t i = start + 1;
  while (i < sql.size()) {
    if (backslashes && sql[i] == '\\') {
      i += 2;
    } else if (sql[i] == quote) {
      if (i + 1 < sql.size() && sql[i + 1] == quote) {
        i += 2;
      } else {
        return i + 1;
      }
    } else {
      ++i;
    }
  }
  return sql.size();
}

// A dollar quote's tag ("$$" or "$tag$") starting at `start`, or empty when there is none.
std::string DollarTag(const std::string& sql, size_t start) {
  size_t i = start + 1;
  if (i < sql.size() && IsNameStart(static_cast<unsigned char>(sql[i]))) {
    while (i < sql.size() && IsNameChar(static_cast<unsigned char>(sql[i]))) ++i;
  }
  if (i < sql.size() && sql[i] == '$') return sql.substr(start, i + 1 - start);
  return std::string();
}

// The end of a /* */ comment starting at `start`; they nest, as PostgreSQL's do.
size_t SkipBlockComment(const std::string& sql, size_t start) {
  int depth = 0;
  size_t i = start;
  while (i + 1 < sql.size()) {
    if (sql[i] == '/' && sql[i + 1] == '*') {
      ++depth;
      i += 2;
    } else if (sql[i] == '*' && sql[i + 1] == '/') {
      i += 2;
      if (--depth == 0) return i;
    } else {
      ++i;
    }
  }
  return sql.size();
}

}  // namespace

TSqlValue SqlValueOf(const TParameter& parameter) {
  const TVariant& value = parameter.Value;
  TSqlValue result;
  switch (value.Type()) {
    case TVarType::vtEmpty:
    case TVarType::vtNull:
      break;
    case TVarType::vtBoolean:
      result.Kind = TSqlValue::svBoolean;
      result.Integer = value.AsBoolean() ? 1 : 0;
      break;
    case TVarType::vtInteger:
    case TVarType::vtInt64:
      if (IsDateTimeType(parameter.DataType)) {
        result.Kind = TSqlValue::svDateTime;
        result.Text = DateTimeToText(value.AsDouble());
      } else {
        result.Kind = TSqlValue::svInteger;
        result.Integer = value.AsInt64();
      }
      break;
    case TVarType::vtDouble:
      if (IsDateTimeType(parameter.DataType)) {
        result.Kind = TSqlValue::svDateTime;
        result.Text = DateTimeToText(value.AsDouble());
      } else {
        result.Kind = TSqlValue::svDouble;
        result.Double = value.AsDouble();
      }
      break;
    case TVarType::vtCurrency:
      result.Kind = TSqlValue::svDecimal;
      result.Text = CurrencyToText(value.AsCurrency());
      break;
    case TVarType::vtDateTime:
      result.Kind = TSqlValue::svDateTime;
      result.Text = DateTimeToText(value.AsDateTime());
      break;
    case TVarType::vtString:
      result.Kind = TSqlValue::svText;
      result.Text = value.AsString();
      break;
    case TVarType::vtBytes:
      result.Kind = TSqlValue::svBlob;
      result.Blob = value.AsBytes();
      break;
  }
  return result;
}

TRewrittenSql RewriteNamedParameters(const std::string& sql) {
  TRewrittenSql result;
  // The number of each name met so far (a statement of many rows has thousands).
  std::unordered_map<std::string, size_t> numbers;
  std::string& out = result.Text;
  out.reserve(sql.size() + 8);
  size_t i = 0;
  auto copy_to = [&](size_t end) {
    out.append(sql, i, end - i);
    i = end;
  };
  while (i < sql.size()) {
    const char c = sql[i];
    const char next = i + 1 < sql.size() ? sql[i + 1] : '\0';
    if (c == '\'') {
      // E'...' strings take backslash escapes.
      bool escapes = i > 0 && (sql[i - 1] == 'E' || sql[i - 1] == 'e') &&
                     (i < 2 || !IsNameChar(static_cast<unsigned char>(sql[i - 2])));
      copy_to(SkipQuoted(sql, i, '\'', escapes));
    } else if (c == '"') {
      copy_to(SkipQuoted(sql, i, '"', false));
    } else if (c == '-' && next == '-') {
      size_t end = sql.find('\n', i);
      copy_to(end == std::string::npos ? sql.size() : end);
    } else if (c == '/' && next == '*') {
      copy_to(SkipBlockComment(sql, i));
    } else if (c == '$' && (i == 0 || !IsNameChar(static_cast<unsigned char>(sql[i - 1])))) {
      std::string tag = DollarTag(sql, i);
      if (tag.empty()) {
        copy_to(i + 1);
      } else {
        size_t end = sql.find(tag, i + tag.size());
        copy_to(end == std::string::npos ? sql.size() : end + tag.size());
      }
    } else if (c == ':' && next == ':') {
      copy_to(i + 2);
    } else if (c == ':' && (IsNameStart(static_cast<unsigned char>(next)) || next == '"')) {
      std::string name;
      size_t end;
      if (next == '"') {
        end = sql.find('"', i + 2);
        if (end == std::string::npos) {
          copy_to(sql.size());
          break;
        }
        name = sql.substr(i + 2, end - i - 2);
        ++end;
      } else {
        end = i + 1;
        while (end < sql.size() && IsNameChar(static_cast<unsigned char>(sql[end]))) ++end;
        name = sql.substr(i + 1, end - i - 1);
      }
      const auto [found, added] = numbers.emplace(LowerAscii(name), result.Names.size());
      const size_t number = found->second;
      if (added) result.Names.push_back(name);
      out += '$';
      out += std::to_string(number + 1);
      i = end;
    } else {
      // Copy a run of ordinary characters at once.
      size_t end = i + 1;
      while (end < sql.size() && std::string_view("'\"-/$:").find(sql[end]) == std::string::npos)
        ++end;
      copy_to(end);
    }
  }
  return result;
}

const TParameter* FindSqlParameter(const TParameters& parameters, const std::string& name) {
  const std::string wanted = LowerAscii(BareParameterName(name));
  for (int i = 0; i < parameters.Count(); ++i) {
    if (LowerAscii(BareParameterName(parameters[i].Name)) == wanted) return &parameters[i];
  }
  return nullptr;
}

}  // namespace larkspire::server
