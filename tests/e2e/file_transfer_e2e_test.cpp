// The file component against a running larkspire-server: listings, information, downloads with
// their events, resuming a transfer that a test server broke, and every path that tries to
// leave the served folder.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>

#include "components/update_file.h"
#include "support/file_peer.h"
#include "support/raw_client.h"
#include "support/server_fixture.h"

namespace larkspire {
namespace {

namespace fs = std::filesystem;
using test::Checksum;
using test::FileChecksum;
using test::PatternBytes;
using test::ReadWholeFile;
using test::TFilePeer;
using test::TServerProcess;

struct TEvents {
  std::vector<std::string> begins;
  std::vector<int64_t> progress;
  int completes = 0;
};

class FileTransferE2ETest : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = fs::temp_directory_path() /
            ("lk-file-e2e-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++));
    served_ = base_ / "served";
    fs::create_directories(served_ / "空文件夹");
    fs::create_directories(served_ / "文档" / "子目录");
    fs::create_directories(base_ / "outside");
    fs::create_directories(base_ / "local");
    std::ofstream(base_ / "outside" / "secret.txt") << "secret";
    fs::create_symlink(base_ / "outside", served_ / "escape");
    fs::create_symlink(base_ / "outside" / "secret.txt", served_ / "文档" / "secret.txt");
    Put("three.bin", PatternBytes(2 * 32768 + 4321, 3));
    Put("five.bin", PatternBytes(4 * 32768 + 999, 5));
    Put("empty.dat", "");
    Put("文档\\说明.txt", "说明文字");
    Put("文档\\子目录\\深.txt", "deep");
    server_ =
        std::make_unique<TServerProcess>(std::vector<std::string>{"--files", served_.string()});
    Aim(server_->Port());
    files_.SetName("Files");
    files_.SetConnection(&connection_);
    files_.OnDownloadBegin = [this](const std::string& name, int64_t size, bool resume) {
      events_.begins.push_back(name + (resume ? " resume" : " fresh"));
    };
    files_.OnDownloadProgress = [this](int64_t, int64_t done) { events_.progress.push_back(done); };
    files_.OnDownloadComplete = [this](const std::string&) { ++events_.completes; };
  }
  void TearDown() override {
    server_.reset();
    fs::remove_all(base_);
  }

  void Put(const std::string& remote, const std::string& bytes) {
    std::string path = remote;
    for (char& c : path)
      if (c == '\\') c = '/';
    std::ofstream(served_ / path, std::ios::binary) << bytes;
    contents_[remote] = bytes;
  }
  void Aim(uint16_t port) {
    connection_.SetConnected(false);
    connection_.SetRemotePort(port);
  }
  std::string Local(const std::string& name) const { return (base_ / "local" / name).string(); }
  // A test server that serves what the real server serves for remote, with its stamps.
  std::unique_ptr<TFilePeer> BreakingPeer(const std::string& remote, int32_t break_in_block) {
    EXPECT_TRUE(files_.GetFileInfo(remote));
    test::TFileContent content = TFilePeer::ContentOf(contents_[remote]);
    content.Info = files_.FileInfo();
    auto peer = std::make_unique<TFilePeer>(content);
    peer->SetBreakInBlock(break_in_block);
    return peer;
  }
  std::vector<std::string> List(const std::string& path, uint8_t option) {
    TStringList list;
    EXPECT_TRUE(files_.GetFileList(list, path, option));
    return list.Strings();
  }

  static inline int counter_ = 0;
  fs::path base_;
  fs::path served_;
  std::map<std::string, std::string> contents_;
  std::unique_ptr<TServerProcess> server_;
  TLarkspireConnection connection_;
  TLarkspireUpdateFile files_;
  TEvents events_;
};

TEST_F(FileTransferE2ETest, ListsOneLevelSubFoldersAnEmptyFolderAndChineseNames) {
  // The link that leads outside is left out.
  EXPECT_EQ(List("", kListOneLevel),
            (std::vector<std::string>{"文档=D,", "空文件夹=D,", "empty.dat=F,0",
                                      "five.bin=F,132071", "three.bin=F,69857"}));
  EXPECT_EQ(List("文档", kListRecursive),
            (std::vector<std::string>{"文档\\子目录=D,", "文档\\子目录\\深.txt=F,4",
                                      "文档\\说明.txt=F,12"}));
  EXPECT_EQ(List("文档", kListOneLevel),
            (std::vector<std::string>{"文档\\子目录=D,", "文档\\说明.txt=F,12"}));
  EXPECT_TRUE(List("空文件夹", kListRecursive).empty());
}

TEST_F(FileTransferE2ETest, TheSampleFolderBesideTheDatabaseIsServedByDefault) {
  TServerProcess plain;
  Aim(plain.Port());
  const std::vector<std::string> top = List("", kListOneLevel);
  EXPECT_NE(std::find(top.begin(), top.end(), "文档=D,"), top.end());
  EXPECT_NE(std::find(top.begin(), top.end(), "空文件夹=D,"), top.end());
  EXPECT_TRUE(List("空文件夹", kListOneLevel).empty());
  EXPECT_TRUE(fs::is_directory(fs::path(plain.DataDir()) / "files"));
  ASSERT_TRUE(files_.GetFileInfo("data\\blocks.bin"));
  EXPECT_EQ(files_.FileSize(), 100000);
  EXPECT_EQ(files_.BlockCount(), 4);
}

TEST_F(FileTransferE2ETest, InformationGivesSizeBlocksAndStampsThatFollowTheFile) {
  ASSERT_TRUE(files_.GetFileInfo("five.bin"));
  EXPECT_EQ(files_.FileSize(), 132071);
  EXPECT_EQ(files_.BlockCount(), 5);
  const double stamp1 = files_.Stamp1();
  fs::last_write_time(served_ / "five.bin",
                      fs::last_write_time(served_ / "five.bin") + std::chrono::seconds(5));
  ASSERT_TRUE(files_.GetFileInfo("five.bin"));
  EXPECT_NE(files_.Stamp1(), stamp1);
  EXPECT_THROW(files_.GetFileInfo("nothing.bin"), ELarkspireException);
}

TEST_F(FileTransferE2ETest, AThreeBlockDownloadFiresItsEventsAndWritesTheFile) {
  const std::string local = Local("three.bin");
  ASSERT_TRUE(files_.DownloadFile("three.bin", local));
  EXPECT_EQ(events_.begins, std::vector<std::string>{"three.bin fresh"});
  EXPECT_EQ(events_.progress, (std::vector<int64_t>{32768, 65536, 69857}));
  EXPECT_EQ(events_.completes, 1);
  EXPECT_EQ(FileChecksum(local), Checksum(contents_["three.bin"]));
  // The connection stays in step for the next commands.
  ASSERT_TRUE(files_.DownloadFile("文档\\说明.txt", Local("说明.txt")));
  EXPECT_EQ(ReadWholeFile(Local("说明.txt")), "说明文字");
  EXPECT_EQ(List("文档", kListOneLevel).size(), 2u);
}

TEST_F(FileTransferE2ETest, ATransferBrokenInBlockTwoOfFiveResumesToIdenticalBytes) {
  const std::string local = Local("five.bin");
  auto peer = BreakingPeer("five.bin", 2);
  Aim(peer->Port());
  EXPECT_THROW(files_.DownloadFile("five.bin", local), ELarkspireException);
  ASSERT_EQ(fs::file_size(local), 132071u + 32);

  Aim(server_->Port());
  events_ = {};
  ASSERT_TRUE(files_.DownloadFile("five.bin", local));
  EXPECT_EQ(events_.begins, std::vector<std::string>{"five.bin resume"});
  EXPECT_EQ(events_.progress.front(), 65536);
  EXPECT_EQ(events_.progress.size(), 4u);
  EXPECT_EQ(fs::file_size(local), 132071u);
  EXPECT_EQ(FileChecksum(local), Checksum(contents_["five.bin"]));
}

TEST_F(FileTransferE2ETest, ChangedStampsRestartFromTheFirstBlock) {
  const std::string local = Local("five.bin");
  auto peer = BreakingPeer("five.bin", 3);
  Aim(peer->Port());
  EXPECT_THROW(files_.DownloadFile("five.bin", local), ELarkspireException);
  ASSERT_EQ(fs::file_size(local), 132071u + 32);

  Put("five.bin", PatternBytes(4 * 32768 + 999, 55));  // same size, new bytes
  fs::last_write_time(served_ / "five.bin",
                      fs::last_write_time(served_ / "five.bin") + std::chrono::seconds(5));
  Aim(server_->Port());
  events_ = {};
  ASSERT_TRUE(files_.DownloadFile("five.bin", local));
  EXPECT_EQ(events_.begins, std::vector<std::string>{"five.bin fresh"});
  EXPECT_EQ(events_.progress.front(), 32768);
  EXPECT_EQ(FileChecksum(local), Checksum(contents_["five.bin"]));
}

TEST_F(FileTransferE2ETest, BreaksInTheFirstAndTheLastBlockLeaveARecordThatTheNextDownloadFollows) {
  for (int32_t block : {1, 5}) {
    SCOPED_TRACE(block);
    const std::string local = Local("edge" + std::to_string(block) + ".bin");
    Aim(server_->Port());
    auto peer = BreakingPeer("five.bin", block);
    Aim(peer->Port());
    EXPECT_THROW(files_.DownloadFile("five.bin", local), ELarkspireException);
    // Never the remote file's size: that would pass for a complete copy.
    EXPECT_EQ(fs::file_size(local), 132071u + kResumeRecordSize);

    Aim(server_->Port());
    events_ = {};
    ASSERT_TRUE(files_.DownloadFile("five.bin", local));
    EXPECT_EQ(events_.begins,
              std::vector<std::string>{block == 1 ? "five.bin fresh" : "five.bin resume"});
    EXPECT_EQ(FileChecksum(local), Checksum(contents_["five.bin"]));
  }
}

TEST_F(FileTransferE2ETest, EmptyFilesOverwrittenCopiesAndMissingFolders) {
  const std::string empty = Local("empty.dat");
  std::ofstream(empty) << "stale";
  ASSERT_TRUE(files_.DownloadFile("empty.dat", empty));
  EXPECT_EQ(fs::file_size(empty), 0u);
  EXPECT_TRUE(events_.progress.empty());
  EXPECT_EQ(events_.completes, 1);

  const std::string copy = Local("three.bin");
  std::ofstream(copy, std::ios::binary) << PatternBytes(200000, 8);
  ASSERT_TRUE(files_.DownloadFile("three.bin", copy));
  EXPECT_EQ(FileChecksum(copy), Checksum(contents_["three.bin"]));

  const std::string nested = Local("新/目录/深.txt");
  ASSERT_TRUE(files_.DownloadFile("文档\\子目录\\深.txt", nested));
  EXPECT_EQ(ReadWholeFile(nested), "deep");
}

TEST_F(FileTransferE2ETest, EveryPathThatLeavesTheServedFolderIsRefused) {
  for (const std::string& path : std::vector<std::string>{
           "..", "..\\outside\\secret.txt", "文档\\..\\..\\outside\\secret.txt", "\\etc\\passwd",
           "/etc/passwd", "C:\\Windows\\win.ini", "c:secret.txt", "\\\\host\\share\\x",
           "escape\\secret.txt", "文档\\secret.txt"}) {
    SCOPED_TRACE(path);
    TStringList list;
    try {
      files_.GetFileList(list, path, kListRecursive);
      ADD_FAILURE() << "listed";
    } catch (const ELarkspireException& e) {
      EXPECT_NE(std::string(e.what()).find("refused"), std::string::npos) << e.what();
    }
    try {
      files_.DownloadFile(path, Local("escaped.txt"));
      ADD_FAILURE() << "downloaded";
    } catch (const ELarkspireException& e) {
      EXPECT_NE(std::string(e.what()).find("refused"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(fs::exists(Local("escaped.txt")));
  }
  // The links that lead outside are not even listed.
  for (const std::string& line : List("", kListRecursive))
    EXPECT_EQ(line.find("secret"), std::string::npos) << line;
}

TEST_F(FileTransferE2ETest, ADownloadRequestForARefusedPathClosesWithoutSendingBytes) {
  for (const std::string& path : std::vector<std::string>{"..\\outside\\secret.txt", "missing"}) {
    SCOPED_TRACE(path);
    test::TRawClient client;
    ASSERT_TRUE(client.Connect(server_->Port()));
    ASSERT_EQ(client.Handshake("00-11-22-33-44-55", "raw").Status, 1);
    TRemoteCommand request;
    request.Code = cmdDownload;
    request.Value = 1;
    request.SetDataText(path);
    TMemoryStream body;
    request.SaveToStream(body);
    ASSERT_TRUE(client.SendFrame(body.Bytes()));
    std::string reply;
    EXPECT_FALSE(client.ReceiveFrame(reply, 3000));
    EXPECT_TRUE(client.WaitForClose());
  }
  EXPECT_NE(server_->Log().find("download of"), std::string::npos) << server_->Log();
}

}  // namespace
}  // namespace larkspire
