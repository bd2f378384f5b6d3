#include "server/notify/table_changes.h"

#include <cctype>

#include "server/notify/notification_hub.h"

namespace larkspire::server {

namespace {

// Reads SQL text word by word, skipping white space and comments.
class TSqlScanner {
 public:
  explicit TSqlScanner(const std::string& sql) : sql_(sql) {}

  void SkipBlank() {
    for (;;) {
      while (pos_ < sql_.size() && std::isspace(static_cast<unsigned char>(sql_[pos_]))) ++pos_;
      if (sql_.compare(pos_, 2, "--") == 0) {
        const size_t end = sql_.find('\n', pos_);
        pos_ = end == std::string::npos ? sql_.size() : end + 1;
      } else if (sql_.compare(pos_, 2, "/*") == 0) {
        const size_t end = sql_.find("*/", pos_ + 2);
        pos_ = end == std::string::npos ? sql_.size() : end + 2;
      } else {
        return;
      }
    }
  }

  // The next bare word in upper case (empty at anything else); the position moves past it.
  std::string Word() {
    SkipBlank();
    std::string word;
    while (pos_ < sql_.size() && IsWordCharacter(sql_[pos_])) {
      word.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(sql_[pos_]))));
      ++pos_;
    }
    return word;
  }

  // Moves past the next word when it is word (upper case).
  bool Accept(const char* word) {
    const size_t start = pos_;
    if (Word() == word) return true;
    pos_ = start;
    return false;
  }

  // A possibly qualified name; answers its last part as written (unquoted), or empty.
  std::string Name() {
    std::string part;
    for (;;) {
      SkipBlank();
      part = Part();
      if (part.empty()) return "";
      SkipBlank();
      if (pos_ < sql_.size() && sql_[pos_] == '.') {
        ++pos_;
        continue;
      }
      return part;
    }
  }

  // Whether the rest holds another statement (a ';' outside literals followed by more text).
  bool MoreStatements() {
    while (pos_ < sql_.size()) {
      const char c = sql_[pos_];
      if (c == '\'' || c == '"' || c == '`') {
        const size_t end = sql_.find(c, pos_ + 1);
        pos_ = end == std::string::npos ? sql_.size() : end + 1;
      } else if (sql_.compare(pos_, 2, "--") == 0 || sql_.compare(pos_, 2, "/*") == 0) {
        SkipBlank();
      } else if (c == ';') {
        ++pos_;
        SkipBlank();
        if (pos_ < sql_.size() && sql_[pos_] != ';') return true;
      } else {
        ++pos_;
      }
    }
    return false;
  }

 private:
  static bool IsWordCharacter(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '$' ||
           (static_cast<unsigned char>(c) & 0x80) != 0;
  }

  std::string Part() {
    if (pos_ >= sql_.size()) return "";
    const char open = sql_[pos_];
    const char close = open == '[' ? ']' : open;
    if (open == '"' || open == '`' || open == '[') {
      std::string part;
      for (size_t i = pos_ + 1; i < sql_.size(); ++i) {
        if (sql_[i] != close) {
          part.push_back(sql_[i]);
        } else if (close != ']' && i + 1 < sql_.size() && sql_[i + 1] == close) {
          part.push_back(close);  // a doubled quote stands for itself
          ++i;
        } else {
          pos_ = i + 1;
          return part;
        }
      }
      return "";  // an unterminated quote
    }
    std::string part;
    while (pos_ < sql_.size() && IsWordCharacter(sql_[pos_])) part.push_back(sql_[pos_++]);
    return part;
  }

  const std::string& sql_;
  size_t pos_ = 0;
};

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

std::string TableChannel(const std::string& table) {
  return "table:" + Lower(table);
}

std::string TableChangePayload(const TTableChange& change) {
  return "{\"inserted\":" + std::to_string(change.Inserted) +
         ",\"updated\":" + std::to_string(change.Updated) +
         ",\"deleted\":" + std::to_string(change.Deleted) + "}";
}

std::optional<TStatementTarget> StatementTarget(const std::string& sql) {
  TSqlScanner scanner(sql);
  TStatementTarget target;
  const std::string verb = scanner.Word();
  if (verb == "INSERT" || verb == "REPLACE") {
    target.Kind = TStatementKind::skInsert;
    // SQLite's INSERT OR REPLACE / OR IGNORE ...
    if (verb == "INSERT" && scanner.Accept("OR")) scanner.Word();
    if (!scanner.Accept("INTO")) return std::nullopt;
  } else if (verb == "UPDATE") {
    target.Kind = TStatementKind::skUpdate;
    if (scanner.Accept("OR")) scanner.Word();
    scanner.Accept("ONLY");
  } else if (verb == "DELETE") {
    target.Kind = TStatementKind::skDelete;
    if (!scanner.Accept("FROM")) return std::nullopt;
    scanner.Accept("ONLY");
  } else {
    return std::nullopt;
  }
  target.Table = scanner.Name();
  if (target.Table.empty() || scanner.MoreStatements()) return std::nullopt;
  return target;
}

void TPendingTableChanges::Add(const std::string& database, const std::string& table,
                               const TTableChange& change) {
  TTableChange& sum = pending_[database][Lower(table)];
  sum.Inserted += change.Inserted;
  sum.Updated += change.Updated;
  sum.Deleted += change.Deleted;
}

void TPendingTableChanges::Publish(const std::string& database, TNotificationHub& hub) {
  auto found = pending_.find(database);
  if (found == pending_.end()) return;
  for (const auto& [table, change] : found->second) {
    if (!change.Empty()) hub.Publish(TableChannel(table), TableChangePayload(change));
  }
  pending_.erase(found);
}

}  // namespace larkspire::server
