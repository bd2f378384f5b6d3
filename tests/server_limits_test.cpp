// The server against peers that hold on to it: slow and half-sent frames, idle sessions, floods
// past the connection limit, clients that vanish mid-frame, huge texts meant for the log, a
// FIFO in the served folder, and a stop while sessions are busy. Deadlines here are short so
// that every case ends in a second or two.
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "components/connection.h"
#include "gtest/gtest.h"
#include "protocol/handshake.h"
#include "protocol/memory_stream.h"
#include "protocol/query_description.h"
#include "protocol/remote_command.h"
#include "server/base/server_errors.h"
#include "server/base/server_log.h"
#include "server/config/server_options.h"
#include "server/net/server.h"
#include "support/raw_client.h"
#include "support/server_fixture.h"

namespace larkspire {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using server::TServer;
using server::TServerOptions;
using test::TRawClient;

constexpr const char* kIdentity = "00-1A-2B-3C-4D-5E";

std::string MakeTempFolder() {
  std::string pattern = (fs::temp_directory_path() / "larkspire-limits-test-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

std::string Frame(const std::string& body) {
  const auto length = static_cast<uint32_t>(body.size());
  return std::string{static_cast<char>(length >> 24), static_cast<char>(length >> 16),
                     static_cast<char>(length >> 8), static_cast<char>(length)} +
         body;
}

std::string Encoded(TRemoteCommand& command) {
  TLarkspireMemoryStream stream;
  command.SaveToStream(stream);
  return stream.Bytes();
}

// A query that counts for ever, stopped by its time-out (seconds) at the latest.
std::string EndlessQuery(int32_t timeout) {
  TQueryDescription endless;
  endless.CommandText =
      "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) SELECT count(*) FROM c";
  endless.CommandTimeout = timeout;
  TRemoteCommand query;
  query.Code = cmdOpenQuery;
  WriteQueryDescription(endless, query.Data);
  return Encoded(query);
}

int64_t MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class TServerLimitsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = MakeTempFolder();
    options_.Port = 0;
    options_.DataDir = folder_ + "/data";
  }
  void TearDown() override {
    server_.reset();
    fs::remove_all(folder_);
  }

  void StartServer() {
    server_ = std::make_unique<TServer>(options_);
    server_->Start();
  }

  std::unique_ptr<TRawClient> Accepted(const std::string& name = "Tester") {
    auto client = std::make_unique<TRawClient>();
    EXPECT_TRUE(client->Connect(server_->Port()));
    EXPECT_EQ(client->Handshake(kIdentity, name).Status, kHandshakeAccepted);
    return client;
  }

  // Whether a new client is admitted within two seconds (a freed slot is seen once the
  // session's thread has ended).
  bool AdmitsANewClient() {
    for (int attempt = 0; attempt < 200; ++attempt) {
      TRawClient client;
      if (client.Connect(server_->Port()) &&
          client.Handshake(kIdentity, "Later").Status == kHandshakeAccepted) {
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  bool Runs(TRawClient& client, uint16_t code) {
    TRemoteCommand request;
    request.Code = code;
    TRemoteCommand reply;
    return client.Execute(request, reply) && reply.Success;
  }

  std::string folder_;
  TServerOptions options_;
  std::unique_ptr<TServer> server_;
};

// ---- Slow senders ----

using TServerSlowSenders = TServerLimitsTest;

TEST_F(TServerSlowSenders, CutsAHandshakeTricklingInAtTheDeadlineOfTheWhole) {
  // Each byte comes well within the handshake time; the whole handshake does not.
  options_.HandshakeTimeoutMs = 500;
  StartServer();
  TRawClient client;
  ASSERT_TRUE(client.Connect(server_->Port()));
  const std::string handshake = Frame(std::string("Auth:") + kIdentity + "/Trickler");
  const auto start = Clock::now();
  bool cut = false;
  for (char byte : handshake) {
    if (!client.SendBytes(std::string(1, byte))) {
      cut = true;
      break;
    }
    if (client.WaitForClose(100)) {
      cut = true;
      break;
    }
  }
  EXPECT_TRUE(cut) << "the whole handshake was taken in " << MillisecondsSince(start) << " ms";
  EXPECT_LT(MillisecondsSince(start), 1500);
}

TEST_F(TServerSlowSenders, DropsAHalfSentFrameAfterTheFrameTimeoutAndFreesTheSlot) {
  options_.MaxConnections = 1;
  options_.FrameTimeoutMs = 400;
  StartServer();
  auto client = Accepted();
  // A steady trickle: no single wait is long, but the frame is not whole in time.
  const std::string frame = Frame(std::string(200, 'x'));
  const auto start = Clock::now();
  bool cut = false;
  for (size_t i = 0; i < frame.size() && !cut; ++i) {
    cut = !client->SendBytes(frame.substr(i, 1)) || client->WaitForClose(50);
  }
  EXPECT_TRUE(cut);
  const int64_t elapsed = MillisecondsSince(start);
  EXPECT_GE(elapsed, 350);
  EXPECT_LT(elapsed, 1500);
  EXPECT_TRUE(AdmitsANewClient());
}

TEST_F(TServerSlowSenders, ClosesAnIdleSessionOnlyWhenNoTransactionIsOpen) {
  options_.IdleTimeoutMs = 300;
  StartServer();
  auto idle = Accepted("Idle");
  auto working = Accepted("Working");
  ASSERT_TRUE(Runs(*working, cmdBeginTrans));
  EXPECT_TRUE(idle->WaitForClose(2000));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  // The open transaction kept its session; once committed, it may idle out as well.
  TRemoteCommand commit;
  commit.Code = cmdCommitTrans;
  commit.Success = true;  // the client's in-transaction flag
  TRemoteCommand reply;
  ASSERT_TRUE(working->Execute(commit, reply));
  EXPECT_TRUE(reply.Success) << reply.Message;
  EXPECT_TRUE(working->WaitForClose(2000));
}

TEST_F(TServerSlowSenders, CutsAClientThatTakesNoByteOfADownloadAfterTheFrameTimeout) {
  options_.MaxConnections = 1;
  options_.FrameTimeoutMs = 300;
  options_.FilesDir = folder_ + "/files";
  fs::create_directories(options_.FilesDir);
  // Sparse: far more than the socket buffers hold, for no disk space.
  const std::string big = options_.FilesDir + "/big.bin";
  std::ofstream(big).close();
  fs::resize_file(big, 64 << 20);
  StartServer();
  auto reader = Accepted("NeverReads");
  TRemoteCommand download;
  download.Code = cmdDownload;
  download.Value = 1;
  download.SetDataText("big.bin");
  ASSERT_TRUE(reader->SendFrame(Encoded(download)));
  // Its session ends on its own, and so its place is free again.
  EXPECT_TRUE(AdmitsANewClient());
}

TEST_F(TServerSlowSenders, AClientWhoseIdleSessionWasClosedConnectsAfreshOnItsNextCommand) {
  options_.IdleTimeoutMs = 200;
  StartServer();
  TLarkspireConnection connection;
  connection.SetRemotePort(server_->Port());
  int connects = 0;
  connection.OnAfterConnect = [&] { ++connects; };
  EXPECT_EQ(connection.StartTransaction(), 1);
  connection.CommitTransaction();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(connection.StartTransaction(), 1);
  connection.CommitTransaction();
  EXPECT_EQ(connects, 2);
}

// ---- The connection limit ----

using TServerConnectionLimit = TServerLimitsTest;

TEST_F(TServerConnectionLimit, RefusesEveryNewcomerOfAFloodWith100022ThenAdmitsAgain) {
  options_.MaxConnections = 2;
  StartServer();
  // Both slots held: one session idle, one still waiting for its handshake.
  auto holder = Accepted("Holder");
  auto silent = std::make_unique<TRawClient>();
  ASSERT_TRUE(silent->Connect(server_->Port()));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));

  constexpr int kFlood = 60;
  std::vector<std::unique_ptr<TRawClient>> flood;
  for (int i = 0; i < kFlood; ++i) {
    flood.push_back(std::make_unique<TRawClient>());
    ASSERT_TRUE(flood.back()->Connect(server_->Port()));
  }
  int refused = 0;
  for (auto& client : flood) {
    const auto reply = client->Handshake(kIdentity, "Newcomer");
    if (reply.Status == kHandshakeRefused && reply.Code == 100022) ++refused;
    EXPECT_TRUE(client->WaitForClose(2000));
  }
  EXPECT_EQ(refused, kFlood);
  EXPECT_TRUE(Runs(*holder, cmdBeginTrans));

  silent.reset();
  EXPECT_TRUE(AdmitsANewClient());
}

TEST_F(TServerConnectionLimit, TheClientsConnectionReadsTheEarlyRefusalAsTheLimit) {
  options_.MaxConnections = 1;
  StartServer();
  auto holder = Accepted("Holder");
  TLarkspireConnection connection;
  connection.SetRemotePort(server_->Port());
  connection.SetConnected(true);
  EXPECT_FALSE(connection.Connected());
  EXPECT_EQ(connection.ErrorCode(), 100022);
  holder.reset();
  for (int attempt = 0; attempt < 200 && !connection.Connected(); ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    connection.SetConnected(true);
  }
  EXPECT_TRUE(connection.Connected());
}

TEST_F(TServerConnectionLimit, FreesTheSlotOfAClientThatVanishesMidFrame) {
  options_.MaxConnections = 1;
  StartServer();
  {
    auto client = Accepted();
    ASSERT_TRUE(client->SendBytes(Frame(std::string(4096, 'x')).substr(0, 100)));
  }
  EXPECT_TRUE(AdmitsANewClient());
}

// ---- Peer texts in the log ----

TEST(TServerLog, ShowsAShortEscapedPrefixOfAPeersTextAndItsLength) {
  EXPECT_EQ(server::LogSafe("Demo\x01\\"), "Demo\\x01\\x5C");
  EXPECT_EQ(server::LogSafe(std::string(3, '\0'), 2), "\\x00\\x00\xE2\x80\xA6 (3 bytes)");
  // A character is never cut in two; a stray byte of a broken one is escaped.
  EXPECT_EQ(server::LogSafe("a\xE4\xBD\xA0\xE5\xA5\xBD", 2), "a\xE4\xBD\xA0\xE2\x80\xA6 (7 bytes)");
  EXPECT_EQ(server::LogSafe("\xE4\xBD"), "\\xE4\\xBD");
}

TEST(TServerLog, GrowsByAFewKilobytesForAHugeClientNameAndIdentity) {
  test::TServerProcess process;
  TRawClient client;
  ASSERT_TRUE(client.Connect(process.Port()));
  ASSERT_EQ(client.Handshake(std::string(60000, '\x01'), "Small").Status, 1);
  TRemoteCommand rename;
  rename.Code = cmdClientName;
  rename.SetDataText(std::string(16u << 20, '\0'));
  const std::string encoded = Encoded(rename);
  EXPECT_LT(encoded.size(), 100000u);  // the name travels compressed
  TRemoteCommand reply;
  ASSERT_TRUE(client.Execute(rename, reply, 20000));
  EXPECT_TRUE(reply.Success) << reply.Message;
  client.Close();
  EXPECT_EQ(process.Stop(), 0);
  const std::string log = process.Log();
  EXPECT_LT(log.size(), 8000u) << log.substr(0, 2000);
  EXPECT_NE(log.find("(16777216 bytes)"), std::string::npos) << log.substr(0, 2000);
}

// ---- Files that are not files, and stopping ----

using TServerFiles = TServerLimitsTest;

TEST_F(TServerFiles, RefusesAFifoInTheServedFolderAtOnceAndGoesOnServing) {
  options_.FilesDir = folder_ + "/files";
  fs::create_directories(options_.FilesDir);
  ASSERT_EQ(::mkfifo((options_.FilesDir + "/pipe").c_str(), 0600), 0);
  std::ofstream(options_.FilesDir + "/plain.txt") << "plain";
  StartServer();

  auto client = Accepted();
  TRemoteCommand info;
  info.Code = cmdFileInfo;
  info.SetDataText("pipe");
  TRemoteCommand reply;
  ASSERT_TRUE(client->Execute(info, reply, 1000));
  EXPECT_FALSE(reply.Success);
  EXPECT_EQ(reply.Value, kErrFileUnreadable);

  // A download that cannot start closes the connection: the client reads packets, not replies.
  TRemoteCommand download;
  download.Code = cmdDownload;
  download.Value = 1;
  download.SetDataText("pipe");
  const auto start = Clock::now();
  ASSERT_TRUE(client->SendFrame(Encoded(download)));
  EXPECT_TRUE(client->WaitForClose(1000));
  EXPECT_LT(MillisecondsSince(start), 1000);

  auto next = Accepted();
  info.SetDataText("plain.txt");
  ASSERT_TRUE(next->Execute(info, reply));
  EXPECT_TRUE(reply.Success) << reply.Message;
}

TEST(TServerShutdown, SigtermStopsWithinTheGraceWhateverTheSessionsAreDoing) {
  test::TServerProcess process({"--stop-grace-ms", "300"});
  // One session mid-handshake, one mid-frame, one in a query that runs for its whole time-out.
  TRawClient handshaking;
  ASSERT_TRUE(handshaking.Connect(process.Port()));
  ASSERT_TRUE(handshaking.SendBytes(Frame("Auth:00-1A/Slow").substr(0, 7)));
  TRawClient framing;
  ASSERT_TRUE(framing.Connect(process.Port()));
  ASSERT_EQ(framing.Handshake(kIdentity, "Framing").Status, 1);
  ASSERT_TRUE(framing.SendBytes(Frame(std::string(1000, 'x')).substr(0, 500)));
  TRawClient querying;
  ASSERT_TRUE(querying.Connect(process.Port()));
  ASSERT_EQ(querying.Handshake(kIdentity, "Querying").Status, 1);
  ASSERT_TRUE(querying.SendFrame(EndlessQuery(60)));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));

  const auto start = Clock::now();
  EXPECT_EQ(process.Stop(8000), 0);
  EXPECT_LT(MillisecondsSince(start), 4000) << process.Log();
  EXPECT_TRUE(handshaking.WaitForClose(100));
  EXPECT_TRUE(framing.WaitForClose(100));
  EXPECT_TRUE(querying.WaitForClose(100));
}

// ---- Clients that go away, memory in flight ----

using TServerHangUps = TServerLimitsTest;

TEST_F(TServerHangUps, AQueryWhoseClientHangsUpStopsInTheDatabase) {
  StartServer();
  auto querying = Accepted("Querying");
  ASSERT_TRUE(querying->SendFrame(EndlessQuery(120)));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_EQ(server_->ActiveSessions(), 1);
  querying->Close();
  // The statement is interrupted, so the session ends long before the statement's time-out.
  const auto start = Clock::now();
  while (server_->ActiveSessions() > 0 && MillisecondsSince(start) < 5000)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(server_->ActiveSessions(), 0);
}

TEST_F(TServerHangUps, RequestsPastTheInflightBudgetAreRefusedAsBusyAndTheSessionGoesOn) {
  options_.MaxInflight = 64 * 1024;
  StartServer();
  auto client = Accepted();
  std::string body;
  // A frame longer than the whole budget: its body is read and dropped, and answered.
  ASSERT_TRUE(client->SendFrame(std::string(100 * 1024, 'x')));
  ASSERT_TRUE(client->ReceiveFrame(body));
  TRemoteCommand reply;
  TLarkspireMemoryStream stream;
  stream.WriteBuffer(body.data(), static_cast<int64_t>(body.size()));
  stream.SetPosition(0);
  reply.LoadFromStream(stream);
  EXPECT_FALSE(reply.Success);
  EXPECT_EQ(reply.Value, kErrServerBusy);
  // A small frame that inflates past what the budget has free.
  TRemoteCommand inflating;
  inflating.Code = cmdBeginTrans;
  inflating.Success = true;
  inflating.SetDataText(std::string(1024 * 1024, '\0'));
  ASSERT_TRUE(client->Execute(inflating, reply));
  EXPECT_EQ(reply.Value, kErrServerBusy) << reply.Message;
  // Nothing is held any longer, and the connection is in step.
  EXPECT_TRUE(Runs(*client, cmdBeginTrans));
  EXPECT_TRUE(Runs(*client, cmdCommitTrans));
}

TEST(TServerOptionsParsing, ReadsTheFrameAndIdleTimeoutsInSeconds) {
  const char* defaults[] = {"larkspire-server"};
  auto parsed = server::ParseServerOptions(1, defaults);
  EXPECT_EQ(parsed.Options.FrameTimeoutMs, 30000u);
  EXPECT_EQ(parsed.Options.IdleTimeoutMs, 0u);
  const char* given[] = {"larkspire-server", "--frame-timeout", "2.5", "--idle-timeout", "600"};
  parsed = server::ParseServerOptions(5, given);
  ASSERT_FALSE(parsed.Exit) << parsed.Output;
  EXPECT_EQ(parsed.Options.FrameTimeoutMs, 2500u);
  EXPECT_EQ(parsed.Options.IdleTimeoutMs, 600000u);
  const char* zero[] = {"larkspire-server", "--frame-timeout", "0"};
  EXPECT_TRUE(server::ParseServerOptions(3, zero).Exit);
}

}  // namespace
}  // namespace larkspire
