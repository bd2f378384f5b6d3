// Where the statements of the command-line client come from: the SQL argument, a file (-f) or
// standard input ("-" or a pipe), and the splitter that cuts a text into statements ending with
// ";". A ";" inside a quoted text or name ('..', "..", `..`, [..]), a comment (-- to the end of
// the line, /* .. */), a dollar-quoted body ($$..$$, $tag$..$tag$)
// or the BEGIN .. END body of a CREATE TRIGGER does not end a statement.
//
// Thread-safety: plain values; use one splitter from one thread.
#ifndef LARKSPIRE_CLI_SQL_SOURCE_H_
#define LARKSPIRE_CLI_SQL_SOURCE_H_

#include <cstddef>
#include <deque>
#include <string>
#include <vector>

namespace larkspire::cli {

struct TSqlStatement {
  std::string text;  // without the closing ";", blanks around it removed
  // The first words outside quotes and comments, in lower case (at most four).
  std::vector<std::string> leading_words;
  // The word RETURNING appears outside quotes and comments (a change that answers with rows).
  bool returning = false;
};

class TStatementSplitter {
 public:
  // Adds text (a whole line with its "\n", or a whole file).
  void Feed(const std::string& text);
  // Takes the next complete statement; false when none is complete yet. Empty statements
  // (";;", only comments) are skipped.
  bool Next(TSqlStatement& statement);
  // Takes what is left after the last ";" as a statement (at the end of the input); false when
  // it holds nothing but blanks and comments.
  bool Finish(TSqlStatement& statement);
  // Something other than blanks has been fed since the last complete statement.
  bool Pending() const;
  // The scan stands inside a quoted text, a name, a comment or a dollar-quoted body.
  bool InsideLiteral() const { return state_ != kNormal; }

 private:
  enum TState { kNormal, kQuoted, kLineComment, kBlockComment, kDollarQuoted };

  // Scans from pos_ and returns where the next complete statement ends (its ";"), or npos when
  // the text fed so far holds none (the scan then waits at the first character it cannot judge
  // yet).
  size_t Scan();
  void NoteWord(const std::string& word);
  void NoteContent(size_t end);
  TSqlStatement TakeStatement();
  void Reset();

  std::string buffer_;
  size_t start_ = 0;  // where the current statement begins in buffer_
  size_t pos_ = 0;    // where the scan goes on
  TState state_ = kNormal;
  char close_quote_ = 0;
  std::string dollar_tag_;
  bool content_ = false;    // the statement has something outside comments
  size_t content_end_ = 0;  // where its last character outside comments ends
  std::vector<std::string> words_;
  size_t word_count_ = 0;
  bool returning_ = false;
  bool trigger_ = false;       // CREATE .. TRIGGER
  bool trigger_body_ = false;  // .. and its BEGIN has been seen
  std::string last_word_;
  std::deque<TSqlStatement> ready_;
};

// The statements to run: the SQL argument as one statement, or, split, the text of the file
// (when file is not empty), of standard input (when sql is "-", or when sql is empty and
// standard input is not a terminal). Throws EUsageError when there is no SQL or a file cannot be
// read. from_input tells whether the statements were read (and split) rather than given.
std::vector<TSqlStatement> ReadSqlSource(const std::string& sql, const std::string& file,
                                         bool& from_input);
// The statements of a whole text.
std::vector<TSqlStatement> SplitStatements(const std::string& text);

}  // namespace larkspire::cli

#endif  // LARKSPIRE_CLI_SQL_SOURCE_H_
