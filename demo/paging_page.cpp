// The second page of the main window, "分页查询": all products newest first, twenty to a page,
// with page buttons and a page list driven by PagingQuery's paging object.
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "demo/form_layout.h"
#include "demo/main_form.h"
#include "qt/exception_handler.h"

namespace larkspire {

void TlkDemoMainForm::BuildPagingPage() {
  auto* layout = new QVBoxLayout(TabSheet3);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);

  Panel3 = MakePanel(TabSheet3, "Panel3", 41);
  Label2 = PlaceLabel(Panel3, "Label2", "根据商品ID倒序排序分页", 2, 16);
  btnPageQuery = PlaceButton(Panel3, "btnPageQuery", "查询", 840, 8, 75, 25);

  DBGridEh2 = new TDataGrid(TabSheet3);
  DBGridEh2->setObjectName("DBGridEh2");
  DBGridEh2->SetColumns(ProductGridColumns());
  DBGridEh2->SetDataSource(DataSource2);

  Panel4 = MakePanel(TabSheet3, "Panel4", 37);
  LabelPageInfo = PlaceLabel(Panel4, "LabelPageInfo", "本页 0 个商品 ,第 0  页 / 共 0  页", 5, 13);
  btnFirstPage = PlaceButton(Panel4, "btnFirstPage", "第一页", 264, 7, 60, 25);
  btnPriorPage = PlaceButton(Panel4, "btnPriorPage", "上一页", 325, 7, 60, 25);
  btnNextPage = PlaceButton(Panel4, "btnNextPage", "下一页", 386, 7, 60, 25);
  btnLastPage = PlaceButton(Panel4, "btnLastPage", "最后一页", 447, 7, 60, 25);
  Label4 = PlaceLabel(Panel4, "Label4", "跳转到", 521, 12);
  cbPages = PlaceComboBox(Panel4, "cbPages", false, 578, 8, 97, 20);
  for (QWidget* control : std::initializer_list<QWidget*>{btnFirstPage, btnPriorPage, btnNextPage,
                                                          btnLastPage, cbPages}) {
    control->setEnabled(false);
  }

  layout->addWidget(Panel3);
  layout->addWidget(DBGridEh2, 1);
  layout->addWidget(Panel4);
}

void TlkDemoMainForm::ConnectPagingPage() {
  ConnectClick(btnPageQuery, &TlkDemoMainForm::btnPageQueryClick);
  ConnectClick(btnFirstPage, &TlkDemoMainForm::btnFirstPageClick);
  ConnectClick(btnPriorPage, &TlkDemoMainForm::btnPriorPageClick);
  ConnectClick(btnNextPage, &TlkDemoMainForm::btnNextPageClick);
  ConnectClick(btnLastPage, &TlkDemoMainForm::btnLastPageClick);
  // A choice in the list, also of the item already shown; choosing by program does not count.
  connect(cbPages, &QComboBox::activated, this,
          [this] { RunGuarded([this] { cbPagesChange(); }); });
}

void TlkDemoMainForm::btnPageQueryClick() {
  PagingQuery->SQL().SetText("select * from products order by ProId desc");
  PagingQuery->Paging().SetPageSize(20);
  PagingQuery->Paging().ReloadFirstPage();
  QSignalBlocker quiet(cbPages);
  cbPages->clear();
  for (int i = 1; i <= PagingQuery->Paging().PageCount(); ++i) {
    cbPages->addItem(QString("第%1页").arg(i));
  }
  cbPages->setCurrentIndex(0);
}

void TlkDemoMainForm::PagingQueryPageChange(int) {
  const TLarkspirePaging& paging = PagingQuery->Paging();
  btnFirstPage->setEnabled(!paging.IsFirstPage());
  btnPriorPage->setEnabled(!paging.IsFirstPage());
  btnNextPage->setEnabled(!paging.IsLastPage());
  btnLastPage->setEnabled(!paging.IsLastPage());
  cbPages->setEnabled(true);
  const int rows = PagingQuery->Active() ? PagingQuery->RecordCount() : 0;
  LabelPageInfo->setText(QString("本页 %1 个商品 ,第 %2  页 / 共 %3  页")
                             .arg(rows)
                             .arg(paging.PageIndex())
                             .arg(paging.PageCount()));
  LabelPageInfo->adjustSize();
}

void TlkDemoMainForm::btnFirstPageClick() {
  PagingQuery->Paging().FirstPage();
}
void TlkDemoMainForm::btnPriorPageClick() {
  PagingQuery->Paging().PriorPage();
}
void TlkDemoMainForm::btnNextPageClick() {
  PagingQuery->Paging().NextPage();
}
void TlkDemoMainForm::btnLastPageClick() {
  PagingQuery->Paging().LastPage();
}

void TlkDemoMainForm::cbPagesChange() {
  PagingQuery->Paging().GotoPage(cbPages->currentIndex() + 1);
}

}  // namespace larkspire
