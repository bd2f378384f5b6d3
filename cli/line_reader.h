// TLineReader: the lines a user types into the shell. On a terminal they come through libedit,
// with line editing and a history kept in ~/.larkspire_history; otherwise (a pipe, a file) they
// are read plainly and no prompt is shown. On a terminal Ctrl-C while a line is typed abandons
// it (and the statement begun) instead of ending the program.
//
// Thread-safety: one reader at a time, on the main thread (libedit keeps global state).
#ifndef LARKSPIRE_CLI_LINE_READER_H_
#define LARKSPIRE_CLI_LINE_READER_H_

#include <istream>
#include <memory>
#include <string>

namespace larkspire::cli {

class TLineReader {
 public:
  enum TReadResult { kLine, kInterrupted, kEnd };

  virtual ~TLineReader() = default;
  // Reads one line without its line end.
  virtual TReadResult ReadLine(const std::string& prompt, std::string& line) = 0;
  // A person types the lines (prompts are shown, a banner is in place).
  virtual bool Interactive() const = 0;

  // The reader for standard input: libedit on a terminal, plain reading otherwise.
  static std::unique_ptr<TLineReader> ForStandardInput();
  // Plain reading of a stream.
  static std::unique_ptr<TLineReader> ForStream(std::istream& in);
};

}  // namespace larkspire::cli

#endif  // LARKSPIRE_CLI_LINE_READER_H_
