// The third page of the main window, "插件例题": calls of the server's sample plug-in.
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>

#include "demo/form_layout.h"
#include "demo/main_form.h"

namespace larkspire {

void TlkDemoMainForm::BuildPluginPage() {
  QWidget* page = TabSheet4;
  Label3 = PlaceLabel(page, "Label3", "A=", 8, 12);
  Edit1 = PlaceEdit(page, "Edit1", "123", 40, 8, 80, 20);
  Label5 = PlaceLabel(page, "Label5", "B=", 152, 12);
  Edit2 = PlaceEdit(page, "Edit2", "124", 184, 8, 80, 20);
  btnPluginDemo1 = PlaceButton(page, "btnPluginDemo1", "A,B求和", 8, 48, 100, 25);
  edResult1 = PlaceEdit(page, "edResult1", "", 120, 50, 150, 20);
  btnPluginDemo2 = PlaceButton(page, "btnPluginDemo2", "A,B求积", 8, 80, 100, 25);
  edResult2 = PlaceEdit(page, "edResult2", "", 120, 82, 150, 20);
  btnPluginDemo3 = PlaceButton(page, "btnPluginDemo3", "获取服务器时间", 8, 112, 100, 25);
  edResult3 = PlaceEdit(page, "edResult3", "", 120, 114, 150, 20);
  btnPluginDemo4 = PlaceButton(page, "btnPluginDemo4", "截屏服务器屏幕", 8, 184, 100, 25);

  ScrollBox1 = new QScrollArea(page);
  ScrollBox1->setObjectName("ScrollBox1");
  ScrollBox1->setGeometry(304, 7, 609, 506);
  Image1 = new QLabel;
  Image1->setObjectName("Image1");
  Image1->setGeometry(1, 2, 825, 585);
  Image1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  ScrollBox1->setWidget(Image1);
}

}  // namespace larkspire
