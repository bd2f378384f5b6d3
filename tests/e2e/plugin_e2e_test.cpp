// Plug-in calls end to end: TLarkspirePluginCall against the real larkspire-server and its
// PluginSample, every ReqType (the screen under Xvfb when it is installed), unknown plug-ins,
// plug-in errors, crashes and hangs that leave the server serving, and the busy connection.
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <regex>
#include <string>

#include "components/connection.h"
#include "components/exception.h"
#include "components/plugin_call.h"
#include "gtest/gtest.h"
#include "platform/wait_window.h"
#include "protocol/plugin_data.h"
#include "support/server_fixture.h"
#include "support/xvfb.h"

namespace larkspire::test {
namespace {

constexpr int kScreenWidth = 640;
constexpr int kScreenHeight = 480;

// Sets (or, with nullopt, removes) an environment variable until the end of the scope.
class TEnvironmentGuard {
 public:
  TEnvironmentGuard(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) previous_ = old;
    if (value)
      ::setenv(name, value->c_str(), 1);
    else
      ::unsetenv(name);
  }
  ~TEnvironmentGuard() {
    if (previous_)
      ::setenv(name_, previous_->c_str(), 1);
    else
      ::unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> previous_;
};

uint32_t U32At(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= uint32_t{static_cast<uint8_t>(bytes[at + i])} << (8 * i);
  return value;
}

class PluginEndToEnd : public ::testing::Test {
 protected:
  void Start(std::vector<std::string> args = {}) {
    server_.emplace(std::move(args));
    connection_ = new TLarkspireConnection(&owner_);
    connection_->SetName("Conn1");
    connection_->SetRemotePort(server_->Port());
    call_ = new TLarkspirePluginCall(&owner_);
    call_->SetName("PluginCall1");
    call_->SetConnection(connection_);
  }

  // Calls PluginSample with ReqType and, when given, a and b.
  bool Sample(int32_t req_type, std::optional<int32_t> a = {}, std::optional<int32_t> b = {}) {
    call_->RequestData().Clear();
    call_->RequestData().Param("ReqType").SetAsInteger(req_type);
    if (a) call_->RequestData().Param("a").SetAsInteger(*a);
    if (b) call_->RequestData().Param("b").SetAsInteger(*b);
    return call_->Execute("PluginSample");
  }

  // The message of the exception a call raises.
  std::string ErrorOf(const std::function<void()>& action) {
    try {
      action();
    } catch (const ELarkspireException& e) {
      return e.what();
    }
    return "no error";
  }

  ILarkspirePluginParam& Result() {
    ILarkspirePluginParam* result = call_->ResponseData().FindParam("Result");
    if (result == nullptr) throw std::runtime_error("the answer has no Result");
    return *result;
  }

  std::optional<TServerProcess> server_;
  TComponent owner_;
  TLarkspireConnection* connection_ = nullptr;
  TLarkspirePluginCall* call_ = nullptr;
};

TEST_F(PluginEndToEnd, SumAndProductOfTwoIntegers) {
  Start();
  ASSERT_TRUE(Sample(0, 123, 124));
  EXPECT_EQ(call_->Response().Items(0).DataType(), pdtInteger);
  EXPECT_EQ(Result().GetAsInteger(), 247);
  ASSERT_TRUE(Sample(1, 123, 124));
  EXPECT_EQ(Result().GetAsInteger(), 15252);
  ASSERT_TRUE(Sample(1, -46341, 46340));
  EXPECT_EQ(Result().GetAsInteger(), -2147441940);
}

TEST_F(PluginEndToEnd, AResultOutside32BitsIsThePluginsError) {
  Start();
  ASSERT_TRUE(Sample(0, 1, 2));
  EXPECT_EQ(ErrorOf([&] { Sample(0, 2147483647, 1); }),
            "PluginCall1:PluginSample: the sum 2147483647 + 1 = 2147483648 does not fit in a "
            "32-bit integer");
  EXPECT_EQ(ErrorOf([&] { Sample(1, 65536, -65536); }),
            "PluginCall1:PluginSample: the product 65536 * -65536 = -4294967296 does not fit in "
            "a 32-bit integer");
  EXPECT_EQ(Result().GetAsInteger(), 3);  // the previous answer stays
  EXPECT_EQ(ErrorOf([&] { Sample(0); }),
            "PluginCall1:PluginSample: ReqType 0 needs the integers \"a\" and \"b\"");
  EXPECT_EQ(ErrorOf([&] { Sample(9); }),
            "PluginCall1:PluginSample: unknown ReqType 9 (0 sum, 1 product, 2 server time, 3 "
            "screen)");
}

TEST_F(PluginEndToEnd, ServerTimeIsLocalTimeAsText) {
  Start();
  ASSERT_TRUE(Sample(2));
  EXPECT_EQ(call_->Response().Items(0).DataType(), pdtString);
  const std::string text = Result().GetAsString();
  ASSERT_TRUE(std::regex_match(text, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)"))) << text;
  tm parsed{};
  ASSERT_NE(::strptime(text.c_str(), "%Y-%m-%d %H:%M:%S", &parsed), nullptr);
  parsed.tm_isdst = -1;
  EXPECT_LT(std::abs(std::difftime(::mktime(&parsed), ::time(nullptr))), 120) << text;
}

TEST_F(PluginEndToEnd, ScreenOfTheServersDisplayIsABmpFile) {
  TXvfb xvfb(kScreenWidth, kScreenHeight);
  if (xvfb.Display().empty()) GTEST_SKIP() << "Xvfb is not installed (apt-get install xvfb)";
  {
    TEnvironmentGuard display("DISPLAY", xvfb.Display());
    Start();
  }
  ASSERT_TRUE(Sample(3));
  EXPECT_EQ(call_->Response().Items(0).DataType(), pdtStream);
  TStream& stream = Result().GetAsStream();
  EXPECT_EQ(stream.Position(), 0);
  std::string bmp(static_cast<size_t>(stream.Size()), '\0');
  stream.ReadBuffer(bmp.data(), stream.Size());
  const size_t pixels = size_t{kScreenWidth} * kScreenHeight * 3;
  ASSERT_EQ(bmp.size(), 54 + pixels);
  EXPECT_EQ(bmp.substr(0, 2), "BM");
  EXPECT_EQ(U32At(bmp, 2), bmp.size());
  EXPECT_EQ(U32At(bmp, 10), 54u);
  EXPECT_EQ(U32At(bmp, 14), 40u);
  EXPECT_EQ(U32At(bmp, 18), static_cast<uint32_t>(kScreenWidth));
  EXPECT_EQ(U32At(bmp, 22), static_cast<uint32_t>(kScreenHeight));
  EXPECT_EQ(U32At(bmp, 26), 1u | (24u << 16));                      // one plane, 24 bits a pixel
  EXPECT_EQ(bmp.find_first_not_of('\xFF', 54), std::string::npos);  // the white root window
}

TEST_F(PluginEndToEnd, WithoutADisplayTheServerHasNoScreenToCapture) {
  {
    TEnvironmentGuard display("DISPLAY", std::nullopt);
    Start();
  }
  EXPECT_EQ(ErrorOf([&] { Sample(3); }),
            "PluginCall1:PluginSample: the server has no screen to capture (DISPLAY is not set)");
}

TEST_F(PluginEndToEnd, AnUnknownPluginIsAFailedReplyNamingIt) {
  Start();
  call_->RequestData().Param("ReqType").SetAsInteger(0);
  EXPECT_EQ(ErrorOf([&] { call_->Execute("NoSuchPlugin"); }),
            "PluginCall1:Unknown plug-in \"NoSuchPlugin\" (this server has PluginSample)");
  EXPECT_TRUE(Sample(0, 1, 1));  // the case of the name does not matter either
  EXPECT_TRUE(call_->Execute("pluginsample"));
}

TEST_F(PluginEndToEnd, PluginsThatCrashOrHangLeaveTheServerServing) {
  Start({"--plugins", LARKSPIRE_SAMPLE_PLUGIN_DIR, "--plugins", LARKSPIRE_TEST_PLUGIN_DIR,
         "--plugin-timeout-ms", "500"});
  call_->RequestData().Param("ReqType").SetAsInteger(0);
  EXPECT_EQ(ErrorOf([&] { call_->Execute("PluginFaulty"); }),
            "PluginCall1:Plug-in \"PluginFaulty\" crashed (signal 11, Segmentation fault)");
  call_->RequestData().Param("ReqType").SetAsInteger(1);
  EXPECT_EQ(ErrorOf([&] { call_->Execute("PluginFaulty"); }),
            "PluginCall1:Plug-in \"PluginFaulty\" did not answer within 500 ms and was stopped");
  ASSERT_TRUE(Sample(0, 20, 22));
  EXPECT_EQ(Result().GetAsInteger(), 42);
  EXPECT_TRUE(server_->Running());
}

TEST_F(PluginEndToEnd, AMalformedRequestContainerIsRefused) {
  Start();
  TRemoteCommand request;
  request.Code = cmdCallPlugin;
  request.SetDataText("PluginSample");
  request.SetParamsText(std::string("\x02\0\0\0\x01\0", 6));
  TRemoteCommand& reply = connection_->ExecuteCommand(request);
  EXPECT_FALSE(reply.Success);
  EXPECT_EQ(reply.Value, 20003);
  EXPECT_NE(reply.Message.find("Malformed request: plug-in data: count 2"), std::string::npos)
      << reply.Message;
  reply.Reset();
}

TEST_F(PluginEndToEnd, ACallOnABusyConnectionReturnsFalseAndKeepsTheAnswer) {
  Start();
  ASSERT_TRUE(Sample(0, 2, 3));
  auto* window = dynamic_cast<THeadlessWaitWindow*>(&connection_->WaitForm().Backend());
  ASSERT_NE(window, nullptr);
  bool tried = false;
  bool nested = true;
  window->SetMessageHook([&] {
    if (tried) return;
    tried = true;
    nested = Sample(1, 6, 7);
  });
  // A plug-in call behind the wait window keeps the connection busy while the hook runs.
  TRemoteCommand request;
  request.Code = cmdCallPlugin;
  request.SetDataText("PluginSample");
  TLarkspirePluginData data;
  data.Param("ReqType").SetAsInteger(2);
  data.WriteToStream(request.Params);
  TRemoteCommand& reply = connection_->ExecuteCommand(request, "waiting");
  EXPECT_TRUE(reply.Success);
  reply.Reset();
  EXPECT_TRUE(tried);
  EXPECT_FALSE(nested);
  EXPECT_EQ(Result().GetAsInteger(), 5);
}

}  // namespace
}  // namespace larkspire::test
