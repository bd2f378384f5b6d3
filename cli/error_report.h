// How the command-line client reports a failure and which exit code goes with it. The codes
// follow the habits of database shells: 0 success, 1 a failed statement, 2 a connection failure
// or bad usage. A message names the server's code ("error 20004: no such table: t") and never
// the internal name of the component that raised it.
//
// Thread-safety: main thread only.
#ifndef LARKSPIRE_CLI_ERROR_REPORT_H_
#define LARKSPIRE_CLI_ERROR_REPORT_H_

#include <cstdint>
#include <exception>
#include <iosfwd>
#include <string>

#include "platform/exception.h"

namespace larkspire::cli {

enum : int { kExitSuccess = 0, kExitStatementFailed = 1, kExitConnectionOrUsage = 2 };

// Bad usage found after the arguments were parsed: a missing SQL, an unreadable file.
class EUsageError : public Exception {
 public:
  using Exception::Exception;
};

// True for the codes of a connection that could not be made or was refused.
bool IsConnectionFailure(int32_t code);
// Prints "error CODE: TEXT" ("error: TEXT" without a code) and returns the exit code for it.
int ReportError(std::ostream& err, int32_t code, const std::string& text);
// Prints the exception and returns its exit code.
int ReportException(std::ostream& err, const std::exception_ptr& failure);

}  // namespace larkspire::cli

#endif  // LARKSPIRE_CLI_ERROR_REPORT_H_
