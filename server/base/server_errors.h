// How a server handler fails a command: EServerError carries one of the codes of
// protocol/error_codes.h (the one table of every code) and a UTF-8 text. 10004, the code the
// client knows as "the transaction is gone", is used when the database ended a transaction by
// itself and when a request expects a transaction the session no longer has.
//
// Thread-safety: constants and a plain exception type.
#ifndef LARKSPIRE_SERVER_SERVER_ERRORS_H_
#define LARKSPIRE_SERVER_SERVER_ERRORS_H_

#include <cstdint>
#include <string>

#include "platform/exception.h"
#include "protocol/error_codes.h"

namespace larkspire::server {

// Raised by a handler to fail the command with a code and a UTF-8 message.
class EServerError : public Exception {
 public:
  EServerError(int32_t code, const std::string& message) : Exception(message), code_(code) {}
  int32_t Code() const { return code_; }

 private:
  int32_t code_;
};

}  // namespace larkspire::server

#endif  // LARKSPIRE_SERVER_SERVER_ERRORS_H_
