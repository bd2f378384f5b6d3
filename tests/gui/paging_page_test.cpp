// The paged query page against a real server with the 45 demonstration products: three pages
// of twenty, the page list, the buttons at the first and the last page, and an empty table.
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QtTest>

#include "support/demo_fixture.h"

namespace larkspire::test {

class TPagingPageTest : public TDemoFixture {
  Q_OBJECT

 private:
  // First Prior Next Last and the list, "1" or "0" each.
  std::string States() {
    std::string states;
    for (QWidget* control :
         std::initializer_list<QWidget*>{Form().btnFirstPage, Form().btnPriorPage,
                                         Form().btnNextPage, Form().btnLastPage, Form().cbPages}) {
      states += control->isEnabled() ? '1' : '0';
    }
    return states;
  }
  std::string PageLabel() { return Form().LabelPageInfo->text().toStdString(); }
  // The user picks an item of the list.
  void Pick(int index) {
    Form().cbPages->setCurrentIndex(index);
    emit Form().cbPages->activated(index);
  }
  int FirstId() { return Form().DBGridEh2->model()->index(0, 0).data().toInt(); }

 private slots:
  void initTestCase() { StartServer(); }
  void cleanupTestCase() { StopServer(); }
  void init() { NewForm(); }
  void cleanup() { CloseForm(); }

  void StartsDisabled() {
    QCOMPARE(States(), std::string("00000"));
    QCOMPARE(PageLabel(), std::string("本页 0 个商品 ,第 0  页 / 共 0  页"));
  }

  void QueryShowsThreePagesOfTwentyAndTheList() {
    Form().btnPageQuery->click();
    QCOMPARE(PageLabel(), std::string("本页 20 个商品 ,第 1  页 / 共 3  页"));
    QCOMPARE(States(), std::string("00111"));
    QCOMPARE(Form().cbPages->count(), 3);
    QCOMPARE(Form().cbPages->itemText(2), QString("第3页"));
    QCOMPARE(Form().cbPages->currentIndex(), 0);
    QCOMPARE(Form().DBGridEh2->model()->rowCount(), 20);
    QCOMPARE(FirstId(), 45);
  }

  void ButtonsAndListMoveBetweenPages() {
    Form().btnPageQuery->click();
    Form().btnNextPage->click();
    QCOMPARE(PageLabel(), std::string("本页 20 个商品 ,第 2  页 / 共 3  页"));
    QCOMPARE(States(), std::string("11111"));
    QCOMPARE(Form().cbPages->currentText(), QString("第1页"));  // buttons leave the list alone
    QCOMPARE(FirstId(), 25);
    Form().btnLastPage->click();
    QCOMPARE(PageLabel(), std::string("本页 5 个商品 ,第 3  页 / 共 3  页"));
    QCOMPARE(States(), std::string("11001"));
    Pick(0);  // the item shown, but not the page shown: back to page 1
    QCOMPARE(Form().PagingQuery->Paging().PageIndex(), 1);
    QCOMPARE(States(), std::string("00111"));
    Pick(1);
    QCOMPARE(FirstId(), 25);
    Form().btnPriorPage->click();
    QCOMPARE(FirstId(), 45);
    Form().btnLastPage->click();
    Form().btnPageQuery->click();  // the query button always starts again at page 1
    QCOMPARE(Form().PagingQuery->Paging().PageIndex(), 1);
    QCOMPARE(Form().cbPages->currentIndex(), 0);
  }

  void EmptyTableHasNoPages() {
    Form().CommonQuery->SQL().SetText("delete from products");
    QCOMPARE(Form().CommonQuery->ExecSQL(), 45);
    Form().btnPageQuery->click();
    QCOMPARE(Form().cbPages->count(), 0);
    // Neither the first-page nor the last-page test holds without pages.
    QCOMPARE(States(), std::string("11111"));
    QCOMPARE(PageLabel(), std::string("本页 0 个商品 ,第 -1  页 / 共 0  页"));
    QCOMPARE(Form().DBGridEh2->model()->rowCount(), 0);
  }
};

}  // namespace larkspire::test

QTEST_MAIN(larkspire::test::TPagingPageTest)
#include "paging_page_test.moc"
