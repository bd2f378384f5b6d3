#include "demo/screenshot.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <QTreeWidget>
#include <cstdio>
#include <stdexcept>

#include "demo/local_copy.h"
#include "demo/product_form.h"
#include "qt/exception_handler.h"
#include "qt/message_boxes.h"
#include "qt/shell.h"
#include "qt/wait_window.h"

namespace larkspire {
namespace {

// Stops the run with its reason.
class EScreenshotFailed : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TScreenshotRun {
 public:
  TScreenshotRun(const TDemoServer& server, const std::string& dir)
      : dir_(QString::fromStdString(dir)), form_(server) {
    boxes_.OnBox = [this](const TRecordingMessageBoxes::TBox& box) {
      Fail("message box \"" + box.Caption + "\": " + box.Text);
    };
    SetMessageBoxes(&boxes_);
    SetShell(&shell_);
    SetExceptionHandler([this](std::exception_ptr error) { Fail(ExceptionMessage(error)); });
  }
  ~TScreenshotRun() {
    SetExceptionHandler(nullptr);
    SetMessageBoxes(nullptr);
    SetShell(nullptr);
  }

  void Run() {
    if (!QDir().mkpath(dir_)) throw EScreenshotFailed("cannot create " + dir_.toStdString());
    form_.show();
    QApplication::processEvents();
    ProductPage();
    ProductDialog();
    PagingPage();
    PluginPage();
    FilePage();
  }

 private:
  void Fail(const std::string& reason) {
    if (failure_.empty()) failure_ = reason;
  }
  void Check() {
    if (!failure_.empty()) throw EScreenshotFailed(failure_);
  }
  // Never throws: it also runs inside Qt's event loop (the wait window's, the dialog's).
  bool Save(QWidget* widget, const char* name) {
    const QString path = QDir(dir_).filePath(name);
    if (!widget->grab().save(path, "PNG")) {
      Fail("cannot write " + path.toStdString());
      return false;
    }
    std::printf("%s\n", path.toLocal8Bit().constData());
    return true;
  }
  void Page(QWidget* page, const char* name) {
    form_.PageControl1->setCurrentWidget(page);
    QApplication::processEvents();
    Save(&form_, name);
    Check();
  }

  // A search for every product behind the wait window (pictured while it is up), then a move.
  void ProductPage() {
    form_.PageControl1->setCurrentWidget(form_.TabSheet1);
    form_.CheckBox1->click();
    form_.edProName->clear();
    bool wait_window_saved = false;
    // Timers of this scope fire inside the modal loop they wait for, or never.
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, [&] {
      for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->objectName() == TQtWaitWindow::kObjectName && widget->isVisible()) {
          wait_window_saved = Save(widget, "wait-window.png");
        }
      }
    });
    timer.start(0);
    form_.Button1->click();
    Check();
    if (!wait_window_saved) throw EScreenshotFailed("the wait window did not show");
    if (form_.SimpleQuery->RecordCount() == 0) throw EScreenshotFailed("the search found nothing");
    for (int i = 0; i < 3; ++i) form_.btnDataNext->click();
    Check();
    Page(form_.TabSheet1, "1-products.png");
  }

  // The product dialog on the current row, pictured and cancelled.
  void ProductDialog() {
    bool saved = false;
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, [&] {
      QDialog* dialog = form_.lkDemoProductForm;
      if (!dialog->isVisible()) return;
      saved = Save(dialog, "product-dialog.png");
      dialog->reject();
    });
    timer.start(0);
    form_.btnEditPro->click();
    Check();
    if (!saved) throw EScreenshotFailed("the product dialog did not show");
  }

  // The paged query, then the next page.
  void PagingPage() {
    form_.PageControl1->setCurrentWidget(form_.TabSheet3);
    form_.btnPageQuery->click();
    Check();
    if (form_.PagingQuery->Paging().PageCount() > 1) form_.btnNextPage->click();
    Check();
    Page(form_.TabSheet3, "2-paging.png");
  }

  // The sum, the product and the server's time.
  void PluginPage() {
    form_.PageControl1->setCurrentWidget(form_.TabSheet4);
    for (QPushButton* button : {form_.btnPluginDemo1, form_.btnPluginDemo2, form_.btnPluginDemo3}) {
      button->click();
      Check();
    }
    if (form_.edResult1->text().isEmpty() || form_.edResult3->text().isEmpty()) {
      throw EScreenshotFailed("the sample plug-in gave no result");
    }
    Page(form_.TabSheet4, "3-plugins.png");
  }

  // The root listing, then the download of its first file (opened by nobody).
  void FilePage() {
    form_.PageControl1->setCurrentWidget(form_.TabSheet5);
    form_.btnGetFiles->click();
    Check();
    TTreeFileNode* root = form_.RootNode();
    TTreeFileNode* file = nullptr;
    for (int i = 0; i < root->childCount() && file == nullptr; ++i) {
      auto* child = static_cast<TTreeFileNode*>(root->child(i));
      if (child->Kind == "F") file = child;
    }
    if (file == nullptr) throw EScreenshotFailed("the server lists no file at its root");
    // A fresh download, so that the picture shows its path and progress.
    if (auto local = LocalCopyPath(form_.DownloadFolder(), file->Path)) {
      std::error_code ignored;
      std::filesystem::remove(*local, ignored);
    }
    form_.TreeView1->setCurrentItem(file);
    form_.TreeView1DblClick();
    Check();
    if (shell_.Opened.isEmpty()) throw EScreenshotFailed("the download did not finish");
    Page(form_.TabSheet5, "4-files.png");
  }

  QString dir_;
  TRecordingMessageBoxes boxes_;
  TRecordingShell shell_;
  std::string failure_;
  TlkDemoMainForm form_;
};

}  // namespace

int RunScreenshots(const TDemoServer& server, const std::string& dir) {
  try {
    TScreenshotRun run(server, dir);
    run.Run();
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "larkspire-demo --screenshot: %s\n", e.what());
    return 1;
  }
}

}  // namespace larkspire
