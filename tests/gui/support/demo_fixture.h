// The common ground of the demonstration's GUI tests: one real larkspire-server on loopback
// with a fresh demonstration database per test program, a main window against it for each test
// function, message boxes recorded instead of shown, and helpers that drive the modal product
// dialog and read the database behind the server's back.
//
//   class TProductPageTest : public TDemoFixture { Q_OBJECT ... };
//   void TProductPageTest::init() { NewForm(); }
//
// Thread-safety: main thread only.
#ifndef LARKSPIRE_TESTS_GUI_SUPPORT_DEMO_FIXTURE_H_
#define LARKSPIRE_TESTS_GUI_SUPPORT_DEMO_FIXTURE_H_

#include <QObject>
#include <QRect>
#include <QTest>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "demo/main_form.h"
#include "demo/product_form.h"
#include "qt/message_boxes.h"
#include "qt/shell.h"
#include "support/server_fixture.h"

namespace larkspire::test {

class TDemoFixture : public QObject {
 protected:
  // Starts the server (once per program; extra server arguments) and installs the Qt wait
  // windows.
  void StartServer(std::vector<std::string> args = {});
  void StopServer();
  // A new, shown main window against the server; the previous one is closed.
  void NewForm();
  void CloseForm();

  TlkDemoMainForm& Form() { return *form_; }
  TRecordingMessageBoxes& Boxes() { return boxes_; }
  TRecordingShell& RecordedShell() { return shell_; }
  TServerProcess& Server() { return *server_; }

  // Types the name into the search box and presses "查询".
  void Search(const std::string& name);
  // Enabled states of page 1's buttons, "1" or "0" each: First Prior Next Last, a space, Add
  // Edit Delete Locate ("0011 1111" after a search with several rows).
  std::string ButtonStates();
  std::string Label();

  // Presses trigger; once the product dialog is up, runs action on it, then cancels the
  // dialog if it is still open. False when the dialog never showed.
  bool WithProductDialog(const std::function<void()>& trigger,
                         const std::function<void(TlkDemoProductForm&)>& action);
  // Presses trigger and reports whether a wait window was up while it ran, and where.
  bool WaitWindowSeen(const std::function<void()>& trigger, QRect* geometry = nullptr);
  bool WaitWindowVisible();
  // Runs a query on the server's database file with sqlite3 and returns the first column of
  // every row as text.
  std::vector<std::string> DatabaseColumn(const std::string& sql);
  // The texts of the recorded boxes, "caption|text" each.
  std::vector<std::string> BoxTexts();

 private:
  static std::unique_ptr<TServerProcess> server_;
  std::unique_ptr<TlkDemoMainForm> form_;
  TRecordingMessageBoxes boxes_;
  TRecordingShell shell_;
};

}  // namespace larkspire::test

// Readable values in QCOMPARE failures.
namespace QTest {
template <>
inline char* toString(const std::string& text) {
  return qstrdup(text.c_str());
}
template <>
inline char* toString(const std::vector<std::string>& texts) {
  std::string joined = "[";
  for (const std::string& text : texts) joined += (joined.size() > 1 ? ", \"" : "\"") + text + "\"";
  return qstrdup((joined + "]").c_str());
}
}  // namespace QTest

#endif  // LARKSPIRE_TESTS_GUI_SUPPORT_DEMO_FIXTURE_H_
