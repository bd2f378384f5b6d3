// Product editing through the dialog against a real server: the input checks, adding, editing
// and deleting (checked in the database file itself), the delete question, and a post that the
// server refuses, which is cancelled and reported.
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

#include "dataset/dataset.h"
#include "support/demo_fixture.h"

namespace larkspire::test {

class TProductEditingTest : public TDemoFixture {
  Q_OBJECT

 private:
  // Fills the dialog's inputs in the order code, name, category, unit, packing, bar code and
  // the three prices.
  static void Fill(TlkDemoProductForm& dialog, const std::vector<QString>& values) {
    QLineEdit* edits[] = {dialog.edProCode,  dialog.edProName,    nullptr,
                          dialog.edProUnit,  dialog.edProSpec,    dialog.edBarCode,
                          dialog.edPurPrice, dialog.edRetaiPrice, dialog.edTradePrice};
    for (size_t i = 0; i < values.size(); ++i) {
      if (edits[i] == nullptr) {
        dialog.cbProKind->setEditText(values[i]);
      } else {
        edits[i]->setText(values[i]);
      }
    }
  }

 private slots:
  void initTestCase() { StartServer(); }
  void cleanupTestCase() { StopServer(); }
  void init() { NewForm(); }
  void cleanup() { CloseForm(); }

  void ChecksStopAtTheFirstFailingInput() {
    TlkDemoProductForm& dialog = *Form().lkDemoProductForm;
    const QString valid[] = {"0109001", "测试商品", "饮料", "瓶", "12", "", "1.5", "2", "1.8"};
    struct TCase {
      int input;
      QString text;
      const char* message;  // empty: passes
    };
    const TCase cases[] = {
        {0, "", "商品编号不能为空."},
        {1, "   ", "商品名称不能为空."},
        {2, "", "商品类型不能为空."},
        {3, "\t", "计量单位不能为空."},
        {4, "", "包装规格不能为空."},
        {6, "abc", "进货价格式不正确."},
        {6, "-1", "进货价格式不正确."},
        {7, "-1.00", "零售价格式不正确."},
        {8, "12a", "批发价格式不正确."},
        {6, "-2", ""},
        {8, "1e3", ""},
        {5, "", ""},
    };
    QWidget* inputs[] = {dialog.edProCode,  dialog.edProName,    dialog.cbProKind,
                         dialog.edProUnit,  dialog.edProSpec,    dialog.edBarCode,
                         dialog.edPurPrice, dialog.edRetaiPrice, dialog.edTradePrice};
    for (const TCase& c : cases) {
      std::vector<QString> values(std::begin(valid), std::end(valid));
      values[c.input] = c.text;
      Fill(dialog, values);
      Boxes().Boxes.clear();
      const bool passed = dialog.ValidateInput();
      if (*c.message == '\0') {
        QVERIFY2(passed, qPrintable(c.text));
        QVERIFY(Boxes().Boxes.empty());
        continue;
      }
      QVERIFY2(!passed, qPrintable(c.text));
      QCOMPARE(BoxTexts(), std::vector<std::string>{std::string("验证|") + c.message});
      QCOMPARE(dialog.focusWidget(), inputs[c.input]);
    }
  }

  void AddEditAndDeleteReachTheDatabase() {
    Search("");
    // Add: the dialog starts from the presets and offers the categories.
    bool presets = false;
    QVERIFY(WithProductDialog(
        [&] { Form().btnAddPro->click(); },
        [&](TlkDemoProductForm& dialog) {
          presets = dialog.windowTitle() == "增加商品" && dialog.edProSpec->text() == "0" &&
                    dialog.edPurPrice->text() == "0.00" && dialog.edProCode->text().isEmpty() &&
                    dialog.cbProKind->findText("饮料") >= 0;
          Fill(dialog, {"0109001", "测试商品", "饮料", "瓶", "12", "", "12.5", "20", "16"});
          dialog.btnOK->click();
        }));
    QVERIFY(presets);
    QVERIFY(Boxes().Boxes.empty());
    QCOMPARE(DatabaseColumn("select ProName || '/' || PurPrice || '/' || BarCode from products "
                            "where ProCode = '0109001'"),
             std::vector<std::string>{"测试商品/12.5/"});
    QCOMPARE(Form().SimpleQuery->FieldByName("ProCode").AsString(), std::string("0109001"));
    QCOMPARE(Form().SimpleQuery->RecordCount(), 46);
    // Loading the categories scrolled CommonQuery; page 1 still describes SimpleQuery.
    QCOMPARE(Label(), std::string("当前第 46 个商品 / 共 46 个商品"));

    // Edit: the plain values, not the display format.
    QString price;
    QVERIFY(WithProductDialog([&] { Form().btnEditPro->click(); },
                              [&](TlkDemoProductForm& dialog) {
                                price = dialog.edPurPrice->text();
                                dialog.edProName->setText("改过的商品");
                                dialog.btnOK->click();
                              }));
    QCOMPARE(price, QString("12.5"));
    QCOMPARE(DatabaseColumn("select ProName from products where ProCode = '0109001'"),
             std::vector<std::string>{"改过的商品"});

    // Delete: No keeps the row, Yes deletes it.
    Boxes().Answers = {false};
    Form().btnDelPro->click();
    QCOMPARE(BoxTexts(), std::vector<std::string>{"询问|是否要删除商品\"改过的商品\"?"});
    QCOMPARE(DatabaseColumn("select count(*) from products").at(0), std::string("46"));
    Boxes().Answers = {true};
    Form().btnDelPro->click();
    QCOMPARE(DatabaseColumn("select count(*) from products where ProCode = '0109001'").at(0),
             std::string("0"));
    QCOMPARE(Form().SimpleQuery->RecordCount(), 45);
  }

  void CancelledDialogChangesNothing() {
    Search("茶");
    QVERIFY(WithProductDialog([&] { Form().btnEditPro->click(); },
                              [&](TlkDemoProductForm& dialog) {
                                dialog.edProName->setText("不该保存");
                                dialog.btnCancel->click();
                              }));
    QCOMPARE(DatabaseColumn("select count(*) from products where ProName = '不该保存'").at(0),
             std::string("0"));
    QVERIFY(Form().SimpleQuery->State() == dsBrowse);
  }

  void RefusedPostIsCancelledAndReported() {
    Form().CommonQuery->SQL().SetText(
        "create trigger refuse_code before update on products when new.ProUnit = '拒绝' "
        "begin select raise(abort, 'unit refused'); end");
    Form().CommonQuery->ExecSQL();
    Search("茶");
    QVERIFY(WithProductDialog([&] { Form().btnEditPro->click(); },
                              [&](TlkDemoProductForm& dialog) {
                                dialog.edProUnit->setText("拒绝");
                                dialog.btnOK->click();
                              }));
    QCOMPARE(Boxes().Boxes.size(), size_t{1});
    QCOMPARE(Boxes().Boxes[0].Caption, std::string("错误"));
    QVERIFY2(Boxes().Boxes[0].Text.find("unit refused") != std::string::npos,
             Boxes().Boxes[0].Text.c_str());
    QVERIFY(Form().SimpleQuery->State() == dsBrowse);
    QCOMPARE(Form().SimpleQuery->FieldByName("ProUnit").AsString(), std::string("瓶"));
    QCOMPARE(DatabaseColumn("select count(*) from products where ProUnit = '拒绝'").at(0),
             std::string("0"));
  }

  void DoubleClickOnAnEmptyResultDoesNothing() {
    Search("没有这种商品");
    QVERIFY(
        !WithProductDialog([&] { emit Form().DBGridEh1->DblClick(); }, [](TlkDemoProductForm&) {}));
  }
};

}  // namespace larkspire::test

QTEST_MAIN(larkspire::test::TProductEditingTest)
#include "product_editing_test.moc"
