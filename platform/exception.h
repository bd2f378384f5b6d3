// Exceptions raised by the library. Every message is UTF-8 text that says what went wrong.
//
// Thread-safety: plain values; copy freely between threads.
#ifndef LARKSPIRE_PLATFORM_EXCEPTION_H_
#define LARKSPIRE_PLATFORM_EXCEPTION_H_

#include <stdexcept>
#include <string>

namespace larkspire {

// The general exception: carries its message text.
class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& message) : std::runtime_error(message) {}
  std::string Message() const { return what(); }
};

// A stream could not grow, read or write what was asked.
class EStreamError : public Exception {
 public:
  using Exception::Exception;
};

// A value could not be converted to the asked type.
class EVariantError : public Exception {
 public:
  using Exception::Exception;
};

// The compression library reported an error; the message is its own text ("data error").
class EZLibError : public Exception {
 public:
  using Exception::Exception;
};

// A dataset or field operation was not possible.
class EDatabaseError : public Exception {
 public:
  using Exception::Exception;
};

// Bytes from a peer or a file do not follow their format; the message says what and where.
class EMalformedData : public Exception {
 public:
  using Exception::Exception;
};

// A socket call of the platform failed where the caller cannot go on.
class ESocketError : public Exception {
 public:
  using Exception::Exception;
};

}  // namespace larkspire

#endif  // LARKSPIRE_PLATFORM_EXCEPTION_H_
