// Runs a program of ours (the command-line client) and collects its exit code and output.
//
// Thread-safety: one call at a time per thread.
#ifndef LARKSPIRE_TESTS_SUPPORT_RUN_PROGRAM_H_
#define LARKSPIRE_TESTS_SUPPORT_RUN_PROGRAM_H_

#include <string>
#include <vector>

namespace larkspire::test {

struct TProgramResult {
  int exit_code = -1;
  std::string out;
  std::string err;
};

// What a program gets besides its arguments: the text on its standard input (a pipe) and
// NAME=VALUE settings added to its environment.
struct TProgramInput {
  std::string stdin_text;
  std::vector<std::string> environment;
};

// Runs path with args, stdin from /dev/null, killed after timeout_ms.
TProgramResult RunProgram(const std::string& path, const std::vector<std::string>& args,
                          int timeout_ms = 30000);
// Runs path with args and the input; standard input is a pipe that ends after the text.
TProgramResult RunProgram(const std::string& path, const std::vector<std::string>& args,
                          const TProgramInput& input, int timeout_ms = 30000);
// The larkspire command-line client with args.
TProgramResult RunCli(const std::vector<std::string>& args, int timeout_ms = 30000);
TProgramResult RunCli(const std::vector<std::string>& args, const TProgramInput& input,
                      int timeout_ms = 30000);

}  // namespace larkspire::test

#endif  // LARKSPIRE_TESTS_SUPPORT_RUN_PROGRAM_H_
