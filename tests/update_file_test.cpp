// TLarkspireUpdateFile against a scripted file server: events of a download, breaks and the
// resume record, stale and damaged records, local failures, listing and information replies,
// and offsets beyond 2 GiB.
#include "components/update_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "protocol/file_transfer.h"
#include "support/file_peer.h"

namespace larkspire {
namespace {

namespace fs = std::filesystem;
using test::Checksum;
using test::FileChecksum;
using test::PatternBytes;
using test::ReadWholeFile;
using test::TFileContent;
using test::TFilePeer;

struct TEventLog {
  std::vector<std::string> begins;  // "name size resume"
  std::vector<int64_t> progress;
  std::vector<std::string> completes;
};

class UpdateFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() /
              ("lk-update-file-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++));
    fs::create_directories(folder_);
    connection_.SetName("Conn1");
    connection_.SetAdapterRoot((folder_ / "no-adapters").string());
    files_.SetName("Files");
    files_.SetConnection(&connection_);
    files_.OnDownloadBegin = [this](const std::string& name, int64_t size, bool resume) {
      log_.begins.push_back(name + " " + std::to_string(size) + (resume ? " resume" : " fresh"));
    };
    files_.OnDownloadProgress = [this](int64_t size, int64_t done) {
      log_.progress.push_back(done);
    };
    files_.OnDownloadComplete = [this](const std::string& name) { log_.completes.push_back(name); };
  }
  void TearDown() override { fs::remove_all(folder_); }

  void UsePeer(TFilePeer& peer) {
    connection_.SetConnected(false);
    connection_.SetRemotePort(peer.Port());
  }
  std::string Local(const std::string& name) const { return (folder_ / name).string(); }

  static TResumeRecord RecordOf(const std::string& path) {
    const std::string bytes = ReadWholeFile(path);
    EXPECT_GE(bytes.size(), kResumeRecordSize);
    return DecodeResumeRecord(bytes.data() + bytes.size() - kResumeRecordSize);
  }

  static inline int counter_ = 0;
  fs::path folder_;
  TLarkspireConnection connection_;
  TLarkspireUpdateFile files_;
  TEventLog log_;
};

TEST_F(UpdateFileTest, ThreeBlockDownloadFiresBeginProgressPerBlockAndComplete) {
  const std::string bytes = PatternBytes(2 * 32768 + 1000);
  TFilePeer peer(TFilePeer::ContentOf(bytes));
  UsePeer(peer);
  connection_.SetLoginPassword("pw");
  connection_.SetConnectionName("demo");
  const std::string local = Local("new/三块.bin");

  ASSERT_TRUE(files_.DownloadFile("dir\\三块.bin", local));
  EXPECT_EQ(ReadWholeFile(local), bytes);
  EXPECT_EQ(log_.begins, std::vector<std::string>{"dir\\三块.bin 66536 fresh"});
  EXPECT_EQ(log_.progress, (std::vector<int64_t>{32768, 65536, 66536}));
  EXPECT_EQ(log_.completes, std::vector<std::string>{"dir\\三块.bin"});
  EXPECT_EQ(files_.BlockCount(), 3);

  const auto requests = peer.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].Code, cmdFileInfo);
  EXPECT_EQ(requests[1].Code, cmdDownload);
  EXPECT_EQ(requests[1].Data, "dir\\三块.bin");
  EXPECT_EQ(requests[1].Value, 1);
  EXPECT_EQ(requests[1].Password, "pw");
  EXPECT_EQ(requests[1].ConnectionName, "demo");
  // The link stays in step: another command after the download is answered normally.
  EXPECT_TRUE(files_.GetFileInfo("dir\\三块.bin"));
}

TEST_F(UpdateFileTest, BreakInBlockTwoOfFiveLeavesTheRecordAndTheNextDownloadResumes) {
  const std::string bytes = PatternBytes(4 * 32768 + 5);
  TFilePeer peer(TFilePeer::ContentOf(bytes));
  peer.SetBreakInBlock(2);
  UsePeer(peer);
  const std::string local = Local("part.bin");

  try {
    files_.DownloadFile("part.bin", local);
    FAIL() << "the broken transfer raised nothing";
  } catch (const ELarkspireException& e) {
    EXPECT_EQ(e.ErrorCode(), -1);
    EXPECT_EQ(std::string(e.what()), "Files:Could not connect to LarkspireServer (127.0.0.1:" +
                                         std::to_string(peer.Port()) + ").");
  }
  EXPECT_EQ(connection_.ErrorCode(), kErrCouldNotConnect);
  EXPECT_FALSE(connection_.Connected());
  EXPECT_FALSE(connection_.Busy());
  EXPECT_TRUE(log_.completes.empty());
  ASSERT_EQ(fs::file_size(local), bytes.size() + 32);
  const TResumeRecord record = RecordOf(local);
  EXPECT_EQ(record.NextBlock, 2);
  EXPECT_EQ(record.Info.FileSize, static_cast<int64_t>(bytes.size()));
  EXPECT_EQ(record.Info.BlockCount, 5);
  EXPECT_EQ(ReadWholeFile(local).substr(0, 32768), bytes.substr(0, 32768));

  peer.SetBreakInBlock(0);
  log_ = {};
  ASSERT_TRUE(files_.DownloadFile("part.bin", local));
  EXPECT_EQ(peer.DownloadValues(), (std::vector<int32_t>{1, 2}));
  EXPECT_EQ(log_.begins, std::vector<std::string>{"part.bin 131077 resume"});
  EXPECT_EQ(log_.progress, (std::vector<int64_t>{65536, 98304, 131072, 131077}));
  EXPECT_EQ(fs::file_size(local), bytes.size());
  EXPECT_EQ(FileChecksum(local), Checksum(bytes));
}

TEST_F(UpdateFileTest, ChangedStampsDownloadAPartialFileFromTheFirstBlock) {
  const std::string old_bytes = PatternBytes(5 * 32768, 1);
  TFilePeer peer(TFilePeer::ContentOf(old_bytes, 46000.25, 1));
  peer.SetBreakInBlock(3);
  UsePeer(peer);
  const std::string local = Local("changed.bin");
  EXPECT_THROW(files_.DownloadFile("changed.bin", local), ELarkspireException);
  ASSERT_EQ(RecordOf(local).NextBlock, 3);

  const std::string new_bytes = PatternBytes(5 * 32768, 2);
  peer.SetContent(TFilePeer::ContentOf(new_bytes, 46000.75, 1));
  peer.SetBreakInBlock(0);
  log_ = {};
  ASSERT_TRUE(files_.DownloadFile("changed.bin", local));
  EXPECT_EQ(peer.DownloadValues().back(), 1);
  EXPECT_EQ(log_.begins, std::vector<std::string>{"changed.bin 163840 fresh"});
  EXPECT_EQ(FileChecksum(local), Checksum(new_bytes));
}

TEST_F(UpdateFileTest, BreaksInTheFirstOrTheLastBlockLeaveARecordThatTheNextDownloadFollows) {
  // A file cut in its first or last block must not pass for a complete copy of the right size.
  const std::string bytes = PatternBytes(3 * 32768 + 77);
  TFilePeer peer(TFilePeer::ContentOf(bytes));
  UsePeer(peer);
  for (int32_t block : {1, 4}) {
    SCOPED_TRACE(block);
    const std::string local = Local("edge" + std::to_string(block) + ".bin");
    peer.SetBreakInBlock(block);
    EXPECT_THROW(files_.DownloadFile("edge.bin", local), ELarkspireConnectionError);
    EXPECT_EQ(fs::file_size(local), bytes.size() + kResumeRecordSize);
    EXPECT_EQ(RecordOf(local).NextBlock, block);

    peer.SetBreakInBlock(0);
    log_ = {};
    ASSERT_TRUE(files_.DownloadFile("edge.bin", local));
    EXPECT_EQ(peer.DownloadValues().back(), block);
    EXPECT_EQ(log_.begins.size(), 1u);
    EXPECT_EQ(log_.begins[0].ends_with(block > 1 ? " resume" : " fresh"), true) << log_.begins[0];
    EXPECT_EQ(ReadWholeFile(local), bytes);
  }
}

TEST_F(UpdateFileTest, ARecordThatDoesNotFitTheFileStartsOver) {
  const std::string bytes = PatternBytes(3 * 32768);
  const TFileContent content = TFilePeer::ContentOf(bytes);
  TFilePeer peer(content);
  UsePeer(peer);
  const std::string local = Local("damaged.bin");
  for (int32_t next : {0, -5, 4, 1000000}) {
    SCOPED_TRACE(next);
    TResumeRecord record;
    record.Info = content.Info;
    record.NextBlock = next;
    {
      std::ofstream out(local, std::ios::binary | std::ios::trunc);
      out << std::string(bytes.size(), 'x') << EncodeResumeRecord(record);
    }
    log_ = {};
    ASSERT_TRUE(files_.DownloadFile("damaged.bin", local));
    EXPECT_EQ(peer.DownloadValues().back(), 1);
    EXPECT_EQ(log_.begins, std::vector<std::string>{"damaged.bin 98304 fresh"});
    EXPECT_EQ(ReadWholeFile(local), bytes);
  }
}

TEST_F(UpdateFileTest, AnEmptyFileGetsNoPacketButBeginAndComplete) {
  TFilePeer peer(TFilePeer::ContentOf(""));
  UsePeer(peer);
  const std::string local = Local("empty.dat");
  std::ofstream(local) << "an older, longer copy";
  ASSERT_TRUE(files_.DownloadFile("empty.dat", local));
  EXPECT_EQ(fs::file_size(local), 0u);
  EXPECT_EQ(log_.begins, std::vector<std::string>{"empty.dat 0 fresh"});
  EXPECT_TRUE(log_.progress.empty());
  EXPECT_EQ(log_.completes.size(), 1u);
  // Nothing was left unread: the next command is answered.
  EXPECT_TRUE(files_.GetFileInfo("empty.dat"));
}

TEST_F(UpdateFileTest, AnExistingCompleteCopyIsOverwrittenAndCut) {
  const std::string bytes = PatternBytes(40000);
  TFilePeer peer(TFilePeer::ContentOf(bytes));
  UsePeer(peer);
  const std::string local = Local("copy.bin");
  std::ofstream(local, std::ios::binary) << PatternBytes(90000, 9);
  ASSERT_TRUE(files_.DownloadFile("copy.bin", local));
  EXPECT_EQ(peer.DownloadValues(), std::vector<int32_t>{1});
  EXPECT_EQ(ReadWholeFile(local), bytes);
}

TEST_F(UpdateFileTest, MissingFoldersAreCreatedAndABareNameFailsInThatStep) {
  TFilePeer peer(TFilePeer::ContentOf("abc"));
  UsePeer(peer);
  const std::string local = Local("a/b/c/file.txt");
  ASSERT_TRUE(files_.DownloadFile("file.txt", local));
  EXPECT_EQ(ReadWholeFile(local), "abc");

  try {
    files_.DownloadFile("file.txt", "file.txt");
    FAIL() << "a name without a folder was accepted";
  } catch (const ELarkspireException& e) {
    EXPECT_EQ(e.ErrorCode(), -1);
    EXPECT_NE(std::string(e.what()).find("Files:Unable to create directory"), std::string::npos)
        << e.what();
  }
  EXPECT_FALSE(fs::exists("file.txt"));
}

TEST_F(UpdateFileTest, ALocalFailureInTheBlockLoopClosesTheConnection) {
  const std::string bytes = PatternBytes(4 * 32768);
  TFilePeer peer(TFilePeer::ContentOf(bytes));
  UsePeer(peer);
  files_.OnDownloadProgress = [](int64_t, int64_t done) {
    if (done == 65536) throw Exception("disk full");
  };
  const std::string local = Local("full.bin");
  try {
    files_.DownloadFile("full.bin", local);
    FAIL() << "the handler's failure was swallowed";
  } catch (const ELarkspireException& e) {
    EXPECT_EQ(std::string(e.what()), "Files:disk full");
  }
  EXPECT_FALSE(connection_.Connected());
  EXPECT_FALSE(connection_.Busy());
  // The record stays: how far it reaches depends on how the packets were batched, but the
  // file never passes for a complete one.
  EXPECT_EQ(fs::file_size(local), bytes.size() + kResumeRecordSize);
  const int32_t next = RecordOf(local).NextBlock;
  EXPECT_GE(next, 1);
  EXPECT_LE(next, 4);

  // The next command connects afresh instead of reading the packets left over.
  files_.OnDownloadProgress = nullptr;
  ASSERT_TRUE(files_.DownloadFile("full.bin", local));
  EXPECT_EQ(peer.DownloadValues().back(), next);
  EXPECT_EQ(ReadWholeFile(local), bytes);
  EXPECT_EQ(peer.Peer().Connections(), 2);
}

TEST_F(UpdateFileTest, TheConnectionIsBusyAndTheFileCarriesItsRecordWhileBlocksArrive) {
  TFilePeer peer(TFilePeer::ContentOf(PatternBytes(3 * 32768)));
  UsePeer(peer);
  std::vector<bool> busy;
  std::vector<bool> info;
  files_.OnDownloadProgress = [&](int64_t, int64_t) {
    busy.push_back(connection_.Busy());
    info.push_back(files_.GetFileInfo("x"));
    // Ended here (a killed process), the file would be resumed, not taken as complete.
    EXPECT_EQ(fs::file_size(Local("x")), 3 * 32768 + kResumeRecordSize);
    EXPECT_EQ(RecordOf(Local("x")).Info.BlockCount, 3);
  };
  ASSERT_TRUE(files_.DownloadFile("x", Local("x")));
  EXPECT_EQ(busy, (std::vector<bool>{true, true, true}));
  EXPECT_EQ(info, (std::vector<bool>{false, false, false}));
  EXPECT_FALSE(connection_.Busy());
  EXPECT_EQ(peer.Requests().size(), 2u);
}

TEST_F(UpdateFileTest, PacketsWithAnImpossibleLengthAreMalformed) {
  const std::string bytes = PatternBytes(3 * 32768);
  TFilePeer peer(TFilePeer::ContentOf(bytes));
  peer.SetBadLengthBlock(3);
  UsePeer(peer);
  try {
    files_.DownloadFile("bad.bin", Local("bad.bin"));
    FAIL() << "a packet longer than its block was written";
  } catch (const ELarkspireMalformedDataError& e) {
    EXPECT_NE(std::string(e.what()).find("block packet 3 of 3: length 32769"), std::string::npos)
        << e.what();
  }
  EXPECT_FALSE(connection_.Connected());
  EXPECT_TRUE(log_.completes.empty());
}

TEST_F(UpdateFileTest, InformationThatDoesNotAddUpIsMalformedAndLeavesTheReplyReset) {
  TFilePeer peer(TFilePeer::ContentOf("abc"));
  UsePeer(peer);
  peer.SetRawInfo(std::string(12, '\0'));
  EXPECT_THROW(files_.GetFileInfo("a"), ELarkspireMalformedDataError);
  EXPECT_EQ(connection_.Reply().Data.Size(), 0);

  TRemoteFileInfo lying;
  lying.FileSize = 100;
  lying.BlockCount = 70000;  // would let the server write far past the file
  peer.SetRawInfo(EncodeFileInfo(lying));
  EXPECT_THROW(files_.DownloadFile("a", Local("a")), ELarkspireMalformedDataError);
  EXPECT_FALSE(fs::exists(Local("a")));
  EXPECT_TRUE(peer.DownloadValues().empty());
}

TEST_F(UpdateFileTest, OffsetsBeyondTwoGibibytesResumeInPlace) {
  // 65536 full blocks and a 100-byte last one; only the last travels.
  TFileContent content;
  content.Info.FileSize = int64_t{65536} * 32768 + 100;
  content.Info.BlockCount = 65537;
  content.Info.Stamp1 = 1;
  content.Info.Stamp2 = 2;
  const std::string tail = PatternBytes(100);
  content.Block = [tail](int32_t block) { return block == 65537 ? tail : std::string(32768, 'z'); };
  TFilePeer peer(content);
  UsePeer(peer);
  const std::string local = Local("huge.bin");
  {
    TResumeRecord record;
    record.Info = content.Info;
    record.NextBlock = 65537;
    const std::string bytes = EncodeResumeRecord(record);
    std::ofstream(local, std::ios::binary).close();
    fs::resize_file(local, static_cast<uintmax_t>(content.Info.FileSize));  // sparse
    std::ofstream out(local, std::ios::binary | std::ios::app);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  ASSERT_TRUE(files_.DownloadFile("huge.bin", local));
  EXPECT_EQ(peer.DownloadValues(), std::vector<int32_t>{65537});
  EXPECT_EQ(log_.progress, std::vector<int64_t>(1, content.Info.FileSize));
  EXPECT_EQ(fs::file_size(local), static_cast<uintmax_t>(content.Info.FileSize));
  std::ifstream in(local, std::ios::binary);
  in.seekg(int64_t{65536} * 32768);
  std::string got(100, '\0');
  in.read(got.data(), 100);
  EXPECT_EQ(got, tail);
}

TEST_F(UpdateFileTest, ListingReplacesTheListAndRefusalsRaiseTheServerText) {
  TFilePeer peer(TFilePeer::ContentOf(""));
  UsePeer(peer);
  peer.SetListing("docs=D,\r\ndocs\\说明.txt=F,70");
  TStringList list{"old line"};
  ASSERT_TRUE(files_.GetFileList(list, "docs", kListRecursive));
  EXPECT_EQ(list.Strings(), (std::vector<std::string>{"docs=D,", "docs\\说明.txt=F,70"}));
  EXPECT_EQ(peer.Requests().back().Params, "docs");
  EXPECT_EQ(peer.Requests().back().Option, 1);

  peer.SetListing("");
  ASSERT_TRUE(files_.GetFileList(list, "", kListOneLevel));
  EXPECT_EQ(list.Count(), 0);

  peer.SetFailure("Path \"..\" refused");
  try {
    files_.GetFileList(list, "..", 0);
    FAIL();
  } catch (const ELarkspireException& e) {
    EXPECT_EQ(e.ErrorCode(), -1);
    EXPECT_EQ(std::string(e.what()), "Files:Path \"..\" refused");
  }
  EXPECT_THROW(files_.DownloadFile("..", Local("x")), ELarkspireException);
  EXPECT_FALSE(fs::exists(Local("x")));
}

TEST(TLarkspireUpdateFile, WithoutAConnectionRaisesMissingConnection) {
  TLarkspireUpdateFile files;
  files.SetName("Files");
  TStringList list;
  try {
    files.GetFileList(list, "", 0);
    FAIL();
  } catch (const ELarkspireException& e) {
    EXPECT_EQ(e.ErrorCode(), 10001);
    EXPECT_EQ(std::string(e.what()), "Files:Missing Connection..");
    EXPECT_EQ(e.ErrorMessage(), "Missing Connection.");
  }
  EXPECT_THROW(files.DownloadFile("a", "/tmp/a"), ELarkspireException);
}

TEST(TLarkspireUpdateFile, ForgetsAConnectionThatIsFreed) {
  TLarkspireUpdateFile files;
  {
    TLarkspireConnection connection;
    files.SetConnection(&connection);
    EXPECT_EQ(files.Connection(), &connection);
  }
  EXPECT_EQ(files.Connection(), nullptr);
}

}  // namespace
}  // namespace larkspire
