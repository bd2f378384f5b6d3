#include "qt/wait_window.h"

#include <QDialog>
#include <QFont>
#include <QFontMetrics>
#include <QPaintEvent>
#include <QPainter>
#include <QScreen>
#include <QTimer>
#include <algorithm>

#include "qt/application.h"

namespace larkspire {
namespace {

QFont LabelFont() {
  return QFont("Arial", 9);
}

// The window's face: the outer frame filling it, the inner frame and the message.
class TWaitDialog : public QDialog {
 public:
  explicit TWaitDialog(const TWaitWindowLayout* layout)
      : QDialog(nullptr, Qt::FramelessWindowHint | Qt::Dialog), layout_(layout) {
    setObjectName(TQtWaitWindow::kObjectName);
    setModal(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMinimumWidth(layout->MinWidth);
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    // Outer frame: the desktop colour around the inactive caption text colour.
    painter.setPen(QColor(0, 128, 128));
    painter.setBrush(QColor(212, 208, 200));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
    painter.setPen(QColor(0, 128, 0));
    painter.setBrush(Qt::white);
    painter.drawRect(layout_->InnerLeft, layout_->InnerTop, layout_->InnerWidth - 1,
                     layout_->InnerHeight - 1);
    painter.setPen(Qt::black);
    painter.setFont(LabelFont());
    const QFontMetrics metrics(painter.font());
    painter.drawText(layout_->LabelLeft, layout_->LabelTop + metrics.ascent(),
                     QString::fromStdString(layout_->Caption));
  }
  // Esc does not close the window: only the end of the command does.
  void reject() override {}

 private:
  const TWaitWindowLayout* layout_;
};

}  // namespace

TQtWaitWindow::TQtWaitWindow() = default;

TQtWaitWindow::~TQtWaitWindow() {
  delete window_.data();
}

QDialog* TQtWaitWindow::Window() {
  if (window_ == nullptr) window_ = new TWaitDialog(&layout_);
  return window_;
}

int TQtWaitWindow::TextWidth(const std::string& text) {
  return QFontMetrics(LabelFont()).horizontalAdvance(QString::fromStdString(text));
}

void TQtWaitWindow::Apply(const TWaitWindowLayout& layout) {
  layout_ = layout;
  if (window_ == nullptr) return;
  window_->resize(std::max(layout_.Width, layout_.MinWidth), layout_.Height);
  window_->update();
}

void TQtWaitWindow::PlaceOnMainForm() {
  QDialog* window = Window();
  window->resize(std::max(layout_.Width, layout_.MinWidth), layout_.Height);
  QRect area;
  if (QWidget* main = TLarkspireApplication::MainForm(); main != nullptr) {
    area = main->frameGeometry();
  } else if (QScreen* screen = QGuiApplication::primaryScreen(); screen != nullptr) {
    area = screen->availableGeometry();
  }
  QRect frame(QPoint(0, 0), window->size());
  frame.moveCenter(area.center());
  window->move(frame.topLeft());
}

void TQtWaitWindow::RunModal(int interval_ms, const std::function<bool()>& tick) {
  QDialog* window = Window();
  PlaceOnMainForm();
  QTimer timer;
  timer.setInterval(interval_ms);
  QObject::connect(&timer, &QTimer::timeout, window, [&] {
    if (tick()) {
      timer.stop();
      window->done(QDialog::Accepted);
    }
  });
  timer.start();
  window->exec();
  timer.stop();
}

void InstallQtWaitWindows() {
  SetWaitWindowFactory([] { return std::make_unique<TQtWaitWindow>(); });
}

}  // namespace larkspire
