// The plug-in page against a real server and its PluginSample: the sum, the product, what is
// sent for text that is not an integer, the server's time, and the server's screen (under
// Xvfb, skipped without it).
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QRegularExpression>
#include <QtTest>
#include <cstdlib>

#include "support/demo_fixture.h"
#include "support/xvfb.h"

namespace larkspire::test {

class TPluginPageTest : public TDemoFixture {
  Q_OBJECT

 private slots:
  void initTestCase() { StartServer(); }
  void cleanupTestCase() { StopServer(); }
  void init() { NewForm(); }
  void cleanup() { CloseForm(); }

  void SumProductAndTimeComeFromThePlugin() {
    Form().btnPluginDemo1->click();
    QCOMPARE(Form().edResult1->text(), QString("247"));
    Form().btnPluginDemo2->click();
    QCOMPARE(Form().edResult2->text(), QString("15252"));
    Form().btnPluginDemo3->click();
    QVERIFY2(Form().edResult3->text().contains(QRegularExpression("\\d\\d:\\d\\d")),
             qPrintable(Form().edResult3->text()));
    // The time request carries ReqType alone.
    QCOMPARE(Form().LarkspirePluginCall1->Request().Count(), 1);
    QVERIFY(Boxes().Boxes.empty());
  }

  void TextThatIsNotAnIntegerIsSentAsZero() {
    Form().Edit2->setText("5");
    for (const char* text : {"12a", "", "4294967296", "1.5", "abc"}) {
      Form().Edit1->setText(text);
      Form().edResult1->clear();
      Form().btnPluginDemo1->click();
      QCOMPARE(Form().edResult1->text(), QString("5"));
    }
    Form().Edit1->setText("-7");
    Form().btnPluginDemo1->click();
    QCOMPARE(Form().edResult1->text(), QString("-2"));
  }

  void ScreenButtonShowsTheServersScreen() {
    TXvfb xvfb(320, 200);
    if (xvfb.Display().empty()) QSKIP("Xvfb is not installed");
    const char* old = std::getenv("DISPLAY");
    const std::string saved = old != nullptr ? old : "";
    setenv("DISPLAY", xvfb.Display().c_str(), 1);
    TServerProcess server;  // captures the display it was started with
    if (saved.empty()) {
      unsetenv("DISPLAY");
    } else {
      setenv("DISPLAY", saved.c_str(), 1);
    }
    Form().LarkspireConnection1->SetRemotePort(server.Port());
    for (int i = 0; i < 2; ++i) {  // a second picture replaces the first
      Form().btnPluginDemo4->click();
      QVERIFY(Boxes().Boxes.empty());
      QCOMPARE(Form().Image1->pixmap().size(), QSize(320, 200));
      QCOMPARE(Form().Image1->size(), QSize(320, 200));
    }
  }
};

}  // namespace larkspire::test

QTEST_MAIN(larkspire::test::TPluginPageTest)
#include "plugin_page_test.moc"
