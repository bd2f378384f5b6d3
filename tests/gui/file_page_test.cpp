// The file browser page against a real server serving a folder of the test's own: listing the
// root and directories, file icons per extension, downloading with the path and the gauge,
// opening through the shell, local copies complete and interrupted; and, from a scripted
// server, listings with odd lines and a path that would lead out of the download folder.
#include <QCoreApplication>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <QtTest>
#include <filesystem>
#include <fstream>

#include "protocol/file_transfer.h"
#include "support/demo_fixture.h"
#include "support/file_peer.h"

namespace larkspire::test {

namespace fs = std::filesystem;

namespace {

std::string Pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return bytes;
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

class TFilePageTest : public TDemoFixture {
  Q_OBJECT

 private:
  fs::path Served() const { return fs::path(served_.path().toStdString()); }
  TTreeFileNode* Child(TTreeFileNode* node, const QString& caption) {
    for (int i = 0; i < node->childCount(); ++i) {
      if (node->child(i)->text(0) == caption) return static_cast<TTreeFileNode*>(node->child(i));
    }
    return nullptr;
  }
  void DoubleClick(TTreeFileNode* node) {
    Form().TreeView1->setCurrentItem(node);
    emit Form().TreeView1->itemDoubleClicked(node, 0);
  }
  fs::path Local(const std::string& remote) { return Form().DownloadFolder() / remote; }

  QTemporaryDir served_;
  const std::string big_ = Pattern(100000);

 private slots:
  void initTestCase() {
    QVERIFY(served_.isValid());
    WriteFile(Served() / "a.TXT", "upper");
    WriteFile(Served() / "b.txt", "lower");
    WriteFile(Served() / "noext", "none");
    WriteFile(Served() / "docs" / "inner.txt", "inner");
    WriteFile(Served() / "big.bin", big_);
    StartServer({"--files", Served().string()});
  }
  void cleanupTestCase() { StopServer(); }
  void init() {
    NewForm();
    std::error_code ignored;
    fs::remove_all(Form().DownloadFolder(), ignored);
  }
  void cleanup() { CloseForm(); }

  void RefreshListsTheRootAndRebuildsIt() {
    TTreeFileNode* root = Form().RootNode();
    QCOMPARE(root->text(0), QString("服务器"));
    QCOMPARE(root->childCount(), 0);
    Form().btnGetFiles->click();
    QVERIFY(root->isExpanded());
    QCOMPARE(root->childCount(), 5);
    TTreeFileNode* docs = Child(root, "docs");
    QVERIFY(docs != nullptr);
    QCOMPARE(docs->Kind, std::string("D"));
    QCOMPARE(docs->ImageIndex, 6);
    TTreeFileNode* big = Child(root, "big.bin");
    QCOMPARE(big->Kind, std::string("F"));
    QCOMPARE(big->Size, int64_t{100000});
    QCOMPARE(big->Path, std::string("big.bin"));
    Form().btnGetFiles->click();
    QCOMPARE(root->childCount(), 5);
  }

  void ExtensionsShareOneIconIgnoringCase() {
    Form().btnGetFiles->click();
    Form().btnGetFiles->click();
    TTreeFileNode* root = Form().RootNode();
    QCOMPARE(Child(root, "a.TXT")->ImageIndex, Child(root, "b.txt")->ImageIndex);
    QVERIFY(Child(root, "a.TXT")->ImageIndex >= 8);
    QCOMPARE(Form().IconCache().Value(".txt"), std::to_string(Child(root, "b.txt")->ImageIndex));
    QVERIFY(Form().IconCache().IndexOfName("") >= 0);  // the file without extension
    // One question to the shell per extension, across refreshes.
    QStringList asked = RecordedShell().IconRequests;
    asked.sort();
    QCOMPARE(asked, (QStringList{"", ".bin", ".txt"}));
    QCOMPARE(Form().ImageList1.size(), size_t{11});
  }

  void DirectoryIsListedOnceUntilRefresh() {
    Form().btnGetFiles->click();
    DoubleClick(Child(Form().RootNode(), "docs"));
    QCOMPARE(Child(Form().RootNode(), "docs")->childCount(), 1);
    QCOMPARE(Child(Child(Form().RootNode(), "docs"), "inner.txt")->Path,
             std::string("docs\\inner.txt"));
    WriteFile(Served() / "docs" / "later.txt", "later");
    DoubleClick(Child(Form().RootNode(), "docs"));
    QCOMPARE(Child(Form().RootNode(), "docs")->childCount(), 1);
    Form().btnGetFiles->click();
    DoubleClick(Child(Form().RootNode(), "docs"));
    QCOMPARE(Child(Form().RootNode(), "docs")->childCount(), 2);
    fs::remove(Served() / "docs" / "later.txt");
  }

  void DoubleClickDownloadsShowsProgressAndOpens() {
    Form().btnGetFiles->click();
    DoubleClick(Child(Form().RootNode(), "big.bin"));
    QCOMPARE(Form().editFilePath->text(), QString("big.bin"));
    QCOMPARE(Form().GaugeDownload->value(), 100);
    QVERIFY(ReadFile(Local("big.bin")) == big_);
    QCOMPARE(RecordedShell().Opened,
             QStringList{QString::fromStdString(Local("big.bin").string())});
    // A progress report for an empty file does not fail.
    Form().LarkspireUpdateFile1DownloadProgress(0, 0);
    QCOMPARE(Form().GaugeDownload->value(), 100);
  }

  void CompleteLocalCopyOpensWithoutTheServer() {
    Form().btnGetFiles->click();
    WriteFile(Local("b.txt"), "kept");
    Form().LarkspireConnection1->SetConnected(false);
    Form().LarkspireConnection1->SetRemotePort(1);  // nothing listens there
    DoubleClick(Child(Form().RootNode(), "b.txt"));
    QVERIFY(Boxes().Boxes.empty());
    QCOMPARE(ReadFile(Local("b.txt")), std::string("kept"));
    QCOMPARE(RecordedShell().Opened.size(), 1);
  }

  void InterruptedLocalCopyResumes() {
    Form().btnGetFiles->click();
    QVERIFY(Form().LarkspireUpdateFile1->GetFileInfo("big.bin"));
    // Block 1 received, then the resume record at the file's end.
    std::string partial = big_.substr(0, kFileBlockSize);
    partial.resize(big_.size(), '\0');
    partial += EncodeResumeRecord({Form().LarkspireUpdateFile1->FileInfo(), 2});
    WriteFile(Local("big.bin"), partial);
    Form().GaugeDownload->setValue(0);
    DoubleClick(Child(Form().RootNode(), "big.bin"));
    QVERIFY(Boxes().Boxes.empty());
    QVERIFY(ReadFile(Local("big.bin")) == big_);
    QCOMPARE(Form().GaugeDownload->value(), 100);
    QCOMPARE(RecordedShell().Opened.size(), 1);
  }

  void OddListingLinesAndEscapingPathsFromAScriptedServer() {
    TFilePeer peer(TFilePeer::ContentOf("escaped"));
    peer.SetListing("..\\..\\x.txt=F,7\r\nodd=X,\r\nbad.txt=F,12a\r\nnoequals\r\nempty=");
    Form().LarkspireConnection1->SetRemotePort(peer.Port());
    Form().btnGetFiles->click();
    TTreeFileNode* root = Form().RootNode();
    QCOMPARE(root->childCount(), 3);  // the lines without "=" or value are skipped
    QCOMPARE(Child(root, "odd")->ImageIndex, 0);
    QCOMPARE(Child(root, "odd")->Size, int64_t{0});
    QCOMPARE(Child(root, "bad.txt")->Size, int64_t{0});
    DoubleClick(Child(root, "x.txt"));
    QCOMPARE(Boxes().Boxes.size(), size_t{1});
    QCOMPARE(Boxes().Boxes[0].Caption, std::string("错误"));
    QVERIFY(RecordedShell().Opened.isEmpty());
    QVERIFY(!fs::exists(Form().DownloadFolder().parent_path().parent_path() / "x.txt"));
    for (const TFileRequest& request : peer.Requests()) QVERIFY(request.Code != 402);
  }
};

}  // namespace larkspire::test

QTEST_MAIN(larkspire::test::TFilePageTest)
#include "file_page_test.moc"
