// The fourth page of the main window, "文件浏览": the server's files as a tree. Directories are
// listed on double-click, files downloaded into "temp" beside the program and opened with the
// desktop's program for their type; file icons come from the desktop, once per extension.
#include <QApplication>
#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QTreeWidget>

#include "demo/file_listing.h"
#include "demo/form_layout.h"
#include "demo/local_copy.h"
#include "demo/main_form.h"
#include "qt/exception_handler.h"
#include "qt/message_boxes.h"
#include "qt/shell.h"

namespace larkspire {
namespace {

constexpr int kRootImage = 0;
constexpr int kDirectoryImage = 6;

QIcon Greyed(const QIcon& icon) {
  return QIcon(icon.pixmap(16, 16, QIcon::Disabled));
}

// The eight preset images: 0 the coloured globe, 1 in grey, 2 a document, 3 in grey, 4 and 6
// folders, 5 and 7 in grey.
std::vector<QIcon> PresetImages(QStyle* style) {
  const QIcon globe = style->standardIcon(QStyle::SP_DriveNetIcon);
  const QIcon document = style->standardIcon(QStyle::SP_FileIcon);
  const QIcon folder = style->standardIcon(QStyle::SP_DirIcon);
  return {globe,  Greyed(globe),  document, Greyed(document),
          folder, Greyed(folder), folder,   Greyed(folder)};
}

}  // namespace

void TlkDemoMainForm::BuildFilePage() {
  QWidget* page = TabSheet5;
  ImageList1 = PresetImages(style());
  TreeView1 = new QTreeWidget(page);
  TreeView1->setObjectName("TreeView1");
  TreeView1->setGeometry(4, 7, 457, 514);
  TreeView1->setHeaderHidden(true);
  TreeView1->setIndentation(19);
  TreeView1->setIconSize(QSize(16, 16));
  TreeView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
  TreeView1->setExpandsOnDoubleClick(true);
  auto* root = new TTreeFileNode(TreeView1, QStringList{"服务器"});
  SetNodeImage(root, kRootImage);

  btnGetFiles = PlaceButton(page, "btnGetFiles", "获取文件列表/刷新", 484, 8, 165, 25);
  Label6 = PlaceLabel(page, "Label6",
                      "提示: 请先获取文件列表,双击文件节点下载并打开文件,双击目录节点打开目录.",
                      488, 64);
  Label8 = PlaceLabel(page, "Label8", "文件路径", 488, 96);
  editFilePath = PlaceEdit(page, "editFilePath", "", 561, 91, 344, 20);
  editFilePath->setStyleSheet("background-color: palette(button);");
  Label7 = PlaceLabel(page, "Label7", "下载进度", 488, 128);
  GaugeDownload = new QProgressBar(page);
  GaugeDownload->setObjectName("GaugeDownload");
  GaugeDownload->setGeometry(560, 121, 345, 21);
  GaugeDownload->setRange(0, 100);
  GaugeDownload->setValue(0);
}

void TlkDemoMainForm::ConnectFilePage() {
  ConnectClick(btnGetFiles, &TlkDemoMainForm::btnGetFilesClick);
  connect(TreeView1, &QTreeWidget::itemDoubleClicked, this,
          [this] { RunGuarded([this] { TreeView1DblClick(); }); });
  LarkspireUpdateFile1->OnDownloadBegin = [this](const std::string& name, int64_t size,
                                                 bool resume) {
    LarkspireUpdateFile1DownloadBegin(name, size, resume);
  };
  LarkspireUpdateFile1->OnDownloadProgress = [this](int64_t size, int64_t complete) {
    LarkspireUpdateFile1DownloadProgress(size, complete);
  };
}

TTreeFileNode* TlkDemoMainForm::RootNode() const {
  return static_cast<TTreeFileNode*>(TreeView1->topLevelItem(0));
}

std::filesystem::path TlkDemoMainForm::DownloadFolder() const {
  return std::filesystem::path(QCoreApplication::applicationDirPath().toStdString()) / "temp";
}

void TlkDemoMainForm::SetNodeImage(TTreeFileNode* node, int image) {
  node->ImageIndex = image;
  if (image >= 0 && image < static_cast<int>(ImageList1.size()))
    node->setIcon(0, ImageList1[image]);
}

int TlkDemoMainForm::ExtensionImage(const std::string& extension) {
  if (FIconCache.IndexOfName(extension) >= 0) {
    return std::stoi(FIconCache.Value(extension));
  }
  ImageList1.push_back(Shell().ExtensionIcon(QString::fromStdString(extension)));
  const int image = static_cast<int>(ImageList1.size()) - 1;
  FIconCache.Add(extension + "=" + std::to_string(image));
  return image;
}

void TlkDemoMainForm::BuildFileNodes(TTreeFileNode* node) {
  qDeleteAll(node->takeChildren());
  TStringList list;
  LarkspireUpdateFile1->GetFileList(list, node->Path, 0);
  for (const std::string& line : list.Strings()) {
    const std::optional<TFileListEntry> entry = ParseFileListLine(line);
    if (!entry) continue;
    auto* child = new TTreeFileNode(node, QStringList{QString::fromStdString(entry->Caption)});
    child->Path = entry->Path;
    child->Kind = entry->Kind;
    if (entry->Kind == "F") {
      child->Size = entry->Size;
      SetNodeImage(child, ExtensionImage(entry->Extension));
    } else if (entry->Kind == "D") {
      SetNodeImage(child, kDirectoryImage);
    } else {
      SetNodeImage(child, kRootImage);
    }
  }
  node->setExpanded(true);
}

void TlkDemoMainForm::btnGetFilesClick() {
  BuildFileNodes(RootNode());
}

void TlkDemoMainForm::TreeView1DblClick() {
  auto* node = static_cast<TTreeFileNode*>(TreeView1->currentItem());
  if (node == nullptr) return;
  if (node->Kind == "D" && node->childCount() == 0) BuildFileNodes(node);
  if (node->Kind != "F") return;
  // The server names the path; it may not lead out of the download folder.
  const std::optional<std::filesystem::path> local = LocalCopyPath(DownloadFolder(), node->Path);
  if (!local) {
    MessageBoxes().Error("文件路径\"" + node->Path + "\"超出下载目录temp,已拒绝下载。", "错误");
    return;
  }
  // An interrupted download still ends in its resume record: continue it instead of opening
  // a broken file.
  std::error_code error;
  if (!std::filesystem::exists(*local, error) || IsInterruptedDownload(*local)) {
    if (!LarkspireUpdateFile1->DownloadFile(node->Path, local->string())) return;
  }
  Shell().OpenFile(QString::fromStdString(local->string()));
}

void TlkDemoMainForm::LarkspireUpdateFile1DownloadBegin(const std::string& file_name, int64_t,
                                                        bool) {
  editFilePath->setText(QString::fromStdString(file_name));
}

void TlkDemoMainForm::LarkspireUpdateFile1DownloadProgress(int64_t file_size,
                                                           int64_t complete_bytes) {
  // An empty file is complete at once.
  const int64_t percent = file_size > 0 ? complete_bytes * 100 / file_size : 100;
  GaugeDownload->setValue(static_cast<int>(std::clamp<int64_t>(percent, 0, 100)));
}

}  // namespace larkspire
