// The message-box seam: every box a Larkspire Qt application shows goes through MessageBoxes(),
// so a test or a run without a screen can install a recorder instead of a blocking dialog.
//
// TQtMessageBoxes (the default) shows modal QMessageBox dialogs over the active window.
// TRecordingMessageBoxes shows nothing: it keeps every box and answers questions from a queue
// of answers (No when the queue is empty).
//
// Thread-safety: main thread only.
#ifndef LARKSPIRE_QT_MESSAGE_BOXES_H_
#define LARKSPIRE_QT_MESSAGE_BOXES_H_

#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace larkspire {

enum class TMessageKind { mkInformation, mkQuestion, mkError };

class IMessageBoxes {
 public:
  virtual ~IMessageBoxes() = default;
  // Information icon and an OK button.
  virtual void Information(const std::string& text, const std::string& caption) = 0;
  // Error icon and an OK button.
  virtual void Error(const std::string& text, const std::string& caption) = 0;
  // Question icon, Yes and No buttons; true for Yes.
  virtual bool Question(const std::string& text, const std::string& caption) = 0;
};

class TQtMessageBoxes : public IMessageBoxes {
 public:
  void Information(const std::string& text, const std::string& caption) override;
  void Error(const std::string& text, const std::string& caption) override;
  bool Question(const std::string& text, const std::string& caption) override;
};

class TRecordingMessageBoxes : public IMessageBoxes {
 public:
  struct TBox {
    TMessageKind Kind;
    std::string Text;
    std::string Caption;
  };

  void Information(const std::string& text, const std::string& caption) override;
  void Error(const std::string& text, const std::string& caption) override;
  bool Question(const std::string& text, const std::string& caption) override;

  std::vector<TBox> Boxes;
  // Answers to the next questions, in order.
  std::deque<bool> Answers;
  // Called with every box as it is recorded.
  std::function<void(const TBox&)> OnBox;

 private:
  void Record(TMessageKind kind, const std::string& text, const std::string& caption);
};

// The installed boxes; the Qt ones until SetMessageBoxes installs others.
IMessageBoxes& MessageBoxes();
// Installs boxes (the caller keeps them alive); null restores the Qt ones.
void SetMessageBoxes(IMessageBoxes* boxes);

}  // namespace larkspire

#endif  // LARKSPIRE_QT_MESSAGE_BOXES_H_
