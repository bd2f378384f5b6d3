// The server's plug-in host in-process: finding plug-ins, running calls in runner processes, and
// how a plug-in that crashes, hangs, fails or answers badly is reported.
#include "server/plugins/plugin_host.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "protocol/memory_stream.h"
#include "protocol/plugin_data.h"
#include "server/base/server_errors.h"

namespace larkspire {
namespace {

namespace fs = std::filesystem;
using server::EServerError;
using server::TPluginHost;
using server::TPluginHostOptions;

const std::string kFaultyDir = LARKSPIRE_TEST_PLUGIN_DIR;

std::string Container(int32_t req_type) {
  TLarkspirePluginData data;
  data.Param("ReqType").SetAsInteger(req_type);
  TLarkspireMemoryStream stream;
  data.WriteToStream(stream);
  return stream.Bytes();
}

TPluginHostOptions Options(std::vector<std::string> folders, uint32_t timeout_ms = 10000) {
  TPluginHostOptions options;
  options.Folders = std::move(folders);
  options.Runner = server::DefaultPluginRunner();
  options.TimeoutMs = timeout_ms;
  return options;
}

// The code and text of the EServerError that the call raises.
std::pair<int32_t, std::string> Failure(TPluginHost& host, const std::string& name,
                                        const std::string& request) {
  try {
    host.Call(name, request);
  } catch (const EServerError& e) {
    return {e.Code(), e.what()};
  }
  return {0, "no error"};
}

// Whether this process has a child left over (running or not reaped).
bool HasChildren() {
  return ::waitpid(-1, nullptr, WNOHANG) != -1 || errno != ECHILD;
}

class PluginHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "larkspire-plugins-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
  }
  void TearDown() override { fs::remove_all(folder_); }

  std::string folder_;
  TPluginHost faulty_{Options({kFaultyDir}, 500)};
};

TEST_F(PluginHostTest, FindsPluginSampleInTheDefaultFolderWhateverTheLetterCase) {
  TPluginHost host(Options({server::DefaultPluginFolder()}));
  ASSERT_EQ(host.Plugins().size(), 1u);
  EXPECT_EQ(host.Plugins()[0].Name, "PluginSample");
  EXPECT_NE(host.Find("pluginSAMPLE"), nullptr);
  EXPECT_EQ(host.Find("Plugin"), nullptr);
}

TEST_F(PluginHostTest, RunsACallAndReturnsTheAnswerContainer) {
  TLarkspirePluginData request;
  request.Param("ReqType").SetAsInteger(0);
  request.Param("A").SetAsInteger(-7);
  request.Param("b").SetAsInt64(3);
  TLarkspireMemoryStream bytes;
  request.WriteToStream(bytes);
  TPluginHost host(Options({server::DefaultPluginFolder()}));
  const std::string answer = host.Call("PluginSample", bytes.Bytes());
  TLarkspireMemoryStream stream;
  stream.WriteBuffer(answer.data(), static_cast<int64_t>(answer.size()));
  TLarkspirePluginData data;
  data.ReadFromStream(stream);
  ASSERT_EQ(data.Count(), 1);
  EXPECT_EQ(data.Items(0).DataType(), pdtInteger);
  EXPECT_EQ(data.Param("Result").GetAsInteger(), -4);
}

TEST_F(PluginHostTest, LeavesOutFilesThatAreNoPluginAndNamesServedTwice) {
  const fs::path sample = fs::path(server::DefaultPluginFolder()) / "PluginSample.so";
  fs::copy_file(sample, fs::path(folder_) / "a.so");
  fs::copy_file(sample, fs::path(folder_) / "b.so");
  std::ofstream(fs::path(folder_) / "junk.so") << "not a library";
  std::ofstream(fs::path(folder_) / "notes.txt") << "ignored";
  TPluginHost host(Options({folder_, kFaultyDir}));
  ASSERT_EQ(host.Plugins().size(), 2u);
  EXPECT_EQ(host.Plugins()[0].Path, (fs::path(folder_) / "a.so").string());
  EXPECT_EQ(host.Plugins()[1].Name, "PluginFaulty");
}

TEST_F(PluginHostTest, AnUnknownPluginIsNamedWithWhatTheServerHas) {
  auto [code, text] = Failure(faulty_, "NoSuch", Container(0));
  EXPECT_EQ(code, kErrUnknownPlugin);
  EXPECT_EQ(text, "Unknown plug-in \"NoSuch\" (this server has PluginFaulty)");
  TPluginHost empty(Options({folder_}));
  EXPECT_EQ(Failure(empty, "X", Container(0)).second,
            "Unknown plug-in \"X\" (this server has no plug-ins)");
}

TEST_F(PluginHostTest, ACrashEndsOnlyTheRunner) {
  auto [code, text] = Failure(faulty_, "PluginFaulty", Container(0));
  EXPECT_EQ(code, kErrPluginBroken);
  EXPECT_EQ(text, "Plug-in \"PluginFaulty\" crashed (signal 11, Segmentation fault)");
  EXPECT_FALSE(HasChildren());
}

TEST_F(PluginHostTest, APluginThatDoesNotAnswerIsStoppedAtTheTimeLimit) {
  const auto start = std::chrono::steady_clock::now();
  auto [code, text] = Failure(faulty_, "PluginFaulty", Container(1));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(code, kErrPluginTimeout);
  EXPECT_EQ(text, "Plug-in \"PluginFaulty\" did not answer within 500 ms and was stopped");
  EXPECT_FALSE(HasChildren());
}

TEST_F(PluginHostTest, APluginsErrorTextComesBackUnchanged) {
  auto [code, text] = Failure(faulty_, "PluginFaulty", Container(2));
  EXPECT_EQ(code, kErrPluginFailed);
  EXPECT_EQ(text, "PluginFaulty: asked to fail");
  EXPECT_EQ(Failure(faulty_, "PluginFaulty", Container(5)).second,
            "Plug-in \"PluginFaulty\" failed without saying why");
  EXPECT_EQ(Failure(faulty_, "PluginFaulty", Container(7)).second,
            "Plug-in \"PluginFaulty\" failed: thrown on purpose");
}

TEST_F(PluginHostTest, BadAnswersAreRefused) {
  auto [code, text] = Failure(faulty_, "PluginFaulty", Container(4));
  EXPECT_EQ(code, kErrPluginBroken);
  EXPECT_NE(text.find("Plug-in \"PluginFaulty\" answered malformed data: plug-in data: count 5"),
            std::string::npos)
      << text;
  EXPECT_EQ(Failure(faulty_, "PluginFaulty", Container(8)).second,
            "Plug-in \"PluginFaulty\" ended without an answer (exit code 5)");
  // An answer larger than the limit is cut off.
  TPluginHostOptions small = Options({kFaultyDir});
  small.MaxAnswer = 16;
  TPluginHost host(small);
  EXPECT_EQ(Failure(host, "PluginFaulty", Container(3)).second,
            "Plug-in \"PluginFaulty\" answered more than 16 bytes");
}

TEST_F(PluginHostTest, NoAnswerIsAnEmptyContainer) {
  EXPECT_EQ(faulty_.Call("PluginFaulty", Container(6)), std::string(4, '\0'));
}

TEST_F(PluginHostTest, LargeRequestsAndAnswersCrossWhole) {
  TLarkspirePluginData request;
  request.Param("ReqType").SetAsInteger(3);
  TLarkspireMemoryStream blob;
  std::string bytes(6 << 20, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7);
  blob.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
  request.Param("blob").SetAsStream(blob);
  TLarkspireMemoryStream stream;
  request.WriteToStream(stream);
  TPluginHost host(Options({kFaultyDir}));
  EXPECT_EQ(host.Call("PluginFaulty", stream.Bytes()), stream.Bytes());
}

TEST_F(PluginHostTest, AMissingRunnerIsReportedAsSuch) {
  TPluginHostOptions options = Options({kFaultyDir});
  options.Runner = folder_ + "/no-runner";
  TPluginHost host(options);
  auto [code, text] = Failure(host, "PluginFaulty", Container(2));
  EXPECT_EQ(code, kErrPluginHost);
  EXPECT_NE(text.find("Plug-ins cannot be run on this server: cannot start"), std::string::npos)
      << text;
}

// The "Result" of a PluginSample sum.
int32_t SampleSum(TPluginHost& host, int32_t a, int32_t b) {
  TLarkspirePluginData request;
  request.Param("ReqType").SetAsInteger(0);
  request.Param("a").SetAsInteger(a);
  request.Param("b").SetAsInteger(b);
  TLarkspireMemoryStream bytes;
  request.WriteToStream(bytes);
  const std::string answer = host.Call("PluginSample", bytes.Bytes());
  TLarkspireMemoryStream stream;
  stream.WriteBuffer(answer.data(), static_cast<int64_t>(answer.size()));
  TLarkspirePluginData data;
  data.ReadFromStream(stream);
  return data.Param("Result").GetAsInteger();
}

TEST_F(PluginHostTest, CallAfterCallIsServedByTheSameWarmRunner) {
  TPluginHost host(Options({server::DefaultPluginFolder()}));
  for (int i = 0; i < 50; ++i) ASSERT_EQ(SampleSum(host, i, 1000), i + 1000);
  EXPECT_EQ(host.RunnersStarted(), 1u);
}

TEST_F(PluginHostTest, ParallelCallsEachGetARunnerAndTheIdleOnesAreBounded) {
  TPluginHostOptions options = Options({server::DefaultPluginFolder()});
  options.IdleRunners = 2;
  TPluginHost host(options);
  std::vector<std::thread> callers;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 6; ++t) {
    callers.emplace_back([&, t] {
      for (int i = 0; i < 40; ++i)
        if (SampleSum(host, t, i) != t + i) ++wrong;
    });
  }
  for (std::thread& caller : callers) caller.join();
  EXPECT_EQ(wrong, 0);
  // Six callers need at most six runners at once; with two kept idle, a few more are started
  // as callers outnumber them, but far fewer than one per call.
  EXPECT_GE(host.RunnersStarted(), 2u);
  EXPECT_LT(host.RunnersStarted(), 240u / 2);
}

TEST_F(PluginHostTest, NoIdleRunnersMeansAFreshProcessForEveryCall) {
  TPluginHostOptions options = Options({server::DefaultPluginFolder()});
  options.IdleRunners = 0;
  TPluginHost host(options);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(SampleSum(host, i, 1), i + 1);
  EXPECT_EQ(host.RunnersStarted(), 3u);
  EXPECT_FALSE(HasChildren());
}

TEST_F(PluginHostTest, ACrashOrAHangFailsOnlyItsCallAndTheRunnerIsReplaced) {
  EXPECT_EQ(faulty_.Call("PluginFaulty", Container(6)), std::string(4, '\0'));
  EXPECT_EQ(faulty_.RunnersStarted(), 1u);
  EXPECT_EQ(Failure(faulty_, "PluginFaulty", Container(0)).first, kErrPluginBroken);
  EXPECT_EQ(faulty_.Call("PluginFaulty", Container(6)), std::string(4, '\0'));
  EXPECT_EQ(faulty_.RunnersStarted(), 2u);
  EXPECT_EQ(Failure(faulty_, "PluginFaulty", Container(1)).first, kErrPluginTimeout);
  EXPECT_EQ(faulty_.Call("PluginFaulty", Container(6)), std::string(4, '\0'));
  EXPECT_EQ(faulty_.RunnersStarted(), 3u);
  // A plug-in's own failure leaves its runner serving.
  EXPECT_EQ(Failure(faulty_, "PluginFaulty", Container(2)).first, kErrPluginFailed);
  EXPECT_EQ(Failure(faulty_, "PluginFaulty", Container(7)).first, kErrPluginFailed);
  EXPECT_EQ(faulty_.Call("PluginFaulty", Container(6)), std::string(4, '\0'));
  EXPECT_EQ(faulty_.RunnersStarted(), 3u);
}

TEST_F(PluginHostTest, AnIdleRunnerThatDiedMeanwhileIsReplacedUnnoticed) {
  TPluginHost host(Options({server::DefaultPluginFolder()}));
  ASSERT_EQ(SampleSum(host, 1, 2), 3);
  // Kill the idle runner from outside (its name is cut to 15 characters in /proc).
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string pid, comm, state;
    int ppid = 0;
    stat >> pid >> comm >> state >> ppid;
    if (ppid == ::getpid() && comm.find("larkspire-plug") != std::string::npos)
      ::kill(std::stoi(pid), SIGKILL);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(SampleSum(host, 3, 4), 7);
  EXPECT_EQ(host.RunnersStarted(), 2u);
}

}  // namespace
}  // namespace larkspire
