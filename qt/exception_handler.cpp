#include "qt/exception_handler.h"

#include <QApplication>
#include <QWidget>

#include "qt/application.h"
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
  // Captioned like the program: its main form's title, or the application's name.
  QWidget* main_form = TLarkspireApplication::MainForm();
  const QString caption =
      main_form != nullptr ? main_form->windowTitle() : QApplication::applicationName();
  MessageBoxes().Error(ExceptionMessage(error), caption.toStdString());
}

void SetExceptionHandler(std::function<void(std::exception_ptr)> handler) {
  InstalledHandler() = std::move(handler);
}

}  // namespace larkspire
