// ELarkspireException: the exception every client component raises. It carries the error code,
// the worded message (what() — the component's name, ":" and the text) and the message before
// any wording was applied (ErrorMessage).
//
// A caller that wants to know whether trying again helps catches one of the kinds derived from
// it (each is an ELarkspireException too, with the same code and texts):
//
//   ELarkspireConnectionError       the server could not be reached, refused the client, did
//                                   not answer in time or the connection was closed or broke
//                                   (10002, 10005, 10006, 10009, 100021..100023), or the server's
//                                   own connection to its database broke (20042): reconnecting
//                                   or sending the statement again may help
//   ELarkspireTransactionLostError  the server's transaction is gone (10004): start it again
//   ELarkspireUpdateConflictError   a row was changed or deleted by another client meanwhile
//                                   (20011): read it again, then retry
//   ELarkspireStatementError        the server refused or failed the statement or command
//                                   (its 2xxxx codes) or its reply was too large (10007):
//                                   retrying the same will not help
//   ELarkspireMergeError            the server committed the changes but the rows it returned
//                                   (server-assigned keys) could not be merged (10008): do not
//                                   send them again; refresh to see the server's rows
//   ELarkspireMalformedDataError    bytes from the server or a local file do not follow their
//                                   format (a reply's rows, parameters or paging record, a block
//                                   packet, a file-information record)
//   ELarkspireLocalError            a step on this side failed: a stream or file, a value that
//                                   cannot be encoded, a setting the command needs
//
// Anything else (a missing connection, 10001; a failure without a code) is a plain
// ELarkspireException. The last two carry code -1 and the original message as ErrorMessage;
// RethrowAtComponentBoundary makes them from the library's other exceptions, so that nothing
// else leaves a component (the dataset framework's own field and state errors, EDatabaseError,
// stay as they are).
//
// Thread-safety: plain values.
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

class ELarkspireConnectionError : public ELarkspireException {
 public:
  using ELarkspireException::ELarkspireException;
};

class ELarkspireTransactionLostError : public ELarkspireException {
 public:
  using ELarkspireException::ELarkspireException;
};

class ELarkspireUpdateConflictError : public ELarkspireException {
 public:
  using ELarkspireException::ELarkspireException;
};

class ELarkspireStatementError : public ELarkspireException {
 public:
  using ELarkspireException::ELarkspireException;
};

class ELarkspireMergeError : public ELarkspireException {
 public:
  using ELarkspireException::ELarkspireException;
};

class ELarkspireMalformedDataError : public ELarkspireException {
 public:
  using ELarkspireException::ELarkspireException;
};

class ELarkspireLocalError : public ELarkspireException {
 public:
  using ELarkspireException::ELarkspireException;
};

// Raises the kind that kind_code belongs to (see above), carrying error_code, error_message
// and message. kind_code is usually error_code; it differs where a component reports a
// failure without a code (-1) that the connection knows the cause of.
[[noreturn]] void ThrowLarkspireException(int32_t kind_code, int32_t error_code,
                                          std::string error_message, const std::string& message);

// Called inside a catch block: lets an ELarkspireException (and anything that is not one of the
// library's exceptions) go on unchanged; EMalformedData and EZLibError become
// ELarkspireMalformedDataError and every other Exception ELarkspireLocalError, worded
// "<name>:<message>" (the message alone when name is empty).
[[noreturn]] void RethrowAtComponentBoundary(const std::string& name);

}  // namespace larkspire

#endif  // LARKSPIRE_COMPONENTS_EXCEPTION_H_
