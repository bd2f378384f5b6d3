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

// Runs path with args, stdin from /dev/null, killed after timeout_ms.
TProgramResult RunProgram(const std::string& path, const std::vector<std::string>& args,
                          int timeout_ms = 30000);
// The larkspire command-line client with args.
TProgramResult RunCli(const std::vector<std::string>& args, int timeout_ms = 30000);

}  // namespace larkspire::test

#endif  // LARKSPIRE_TESTS_SUPPORT_RUN_PROGRAM_H_
