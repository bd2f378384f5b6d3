// larkspire-server as a service manager runs it: SIGTERM lets a request in flight answer before
// the server exits, and SIGHUP reopens a log file that was rotated away.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "components/connection.h"
#include "components/plugin_call.h"
#include "support/server_fixture.h"

namespace larkspire::test {
namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(ServerProcess, SigtermLetsARequestInFlightAnswerThenExits) {
  TServerProcess server({"--plugins", LARKSPIRE_TEST_PLUGIN_DIR});
  TLarkspireConnection connection;
  connection.SetRemotePort(server.Port());
  TLarkspirePluginCall call;
  call.SetConnection(&connection);
  call.RequestData().Param("ReqType").SetAsInteger(9);  // answers after two seconds
  connection.SetConnected(true);

  std::string failure;
  bool answered = false;
  std::thread client([&] {
    try {
      answered = call.Execute("PluginFaulty");
    } catch (const std::exception& e) {
      failure = e.what();
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ::kill(server.Pid(), SIGTERM);
  client.join();

  EXPECT_EQ(failure, "");
  EXPECT_TRUE(answered);
  ASSERT_NE(call.ResponseData().FindParam("ReqType"), nullptr);
  EXPECT_EQ(call.ResponseData().FindParam("ReqType")->GetAsInteger(), 9);
  EXPECT_EQ(server.Stop(), 0);
}

TEST(ServerProcess, SighupReopensTheLogFileAfterARotation) {
  namespace fs = std::filesystem;
  const std::string log =
      (fs::temp_directory_path() / ("lk-log-" + std::to_string(::getpid()))).string();
  fs::remove(log);
  fs::remove(log + ".1");
  {
    TServerProcess server({"--log-file", log});
    fs::rename(log, log + ".1");
    ::kill(server.Pid(), SIGHUP);
    for (int i = 0; i < 200 && !fs::exists(log); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(fs::exists(log));

    TLarkspireConnection connection;
    connection.SetRemotePort(server.Port());
    connection.SetClientName("after-rotation");
    connection.SetConnected(true);
    connection.SetConnected(false);
    EXPECT_EQ(server.Stop(), 0);
  }
  EXPECT_NE(ReadFile(log + ".1").find("listening"), std::string::npos)
      << "the first lines stay in the rotated file";
  EXPECT_NE(ReadFile(log).find("SIGHUP received, log reopened"), std::string::npos);
  EXPECT_NE(ReadFile(log).find("stopped"), std::string::npos);
  fs::remove(log);
  fs::remove(log + ".1");
}

}  // namespace
}  // namespace larkspire::test
