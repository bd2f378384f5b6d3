// The client against a larkspire-server that is killed (SIGKILL) and started again: between
// commands, in the middle of a transaction, and in the middle of a download.
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "components/connection.h"
#include "components/exception.h"
#include "components/query.h"
#include "components/update_file.h"
#include "gtest/gtest.h"
#include "protocol/error_codes.h"
#include "support/file_peer.h"
#include "support/server_fixture.h"

namespace larkspire {
namespace {

namespace fs = std::filesystem;
using test::PatternBytes;
using test::ReadWholeFile;
using test::TServerProcess;

class ServerFaultE2ETest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "lk-fault-e2e-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    base_ = pattern;
    fs::create_directories(base_ / "served");
  }
  void TearDown() override {
    server_.reset();
    fs::remove_all(base_);
  }

  // Starts the server on the data folder and served folder of the test; port 0 picks one.
  void Start(uint16_t port = 0) {
    server_ = std::make_unique<TServerProcess>(std::vector<std::string>{
        "--port", std::to_string(port), "--data-dir", (base_ / "data").string(), "--files",
        (base_ / "served").string()});
  }
  // Kills the server outright, as a crash or a power cut would, and reaps it.
  void Kill() {
    ASSERT_EQ(::kill(server_->Pid(), SIGKILL), 0);
    EXPECT_EQ(server_->Stop(), 128 + SIGKILL);
  }

  fs::path base_;
  std::unique_ptr<TServerProcess> server_;
};

TEST_F(ServerFaultE2ETest, TheRetryReachesARestartedServerAndALostTransactionIsReportedAsSuch) {
  Start();
  const uint16_t port = server_->Port();
  TLarkspireConnection connection;
  connection.SetName("Conn");
  connection.SetRemotePort(port);
  TLarkspireQuery read;
  read.SetName("Read");
  read.SetConnection(&connection);
  read.SQL().SetText("select ProName from products where ProId = 1");
  read.Open();
  const std::string name = read.FieldByName("ProName").AsString();

  // Between commands: the broken link fails the first attempt, the one retry connects afresh.
  Kill();
  Start(port);
  read.Close();
  read.Open();
  EXPECT_EQ(read.FieldByName("ProName").AsString(), name);

  // In a transaction: the new session has none, so the command is refused as lost, not run in
  // autocommit, and the edit made inside the transaction is gone.
  ASSERT_EQ(connection.StartTransaction(), 1);
  TLarkspireQuery edit;
  edit.SetConnection(&connection);
  edit.SQL().SetText(
      "update products set ProName = 'edited in a lost transaction' where ProId = 1");
  edit.ExecSQL();
  Kill();
  Start(port);
  read.Close();
  try {
    read.Open();
    ADD_FAILURE() << "the open in a lost transaction succeeded";
  } catch (const ELarkspireException& e) {
    EXPECT_EQ(e.ErrorCode(), kErrTransactionLost) << e.what();
  }
  EXPECT_EQ(connection.ErrorCode(), kErrTransactionLost);
  EXPECT_FALSE(connection.InTransaction());
  read.Open();
  EXPECT_EQ(read.FieldByName("ProName").AsString(), name);
}

TEST_F(ServerFaultE2ETest, ADownloadCutByAKilledServerResumesToIdenticalBytes) {
  const size_t size = (48u << 20) + 1234;  // larger than what loopback buffers hold
  const std::string bytes = PatternBytes(size, 7);
  {
    std::ofstream out(base_ / "served" / "big.bin", std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  Start();
  TLarkspireConnection connection;
  connection.SetRemotePort(server_->Port());
  TLarkspireUpdateFile files;
  files.SetName("Files");
  files.SetConnection(&connection);
  const std::string local = (base_ / "local" / "big.bin").string();
  const pid_t pid = server_->Pid();
  bool killed = false;
  files.OnDownloadProgress = [&](int64_t, int64_t done) {
    if (!killed && done >= (int64_t{2} << 20)) {
      ::kill(pid, SIGKILL);
      killed = true;
    }
  };
  EXPECT_THROW(files.DownloadFile("big.bin", local), ELarkspireException);
  ASSERT_TRUE(killed);
  // The blocks received so far and the resume record after them.
  EXPECT_EQ(fs::file_size(local), size + kResumeRecordSize);
  EXPECT_EQ(server_->Stop(), 128 + SIGKILL);

  Start();
  connection.SetRemotePort(server_->Port());
  files.OnDownloadProgress = nullptr;
  bool resumed = false;
  files.OnDownloadBegin = [&](const std::string&, int64_t, bool resume) { resumed = resume; };
  ASSERT_TRUE(files.DownloadFile("big.bin", local));
  EXPECT_TRUE(resumed);
  EXPECT_TRUE(ReadWholeFile(local) == bytes) << "the resumed file differs from the served one";
}

}  // namespace
}  // namespace larkspire
