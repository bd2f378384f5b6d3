#include "demo/check_controls.h"

#include <QComboBox>
#include <QLineEdit>
#include <stdexcept>

#include "platform/variant.h"
#include "qt/message_boxes.h"

namespace larkspire {
namespace {

// Blanks and control characters around the text go.
std::string Trim(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && static_cast<unsigned char>(text[begin]) <= ' ') ++begin;
  while (end > begin && static_cast<unsigned char>(text[end - 1]) <= ' ') --end;
  return text.substr(begin, end - begin);
}

bool Fail(QWidget* control, const std::string& message) {
  MessageBoxes().Information(message, "验证");
  control->setFocus();
  return false;
}

}  // namespace

double StrToFloatDef(const std::string& text, double fallback) {
  double value = 0;
  return TextToFloat(text, value) ? value : fallback;
}

std::string ControlText(const QWidget* control) {
  if (auto* edit = qobject_cast<const QLineEdit*>(control)) return edit->text().toStdString();
  if (auto* box = qobject_cast<const QComboBox*>(control)) return box->currentText().toStdString();
  return std::string();
}

bool CheckControls(const std::vector<QWidget*>& controls, const std::vector<std::string>& captions,
                   TInputChecks checks) {
  if (controls.size() != captions.size()) {
    throw std::invalid_argument("CheckControls: one caption per control");
  }
  for (size_t i = 0; i < controls.size(); ++i) {
    const std::string text = ControlText(controls[i]);
    if ((checks & icNotEmpty) != 0 && Trim(text).empty()) {
      return Fail(controls[i], captions[i] + "不能为空.");
    }
    if ((checks & icNumber) != 0 && StrToFloatDef(text, -1) == -1) {
      return Fail(controls[i], captions[i] + "格式不正确.");
    }
  }
  return true;
}

}  // namespace larkspire
