#include "cli/error_report.h"

#include <ostream>

#include "cli/terminal_text.h"
#include "components/exception.h"
#include "protocol/error_codes.h"

namespace larkspire::cli {

bool IsConnectionFailure(int32_t code) {
  return code == kErrCouldNotConnect || code == kErrConnectionRefused ||
         code == kErrConnectionsLimit || code == kErrWrongPassword || code == kErrTlsFailed ||
         code == kErrTlsRequired;
}

int ReportError(std::ostream& err, int32_t code, const std::string& text) {
  if (code == kNoErrorCode || code == 0)
    err << "error: " << TerminalSafe(text) << "\n";
  else
    err << "error " << code << ": " << TerminalSafe(text) << "\n";
  return IsConnectionFailure(code) ? kExitConnectionOrUsage : kExitStatementFailed;
}

int ReportException(std::ostream& err, const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const ELarkspireLocalError& e) {
    // Found on our side, as below.
    err << "error: " << TerminalSafe(e.ErrorMessage()) << "\n";
    return kExitConnectionOrUsage;
  } catch (const ELarkspireException& e) {
    return ReportError(err, e.ErrorCode(), e.ErrorMessage());
  } catch (const std::exception& e) {
    // Everything else is found on our side before or around a statement: a parameter that
    // does not fit, a file that cannot be read, a statement used with the wrong command.
    err << "error: " << TerminalSafe(e.what()) << "\n";
    return kExitConnectionOrUsage;
  }
}

}  // namespace larkspire::cli
