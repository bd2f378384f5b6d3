#include "cli/sql_source.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "cli/error_report.h"

namespace larkspire::cli {
namespace {

bool IsWordStart(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  return std::isalpha(u) || c == '_' || u >= 0x80;
}

bool IsWordChar(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  return std::isalnum(u) || c == '_' || c == '$' || u >= 0x80;
}

bool IsBlank(char c) {
  return std::isspace(static_cast<unsigned char>(c)) != 0;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string ReadAll(std::istream& in) {
  std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  // A byte order mark some editors write is not part of the SQL.
  if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
  return text;
}

}  // namespace

void TStatementSplitter::Feed(const std::string& text) {
  buffer_ += text;
  for (;;) {
    const size_t end = Scan();
    if (end == std::string::npos) break;
    if (content_) ready_.push_back(TakeStatement());
    pos_ = end + 1;
    start_ = pos_;
    Reset();
  }
  // Statements already taken need not stay in the buffer.
  if (start_ > 4096 && start_ > buffer_.size() / 2) {
    buffer_.erase(0, start_);
    pos_ -= start_;
    content_end_ = content_end_ >= start_ ? content_end_ - start_ : 0;
    start_ = 0;
  }
}

bool TStatementSplitter::Next(TSqlStatement& statement) {
  if (ready_.empty()) return false;
  statement = std::move(ready_.front());
  ready_.pop_front();
  return true;
}

bool TStatementSplitter::Finish(TSqlStatement& statement) {
  if (Next(statement)) return true;
  // A line end lets the scan judge the last characters; whatever follows the last ";" is one
  // more statement, even inside an unclosed quote (the server then says what is wrong).
  Feed("\n");
  if (Next(statement)) return true;
  if (state_ == kQuoted || state_ == kDollarQuoted) NoteContent(buffer_.size());
  const bool any = content_;
  if (any) statement = TakeStatement();
  buffer_.clear();
  start_ = pos_ = 0;
  state_ = kNormal;
  Reset();
  return any;
}

bool TStatementSplitter::Pending() const {
  if (content_ || !ready_.empty()) return true;
  for (size_t i = start_; i < buffer_.size(); ++i)
    if (!IsBlank(buffer_[i])) return true;
  return false;
}

void TStatementSplitter::Reset() {
  content_ = false;
  content_end_ = start_;
  words_.clear();
  word_count_ = 0;
  returning_ = false;
  trigger_ = false;
  trigger_body_ = false;
  last_word_.clear();
}

void TStatementSplitter::NoteContent(size_t end) {
  content_ = true;
  content_end_ = end;
}

void TStatementSplitter::NoteWord(const std::string& word) {
  ++word_count_;
  if (words_.size() < 4) words_.push_back(word);
  if (word == "returning") returning_ = true;
  if (word == "trigger" && word_count_ <= 4 && words_[0] == "create") trigger_ = true;
  if (trigger_ && word == "begin") trigger_body_ = true;
  last_word_ = word;
}

TSqlStatement TStatementSplitter::TakeStatement() {
  TSqlStatement statement;
  size_t begin = start_;
  while (begin < content_end_ && IsBlank(buffer_[begin])) ++begin;
  size_t end = content_end_;
  while (end > begin && IsBlank(buffer_[end - 1])) --end;
  statement.text = buffer_.substr(begin, end - begin);
  statement.leading_words = words_;
  statement.returning = returning_;
  return statement;
}

size_t TStatementSplitter::Scan() {
  const size_t size = buffer_.size();
  while (pos_ < size) {
    const char c = buffer_[pos_];
    switch (state_) {
      case kNormal:
        if (IsBlank(c)) {
          ++pos_;
        } else if (c == ';') {
          // Inside a trigger's BEGIN .. END body only "END;" ends the statement.
          if (!trigger_body_ || last_word_ == "end") return pos_;
          last_word_.clear();
          ++pos_;
        } else if (c == '\'' || c == '"' || c == '`' || c == '[') {
          state_ = kQuoted;
          close_quote_ = c == '[' ? ']' : c;
          last_word_.clear();
          NoteContent(++pos_);
        } else if (c == '-' || c == '/') {
          if (pos_ + 1 >= size) return std::string::npos;
          if (buffer_[pos_ + 1] == (c == '-' ? '-' : '*')) {
            state_ = c == '-' ? kLineComment : kBlockComment;
            pos_ += 2;
          } else {
            last_word_.clear();
            NoteContent(++pos_);
          }
        } else if (c == '$' && (pos_ == start_ || !IsWordChar(buffer_[pos_ - 1]))) {
          size_t j = pos_ + 1;
          while (j < size && IsWordChar(buffer_[j]) && buffer_[j] != '$') ++j;
          if (j >= size) return std::string::npos;
          const bool digit_tag =
              j > pos_ + 1 && std::isdigit(static_cast<unsigned char>(buffer_[pos_ + 1]));
          if (buffer_[j] == '$' && !digit_tag) {
            dollar_tag_ = buffer_.substr(pos_, j + 1 - pos_);
            state_ = kDollarQuoted;
            pos_ = j + 1;
          } else {
            ++pos_;  // a parameter such as $1 or $name
          }
          last_word_.clear();
          NoteContent(pos_);
        } else if (IsWordStart(c)) {
          size_t j = pos_ + 1;
          while (j < size && IsWordChar(buffer_[j])) ++j;
          if (j >= size) return std::string::npos;
          NoteWord(Lower(buffer_.substr(pos_, j - pos_)));
          pos_ = j;
          NoteContent(pos_);
        } else {
          last_word_.clear();
          NoteContent(++pos_);
        }
        break;
      case kQuoted: {
        const size_t k = buffer_.find(close_quote_, pos_);
        if (k == std::string::npos) {
          pos_ = size;
          return std::string::npos;
        }
        if (close_quote_ != ']' && k + 1 >= size) {
          pos_ = k;  // a doubled quote may follow
          return std::string::npos;
        }
        if (close_quote_ != ']' && buffer_[k + 1] == close_quote_) {
          pos_ = k + 2;
        } else {
          pos_ = k + 1;
          state_ = kNormal;
        }
        NoteContent(pos_);
        break;
      }
      case kLineComment: {
        const size_t k = buffer_.find('\n', pos_);
        if (k == std::string::npos) {
          pos_ = size;
          return std::string::npos;
        }
        pos_ = k + 1;
        state_ = kNormal;
        break;
      }
      case kBlockComment: {
        const size_t k = buffer_.find("*/", pos_);
        if (k == std::string::npos) {
          pos_ = size > pos_ + 1 ? size - 1 : pos_;
          return std::string::npos;
        }
        pos_ = k + 2;
        state_ = kNormal;
        break;
      }
      case kDollarQuoted: {
        const size_t k = buffer_.find(dollar_tag_, pos_);
        if (k == std::string::npos) {
          const size_t keep = dollar_tag_.size() - 1;
          if (size > pos_ + keep) pos_ = size - keep;
          return std::string::npos;
        }
        pos_ = k + dollar_tag_.size();
        state_ = kNormal;
        NoteContent(pos_);
        break;
      }
    }
  }
  return std::string::npos;
}

std::vector<TSqlStatement> SplitStatements(const std::string& text) {
  TStatementSplitter splitter;
  splitter.Feed(text);
  std::vector<TSqlStatement> statements;
  TSqlStatement statement;
  while (splitter.Finish(statement)) statements.push_back(std::move(statement));
  return statements;
}

std::vector<TSqlStatement> ReadSqlSource(const std::string& sql, const std::string& file,
                                         bool& from_input) {
  from_input = true;
  if (!file.empty()) {
    if (!sql.empty()) throw EUsageError("give the SQL or -f FILE, not both");
    std::ifstream in(file, std::ios::binary);
    if (!in) throw EUsageError(file + ": " + std::strerror(errno));
    std::string text = ReadAll(in);
    if (in.bad()) throw EUsageError(file + ": could not be read");
    return SplitStatements(text);
  }
  if (sql == "-") return SplitStatements(ReadAll(std::cin));
  if (sql.empty()) {
    if (::isatty(STDIN_FILENO))
      throw EUsageError("no SQL: give it as an argument, with -f FILE, or on standard input");
    std::vector<TSqlStatement> statements = SplitStatements(ReadAll(std::cin));
    if (statements.empty()) throw EUsageError("no SQL on standard input");
    return statements;
  }
  from_input = false;
  TSqlStatement statement;
  statement.text = sql;
  return {statement};
}

}  // namespace larkspire::cli
