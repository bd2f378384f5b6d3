// The product search page against a real server: searching with and without the wait window,
// the label and button states after searches, moves and failures, and locating by code.
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

#include "qt/data_grid.h"
#include "qt/wait_window.h"
#include "support/demo_fixture.h"

namespace larkspire::test {

class TProductPageTest : public TDemoFixture {
  Q_OBJECT

 private slots:
  void initTestCase() { StartServer(); }
  void cleanupTestCase() { StopServer(); }
  void init() { NewForm(); }
  void cleanup() { CloseForm(); }

  void StartsWithEveryButtonDisabled() {
    QCOMPARE(Label(), std::string("当前第 0 个商品 / 共 0 个商品"));
    QCOMPARE(ButtonStates(), std::string("0000 0000"));
    QVERIFY(!Form().edWaitMsg->isEnabled());
  }

  void WaitWindowShowsCentredAndClosesByItself() {
    Form().CheckBox1->click();
    QVERIFY(Form().edWaitMsg->isEnabled());
    QRect seen;
    QVERIFY(WaitWindowSeen([&] { Search(""); }, &seen));
    QVERIFY(seen.width() >= 100);
    QVERIFY((seen.center() - Form().frameGeometry().center()).manhattanLength() <= 2);
    QCOMPARE(Form().LarkspireConnection1->WaitForm().Layout().Caption,
             std::string("正在查询商品..."));
    QVERIFY(!WaitWindowVisible());
    QCOMPARE(Form().SimpleQuery->RecordCount(), 45);

    // Without the option, or with an emptied message, the search runs in place.
    Form().CheckBox1->click();
    QVERIFY(!WaitWindowSeen([&] { Search("茶"); }));
    Form().CheckBox1->click();
    Form().edWaitMsg->clear();
    QVERIFY(!WaitWindowSeen([&] { Search("茶"); }));
    QCOMPARE(Label(), std::string("当前第 1 个商品 / 共 2 个商品"));
  }

  void ButtonsFollowBofAndEofNotTheRowNumber() {
    Search("");
    QCOMPARE(Label(), std::string("当前第 1 个商品 / 共 45 个商品"));
    QCOMPARE(ButtonStates(), std::string("0011 1111"));
    Form().btnDataNext->click();
    QCOMPARE(Label(), std::string("当前第 2 个商品 / 共 45 个商品"));
    QCOMPARE(ButtonStates(), std::string("1111 1111"));
    Form().btnDataPrior->click();  // back on row 1, but not at BOF yet
    QCOMPARE(Label(), std::string("当前第 1 个商品 / 共 45 个商品"));
    QCOMPARE(ButtonStates(), std::string("1111 1111"));
    Form().btnDataPrior->click();
    QCOMPARE(ButtonStates(), std::string("0011 1111"));
    Form().btnDataLast->click();
    QCOMPARE(Label(), std::string("当前第 45 个商品 / 共 45 个商品"));
    QCOMPARE(ButtonStates(), std::string("1100 1111"));
    Form().btnDataFirst->click();
    QCOMPARE(ButtonStates(), std::string("0011 1111"));
    // The grid follows the dataset.
    QCOMPARE(Form().DBGridEh1->currentIndex().row(), 0);
    QCOMPARE(Form().DBGridEh1->model()->rowCount(), 45);
    QCOMPARE(Form().DBGridEh1->model()->index(0, 7).data().toString(), QString("￥0.80"));
  }

  // The specified widths are the least a column gets: scrolled over every row, each value
  // shown fits its column (the prices of 100 and more included).
  void ColumnsWidenToTheLongestValueShown() {
    Search("");
    TDataGrid& grid = *Form().DBGridEh1;
    const std::vector<TGridColumn>& columns = grid.Model().Columns();
    for (int row = 0; row < grid.model()->rowCount(); ++row) {
      grid.scrollTo(grid.model()->index(row, 0));
      for (int c = 0; c < static_cast<int>(columns.size()); ++c) {
        const QModelIndex cell = grid.model()->index(row, c);
        QVERIFY(grid.columnWidth(c) >= columns[c].Width);
        QVERIFY2(grid.sizeHintForIndex(cell).width() <= grid.columnWidth(c),
                 qPrintable(cell.data().toString() + " is cut short"));
      }
    }
  }

  void EmptyResultLeavesOnlyAddEnabled() {
    Search("没有这种商品");
    QVERIFY(Form().SimpleQuery->Active());
    QCOMPARE(Label(), std::string("当前第 0 个商品 / 共 0 个商品"));
    QCOMPARE(ButtonStates(), std::string("0000 1000"));
  }

  void FailedSearchIsShownAndKeepsTheStates() {
    Search("");
    Form().btnDataNext->click();
    Form().LarkspireConnection1->SetConnected(false);
    Form().LarkspireConnection1->SetRemotePort(1);  // nothing listens there
    Search("");
    QCOMPARE(Boxes().Boxes.size(), size_t{1});
    QVERIFY(Boxes().Boxes[0].Kind == TMessageKind::mkError);
    QCOMPARE(Boxes().Boxes[0].Caption, std::string("Larkspire在线演示程序 1.0"));
    QVERIFY2(Boxes().Boxes[0].Text.rfind("SimpleQuery:", 0) == 0, Boxes().Boxes[0].Text.c_str());
    QVERIFY(!Form().SimpleQuery->Active());
    QCOMPARE(Label(), std::string("当前第 2 个商品 / 共 45 个商品"));
    QCOMPARE(ButtonStates(), std::string("1111 1111"));
  }

  void LocateNeedsTheWholeCodeWithinTheResult() {
    Search("");
    Form().edProCode->setText("0103002");
    Form().btnDataLocate->click();
    QCOMPARE(Form().SimpleQuery->FieldByName("ProCode").AsString(), std::string("0103002"));
    QCOMPARE(Label(), std::string("当前第 19 个商品 / 共 45 个商品"));
    QVERIFY(Boxes().Boxes.empty());

    Form().edProCode->setText("9999999");
    Form().btnDataLocate->click();
    QCOMPARE(BoxTexts(),
             std::vector<std::string>{"错误|定位失败,当前数据集不存在编号为9999999的商品。"});
    QCOMPARE(Form().SimpleQuery->RecNo(), 19);

    // Only 01020021 is in this result: the default code is a prefix of it, not a match.
    Search("家庭装");
    Form().edProCode->setText("0102002");
    Form().btnDataLocate->click();
    QCOMPARE(Boxes().Boxes.back().Text,
             std::string("定位失败,当前数据集不存在编号为0102002的商品。"));
    QVERIFY(Boxes().Boxes.back().Kind == TMessageKind::mkInformation);
  }
};

}  // namespace larkspire::test

QTEST_MAIN(larkspire::test::TProductPageTest)
#include "product_page_test.moc"
