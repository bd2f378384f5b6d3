// The fourth page of the main window, "文件浏览": the server's files as a tree.
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>

#include "demo/form_layout.h"
#include "demo/main_form.h"

namespace larkspire {

void TlkDemoMainForm::BuildFilePage() {
  QWidget* page = TabSheet5;
  TreeView1 = new QTreeWidget(page);
  TreeView1->setObjectName("TreeView1");
  TreeView1->setGeometry(4, 7, 457, 514);
  TreeView1->setHeaderHidden(true);
  TreeView1->setIndentation(19);
  TreeView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
  TreeView1->setExpandsOnDoubleClick(true);
  auto* root = new QTreeWidgetItem(TreeView1, QStringList{"服务器"});
  root->setIcon(0, style()->standardIcon(QStyle::SP_DriveNetIcon));

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

}  // namespace larkspire
