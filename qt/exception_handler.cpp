#include "qt/exception_handler.h"

#include <QApplication>

#include "qt/message_boxes.h"

namespace larkspire {
namespace {

std::function<void(std::exception_ptr)>& InstalledHandler() {
  static std::function<void(std::exception_ptr)> handler;
  return handler;
}

}  // namespace

std::string ExceptionMessage(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "Unknown exception";
  }
}

void HandleException(std::exception_ptr error) {
  if (InstalledHandler()) {
    InstalledHandler()(error);
    return;
  }
  MessageBoxes().Error(ExceptionMessage(error),
                       QApplication::applicationDisplayName().toStdString());
}

void SetExceptionHandler(std::function<void(std::exception_ptr)> handler) {
  InstalledHandler() = std::move(handler);
}

}  // namespace larkspire
