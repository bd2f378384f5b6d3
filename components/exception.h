// ELarkspireException: the exception every client component raises. It carries the error code,
// the worded message (what() — the component's name, ":" and the text) and the message before
// any wording was applied (ErrorMessage).
//
// Thread-safety: a plain value.
#ifndef LARKSPIRE_COMPONENTS_EXCEPTION_H_
#define LARKSPIRE_COMPONENTS_EXCEPTION_H_

#include <cstdint>
#include <string>

#include "platform/exception.h"
#include "protocol/error_codes.h"

namespace larkspire {

class ELarkspireException : public Exception {
 public:
  ELarkspireException(int32_t error_code, std::string error_message, const std::string& message)
      : Exception(message), error_code_(error_code), error_message_(std::move(error_message)) {}

  int32_t ErrorCode() const { return error_code_; }
  const std::string& ErrorMessage() const { return error_message_; }

 private:
  int32_t error_code_;
  std::string error_message_;
};

}  // namespace larkspire

#endif  // LARKSPIRE_COMPONENTS_EXCEPTION_H_
