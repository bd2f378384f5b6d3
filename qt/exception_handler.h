// The application's default exception handler: an exception that escapes a handler shows its
// message in an error box (through the message-box seam) and the program goes on.
//
// Handlers connected to Qt signals run through RunGuarded, so no exception ever unwinds through
// Qt's own frames; TLarkspireApplication::notify catches what is left.
//
// Thread-safety: main thread only.
#ifndef LARKSPIRE_QT_EXCEPTION_HANDLER_H_
#define LARKSPIRE_QT_EXCEPTION_HANDLER_H_

#include <exception>
#include <functional>
#include <string>

namespace larkspire {

// The message shown for an exception: what() of a std::exception, a fixed text otherwise.
std::string ExceptionMessage(std::exception_ptr error);
// Shows the exception's message in an error box captioned with the main form's title, or hands
// it to the handler installed with SetExceptionHandler.
void HandleException(std::exception_ptr error);
// Replaces the display (null restores the error box); the screenshot run uses it to stop.
void SetExceptionHandler(std::function<void(std::exception_ptr)> handler);

// Runs handler and hands any exception that escapes it to HandleException.
template <class F>
void RunGuarded(F&& handler) {
  try {
    handler();
  } catch (...) {
    HandleException(std::current_exception());
  }
}

}  // namespace larkspire

#endif  // LARKSPIRE_QT_EXCEPTION_HANDLER_H_
