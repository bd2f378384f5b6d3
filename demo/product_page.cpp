// The first page of the main window, "增删改查": searching products by name, moving through the
// result, locating a product by its code, and adding, editing and deleting products through
// the product dialog.
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "demo/form_layout.h"
#include "demo/main_form.h"
#include "demo/product_form.h"
#include "platform/string_list.h"
#include "qt/exception_handler.h"
#include "qt/message_boxes.h"

namespace larkspire {
namespace {

std::string Text(const QLineEdit* edit) {
  return edit->text().toStdString();
}

}  // namespace

void TlkDemoMainForm::BuildProductPage() {
  auto* layout = new QVBoxLayout(TabSheet1);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);

  Panel1 = MakePanel(TabSheet1, "Panel1", 41);
  Label1 = PlaceLabel(Panel1, "Label1", "商品名称", 2, 16);
  edProName = PlaceEdit(Panel1, "edProName", "", 68, 12, 189, 20);
  CheckBox1 = PlaceCheckBox(Panel1, "CheckBox1", "显示查询等待对话框", 568, 8, 131, 17);
  edWaitMsg = PlaceEdit(Panel1, "edWaitMsg", "正在查询商品...", 704, 8, 121, 20);
  edWaitMsg->setEnabled(false);
  Button1 = PlaceButton(Panel1, "Button1", "查询", 840, 8, 75, 25);

  DBGridEh1 = new TDataGrid(TabSheet1);
  DBGridEh1->setObjectName("DBGridEh1");
  DBGridEh1->SetColumns(ProductGridColumns());
  DBGridEh1->SetDataSource(DataSource1);

  Panel2 = MakePanel(TabSheet1, "Panel2", 37);
  LabelDataInfo = PlaceLabel(Panel2, "LabelDataInfo", "当前第 0 个商品 / 共 0 个商品", 0, 11);
  btnDataFirst = PlaceButton(Panel2, "btnDataFirst", "第一条", 231, 7, 60, 25);
  btnDataPrior = PlaceButton(Panel2, "btnDataPrior", "上一条", 292, 7, 60, 25);
  btnDataNext = PlaceButton(Panel2, "btnDataNext", "下一条", 353, 7, 60, 25);
  btnDataLast = PlaceButton(Panel2, "btnDataLast", "最后一条", 414, 7, 60, 25);
  btnAddPro = PlaceButton(Panel2, "btnAddPro", "增加商品", 486, 7, 75, 25);
  btnEditPro = PlaceButton(Panel2, "btnEditPro", "编辑商品", 562, 7, 75, 25);
  btnDelPro = PlaceButton(Panel2, "btnDelPro", "删除商品", 638, 7, 75, 25);
  btnDataLocate = PlaceButton(Panel2, "btnDataLocate", "定位到商品编号", 741, 7, 97, 25);
  edProCode = PlaceEdit(Panel2, "edProCode", "0102002", 842, 10, 59, 20);
  for (QPushButton* button : {btnDataFirst, btnDataPrior, btnDataNext, btnDataLast, btnAddPro,
                              btnEditPro, btnDelPro, btnDataLocate}) {
    button->setEnabled(false);
  }

  layout->addWidget(Panel1);
  layout->addWidget(DBGridEh1, 1);
  layout->addWidget(Panel2);
}

void TlkDemoMainForm::ConnectProductPage() {
  ConnectClick(Button1, &TlkDemoMainForm::Button1Click);
  ConnectClick(btnDataFirst, &TlkDemoMainForm::btnDataFirstClick);
  ConnectClick(btnDataPrior, &TlkDemoMainForm::btnDataPriorClick);
  ConnectClick(btnDataNext, &TlkDemoMainForm::btnDataNextClick);
  ConnectClick(btnDataLast, &TlkDemoMainForm::btnDataLastClick);
  ConnectClick(btnDataLocate, &TlkDemoMainForm::btnDataLocateClick);
  ConnectClick(btnAddPro, &TlkDemoMainForm::btnAddProClick);
  ConnectClick(btnEditPro, &TlkDemoMainForm::btnEditProClick);
  ConnectClick(btnDelPro, &TlkDemoMainForm::btnDelProClick);
  connect(CheckBox1, &QCheckBox::clicked, this,
          [this] { RunGuarded([this] { CheckBox1Click(); }); });
  connect(DBGridEh1, &TDataGrid::DblClick, this,
          [this] { RunGuarded([this] { DBGridEh1DblClick(); }); });
}

void TlkDemoMainForm::Button1Click() {
  SimpleQuery->Close();
  SimpleQuery->SetWaitMsg(edWaitMsg->isEnabled() ? Text(edWaitMsg) : std::string());
  SimpleQuery->SQL().SetText("select * from products where ProName like :ProName");
  SimpleQuery->Parameters().ParamByName("ProName").Value = TVariant("%" + Text(edProName) + "%");
  SimpleQuery->Open();
  SimpleQueryAfterScroll();
}

void TlkDemoMainForm::CheckBox1Click() {
  edWaitMsg->setEnabled(CheckBox1->isChecked());
}

void TlkDemoMainForm::SimpleQueryAfterScroll() {
  // CommonQuery scrolls too (the category list), possibly while SimpleQuery is closed after a
  // failed search: a closed query shows no current row.
  const bool open = SimpleQuery->Active();
  const int rec_no = open ? SimpleQuery->RecNo() : 0;
  const int count = open ? SimpleQuery->RecordCount() : 0;
  LabelDataInfo->setText(QString("当前第 %1 个商品 / 共 %2 个商品").arg(rec_no).arg(count));
  LabelDataInfo->adjustSize();
  const bool bof = SimpleQuery->Bof();
  const bool eof = SimpleQuery->Eof();
  const bool empty = SimpleQuery->IsEmpty();
  btnDataFirst->setEnabled(!bof);
  btnDataPrior->setEnabled(!bof && !empty);
  btnDataNext->setEnabled(!eof && !empty);
  btnDataLast->setEnabled(!eof);
  btnAddPro->setEnabled(open);
  btnEditPro->setEnabled(!empty);
  btnDelPro->setEnabled(!empty);
  btnDataLocate->setEnabled(!empty);
}

void TlkDemoMainForm::btnDataFirstClick() {
  SimpleQuery->First();
}
void TlkDemoMainForm::btnDataPriorClick() {
  SimpleQuery->Prior();
}
void TlkDemoMainForm::btnDataNextClick() {
  SimpleQuery->Next();
}
void TlkDemoMainForm::btnDataLastClick() {
  SimpleQuery->Last();
}

void TlkDemoMainForm::btnDataLocateClick() {
  const std::string code = Text(edProCode);
  if (SimpleQuery->Locate("ProCode", TVariant(code))) return;
  MessageBoxes().Information("定位失败,当前数据集不存在编号为" + code + "的商品。", "错误");
}

void TlkDemoMainForm::btnAddProClick() {
  lkDemoProductForm->ShowProductDialog(*SimpleQuery, pemAdd);
}

void TlkDemoMainForm::btnEditProClick() {
  lkDemoProductForm->ShowProductDialog(*SimpleQuery, pemEdit);
}

void TlkDemoMainForm::DBGridEh1DblClick() {
  if (!SimpleQuery->IsEmpty()) lkDemoProductForm->ShowProductDialog(*SimpleQuery, pemEdit);
}

void TlkDemoMainForm::btnDelProClick() {
  const std::string name = SimpleQuery->FieldByName("ProName").AsString();
  if (MessageBoxes().Question("是否要删除商品\"" + name + "\"?", "询问")) SimpleQuery->Delete();
}

}  // namespace larkspire
