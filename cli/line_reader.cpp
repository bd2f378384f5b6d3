#include "cli/line_reader.h"

#include <editline/readline.h>
#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <iostream>

namespace larkspire::cli {
namespace {

constexpr int kHistoryLines = 1000;

class TStreamLineReader : public TLineReader {
 public:
  explicit TStreamLineReader(std::istream& in) : in_(in) {}

  bool ReadLine(const std::string&, std::string& line) override {
    if (!std::getline(in_, line)) return false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
  }
  bool Interactive() const override { return false; }

 private:
  std::istream& in_;
};

class TEditLineReader : public TLineReader {
 public:
  TEditLineReader() {
    // Multibyte characters are edited as characters, not bytes.
    std::setlocale(LC_CTYPE, "");
    rl_readline_name = "larkspire";
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
      history_file_ = std::string(home) + "/.larkspire_history";
      read_history(history_file_.c_str());
    }
    stifle_history(kHistoryLines);
  }

  ~TEditLineReader() override {
    if (!history_file_.empty()) write_history(history_file_.c_str());
  }

  bool ReadLine(const std::string& prompt, std::string& line) override {
    char* text = readline(prompt.c_str());
    if (text == nullptr) {
      std::cout << "\n";
      return false;
    }
    line = text;
    std::free(text);
    if (line.find_first_not_of(" \t") != std::string::npos && line != last_) {
      add_history(line.c_str());
      last_ = line;
    }
    return true;
  }
  bool Interactive() const override { return true; }

 private:
  std::string history_file_;
  std::string last_;
};

}  // namespace

std::unique_ptr<TLineReader> TLineReader::ForStandardInput() {
  if (::isatty(STDIN_FILENO)) return std::make_unique<TEditLineReader>();
  return std::make_unique<TStreamLineReader>(std::cin);
}

std::unique_ptr<TLineReader> TLineReader::ForStream(std::istream& in) {
  return std::make_unique<TStreamLineReader>(in);
}

}  // namespace larkspire::cli
