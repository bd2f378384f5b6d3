#include "cli/line_reader.h"

#include <editline/readline.h>
#include <signal.h>
#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <iostream>

namespace larkspire::cli {
namespace {

constexpr int kHistoryLines = 1000;

volatile sig_atomic_t interrupted = 0;

void NoteInterrupt(int) {
  interrupted = 1;
}

// While a line is read, Ctrl-C abandons the line instead of ending the program.
class TInterruptCatcher {
 public:
  TInterruptCatcher() {
    interrupted = 0;
    struct sigaction action {};
    action.sa_handler = NoteInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no restart: the read returns
    sigaction(SIGINT, &action, &previous_);
  }
  ~TInterruptCatcher() { sigaction(SIGINT, &previous_, nullptr); }
  TInterruptCatcher(const TInterruptCatcher&) = delete;
  TInterruptCatcher& operator=(const TInterruptCatcher&) = delete;

 private:
  struct sigaction previous_ {};
};

class TStreamLineReader : public TLineReader {
 public:
  explicit TStreamLineReader(std::istream& in) : in_(in) {}

  TReadResult ReadLine(const std::string&, std::string& line) override {
    if (!std::getline(in_, line)) return kEnd;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return kLine;
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

  TReadResult ReadLine(const std::string& prompt, std::string& line) override {
    char* text;
    {
      TInterruptCatcher catcher;
      text = readline(prompt.c_str());
    }
    if (interrupted) {
      std::free(text);
      std::cout << "^C\n";
      return kInterrupted;
    }
    if (text == nullptr) {
      std::cout << "\n";
      return kEnd;
    }
    line = text;
    std::free(text);
    if (line.find_first_not_of(" \t") != std::string::npos && line != last_) {
      add_history(line.c_str());
      last_ = line;
    }
    return kLine;
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
