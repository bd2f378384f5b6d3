// The server's file service in-process: resolving paths inside the served root, the listing
// format, file information and the sample folder made on first start.
#include "server/files/file_service.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "server/base/server_errors.h"

namespace larkspire::server {
namespace {

namespace fs = std::filesystem;

class FileServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = fs::temp_directory_path() /
            ("lk-file-service-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++));
    root_ = base_ / "root";
    fs::create_directories(root_ / "docs" / "deep");
    fs::create_directories(root_ / "空的");
    fs::create_directories(base_ / "outside");
    std::ofstream(root_ / "a.txt") << "hello";
    std::ofstream(root_ / "docs" / "报告.txt") << std::string(40000, 'r');
    std::ofstream(root_ / "docs" / "deep" / "z.bin") << "zz";
    std::ofstream(base_ / "outside" / "secret.txt") << "secret";
  }
  void TearDown() override { fs::remove_all(base_); }

  // The code of the EServerError that fn raises, or 0.
  template <typename F>
  static int32_t CodeOf(F fn) {
    try {
      fn();
    } catch (const EServerError& e) {
      return e.Code();
    }
    return 0;
  }

  static inline int counter_ = 0;
  fs::path base_;
  fs::path root_;
};

TEST_F(FileServiceTest, ListsOneLevelFoldersFirstWithBackslashPaths) {
  TFileRoot root(root_.string());
  EXPECT_EQ(root.List("", false), "docs=D,\r\n空的=D,\r\na.txt=F,5");
  EXPECT_EQ(root.List("docs", false), "docs\\deep=D,\r\ndocs\\报告.txt=F,40000");
  // Separators of either kind, doubled or trailing, give the same normal path.
  EXPECT_EQ(root.List("docs\\\\", false), root.List("./docs/", false));
  EXPECT_EQ(root.List("空的", false), "");
}

TEST_F(FileServiceTest, ListsSubFoldersRightAfterTheirLineWhenRecursive) {
  TFileRoot root(root_.string());
  EXPECT_EQ(root.List("", true),
            "docs=D,\r\ndocs\\deep=D,\r\ndocs\\deep\\z.bin=F,2\r\ndocs\\报告.txt=F,40000\r\n"
            "空的=D,\r\na.txt=F,5");
}

TEST_F(FileServiceTest, ListingLeavesOutWhatItCannotCarryOrMustNotServe) {
  std::ofstream(root_ / "a=b.txt") << "";
  std::ofstream(root_ / "back\\slash") << "";
  std::ofstream(root_ / std::string("bad\xFF.bin")) << "";
  fs::create_symlink(base_ / "outside", root_ / "escape");
  fs::create_symlink(base_ / "outside" / "secret.txt", root_ / "secret-link");
  fs::create_symlink(root_ / "docs", root_ / "docs-link");  // inside: listed, not followed
  TFileRoot root(root_.string());
  EXPECT_EQ(root.List("", false), "docs=D,\r\ndocs-link=D,\r\n空的=D,\r\na.txt=F,5");
  const std::string recursive = root.List("", true);
  EXPECT_EQ(recursive.find("docs-link\\"), std::string::npos) << recursive;
}

TEST_F(FileServiceTest, RefusesEveryPathThatLeadsOutside) {
  fs::create_symlink(base_ / "outside", root_ / "escape");
  fs::create_symlink(base_ / "outside" / "secret.txt", root_ / "docs" / "secret-link");
  TFileRoot root(root_.string());
  for (const std::string& path : std::vector<std::string>{
           "..", "..\\outside\\secret.txt", "docs\\..\\..\\outside", "docs/../a.txt",
           "\\etc\\passwd", "/etc/passwd", "C:\\Windows", "c:secret.txt", "\\\\server\\share",
           "docs\\a:stream", "escape", "escape\\secret.txt", "escape\\missing.txt",
           "docs\\secret-link", std::string("a.txt\0x", 7)}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(CodeOf([&] { root.Resolve(path); }), kErrPathRefused);
    EXPECT_EQ(CodeOf([&] { root.Info(path); }), kErrPathRefused);
    EXPECT_EQ(CodeOf([&] { root.List(path, true); }), kErrPathRefused);
  }
  try {
    root.Info("..\\outside\\secret.txt");
  } catch (const EServerError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Path \"..\\outside\\secret.txt\" refused: \"..\" leads outside the served folder");
  }
}

TEST_F(FileServiceTest, LinksThatStayInsideAreServed) {
  fs::create_symlink(root_ / "docs", root_ / "docs-link");
  TFileRoot root(root_.string());
  EXPECT_EQ(root.Info("docs-link\\报告.txt").FileSize, 40000);
  EXPECT_EQ(root.Resolve("docs-link"), fs::canonical(root_ / "docs"));
}

TEST_F(FileServiceTest, InformationCountsBlocksAndStampsChangeWithTheFile) {
  TFileRoot root(root_.string());
  const TRemoteFileInfo info = root.Info("docs\\报告.txt");
  EXPECT_EQ(info.FileSize, 40000);
  EXPECT_EQ(info.BlockCount, 2);
  EXPECT_EQ(info.Stamp2, 40000.0);
  EXPECT_GT(info.Stamp1, 40000.0);  // a date number after 2009
  EXPECT_EQ(root.Info("docs\\报告.txt").Stamp1, info.Stamp1);

  fs::last_write_time(root_ / "docs" / "报告.txt",
                      fs::last_write_time(root_ / "docs" / "报告.txt") + std::chrono::seconds(3));
  EXPECT_NE(root.Info("docs\\报告.txt").Stamp1, info.Stamp1);
  std::ofstream(root_ / "a.txt", std::ios::app) << "!";
  EXPECT_EQ(root.Info("a.txt").Stamp2, 6.0);

  std::ofstream(root_ / "empty") << "";
  EXPECT_EQ(root.Info("empty").BlockCount, 0);
  EXPECT_EQ(root.Info("docs\\deep\\z.bin").BlockCount, 1);
}

TEST_F(FileServiceTest, MissingFilesAndFoldersAreTheirOwnFailure) {
  TFileRoot root(root_.string());
  EXPECT_EQ(CodeOf([&] { root.Info("nothing.txt"); }), kErrNoSuchPath);
  EXPECT_EQ(CodeOf([&] { root.Info("docs"); }), kErrNoSuchPath);
  EXPECT_EQ(CodeOf([&] { root.Info(""); }), kErrNoSuchPath);
  EXPECT_EQ(CodeOf([&] { root.List("nothing", false); }), kErrNoSuchPath);
  EXPECT_EQ(CodeOf([&] { root.List("a.txt", false); }), kErrNoSuchPath);
}

TEST_F(FileServiceTest, TheDefaultFolderIsMadeOnceWithSamples) {
  TServerOptions options;
  options.DataDir = (base_ / "data").string();
  const std::string made = PrepareFilesRoot(options);
  EXPECT_EQ(made, fs::canonical(base_ / "data" / "files").string());
  TFileRoot root(made);
  const std::string listing = root.List("", true);
  EXPECT_NE(listing.find("文档=D,"), std::string::npos) << listing;
  EXPECT_NE(listing.find("空文件夹=D,"), std::string::npos) << listing;
  EXPECT_NE(listing.find("data\\blocks.bin=F,100000"), std::string::npos) << listing;
  EXPECT_NE(listing.find("data\\empty.dat=F,0"), std::string::npos) << listing;

  // A later start keeps what the folder holds.
  fs::remove(base_ / "data" / "files" / "readme.txt");
  PrepareFilesRoot(options);
  EXPECT_FALSE(fs::exists(base_ / "data" / "files" / "readme.txt"));
  EXPECT_EQ(std::distance(fs::directory_iterator(base_ / "data"), fs::directory_iterator()), 1);
}

TEST_F(FileServiceTest, AGivenFolderMustExist) {
  TServerOptions options;
  options.FilesDir = (base_ / "nowhere").string();
  EXPECT_THROW(PrepareFilesRoot(options), Exception);
  options.FilesDir = root_.string();
  EXPECT_EQ(PrepareFilesRoot(options), fs::canonical(root_).string());
  EXPECT_FALSE(fs::exists(root_ / "readme.txt"));
}

}  // namespace
}  // namespace larkspire::server
