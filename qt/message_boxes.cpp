#include "qt/message_boxes.h"

#include <QApplication>
#include <QMessageBox>

namespace larkspire {
namespace {

IMessageBoxes* g_installed = nullptr;

QMessageBox::StandardButton Show(QMessageBox::Icon icon, const std::string& text,
                                 const std::string& caption, QMessageBox::StandardButtons buttons) {
  QMessageBox box(icon, QString::fromStdString(caption), QString::fromStdString(text), buttons,
                  QApplication::activeWindow());
  return static_cast<QMessageBox::StandardButton>(box.exec());
}

}  // namespace

void TQtMessageBoxes::Information(const std::string& text, const std::string& caption) {
  Show(QMessageBox::Information, text, caption, QMessageBox::Ok);
}

void TQtMessageBoxes::Error(const std::string& text, const std::string& caption) {
  Show(QMessageBox::Critical, text, caption, QMessageBox::Ok);
}

bool TQtMessageBoxes::Question(const std::string& text, const std::string& caption) {
  return Show(QMessageBox::Question, text, caption, QMessageBox::Yes | QMessageBox::No) ==
         QMessageBox::Yes;
}

void TRecordingMessageBoxes::Record(TMessageKind kind, const std::string& text,
                                    const std::string& caption) {
  Boxes.push_back({kind, text, caption});
  if (OnBox) OnBox(Boxes.back());
}

void TRecordingMessageBoxes::Information(const std::string& text, const std::string& caption) {
  Record(TMessageKind::mkInformation, text, caption);
}

void TRecordingMessageBoxes::Error(const std::string& text, const std::string& caption) {
  Record(TMessageKind::mkError, text, caption);
}

bool TRecordingMessageBoxes::Question(const std::string& text, const std::string& caption) {
  Record(TMessageKind::mkQuestion, text, caption);
  if (Answers.empty()) return false;
  const bool answer = Answers.front();
  Answers.pop_front();
  return answer;
}

IMessageBoxes& MessageBoxes() {
  static TQtMessageBoxes qt_boxes;
  return g_installed != nullptr ? *g_installed : qt_boxes;
}

void SetMessageBoxes(IMessageBoxes* boxes) {
  g_installed = boxes;
}

}  // namespace larkspire
