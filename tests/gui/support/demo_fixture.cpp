#include "support/demo_fixture.h"

#include <sqlite3.h>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <stdexcept>

#include "qt/wait_window.h"

namespace larkspire::test {

std::unique_ptr<TServerProcess> TDemoFixture::server_;

void TDemoFixture::StartServer(std::vector<std::string> args) {
  InstallQtWaitWindows();
  if (!server_) server_ = std::make_unique<TServerProcess>(std::move(args));
}

void TDemoFixture::StopServer() {
  CloseForm();
  server_.reset();
}

void TDemoFixture::NewForm() {
  CloseForm();
  boxes_ = TRecordingMessageBoxes();
  SetMessageBoxes(&boxes_);
  shell_ = TRecordingShell();
  SetShell(&shell_);
  TDemoServer server;
  server.Port = server_->Port();
  form_ = std::make_unique<TlkDemoMainForm>(server);
  form_->show();
  QApplication::processEvents();
}

void TDemoFixture::CloseForm() {
  form_.reset();
  SetMessageBoxes(nullptr);
  SetShell(nullptr);
}

void TDemoFixture::Search(const std::string& name) {
  form_->edProName->setText(QString::fromStdString(name));
  form_->Button1->click();
}

std::string TDemoFixture::ButtonStates() {
  std::string states;
  for (QPushButton* button :
       {form_->btnDataFirst, form_->btnDataPrior, form_->btnDataNext, form_->btnDataLast,
        form_->btnAddPro, form_->btnEditPro, form_->btnDelPro, form_->btnDataLocate}) {
    if (states.size() == 4) states += ' ';
    states += button->isEnabled() ? '1' : '0';
  }
  return states;
}

std::string TDemoFixture::Label() {
  return form_->LabelDataInfo->text().toStdString();
}

bool TDemoFixture::WithProductDialog(const std::function<void()>& trigger,
                                     const std::function<void(TlkDemoProductForm&)>& action) {
  bool shown = false;
  TlkDemoProductForm* dialog = form_->lkDemoProductForm;
  // A timer of this scope: it fires in the dialog's modal loop, or never.
  QTimer timer;
  timer.setSingleShot(true);
  QObject::connect(&timer, &QTimer::timeout, [&] {
    if (!dialog->isVisible()) return;
    shown = true;
    action(*dialog);
    if (dialog->isVisible()) dialog->reject();
  });
  timer.start(0);
  trigger();
  return shown;
}

bool TDemoFixture::WaitWindowSeen(const std::function<void()>& trigger, QRect* geometry) {
  bool seen = false;
  QTimer timer;
  timer.setSingleShot(true);
  QObject::connect(&timer, &QTimer::timeout, [&] {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      if (widget->objectName() != TQtWaitWindow::kObjectName || !widget->isVisible()) continue;
      seen = true;
      if (geometry != nullptr) *geometry = widget->frameGeometry();
    }
  });
  timer.start(0);
  trigger();
  return seen;
}

bool TDemoFixture::WaitWindowVisible() {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (widget->objectName() == TQtWaitWindow::kObjectName && widget->isVisible()) return true;
  }
  return false;
}

std::vector<std::string> TDemoFixture::DatabaseColumn(const std::string& sql) {
  const std::string path = server_->DataDir() + "/larkspire-demo.db";
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    throw std::runtime_error("cannot open " + path);
  }
  std::vector<std::string> values;
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK) {
    while (sqlite3_step(statement) == SQLITE_ROW) {
      const unsigned char* text = sqlite3_column_text(statement, 0);
      values.emplace_back(text != nullptr ? reinterpret_cast<const char*>(text) : "");
    }
  }
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return values;
}

std::vector<std::string> TDemoFixture::BoxTexts() {
  std::vector<std::string> texts;
  for (const auto& box : boxes_.Boxes) texts.push_back(box.Caption + "|" + box.Text);
  return texts;
}

}  // namespace larkspire::test
