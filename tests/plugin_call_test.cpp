// TLarkspirePluginCall against scripted peers: what command 500 carries, the answer, and each
// row of the failure table.
#include "components/plugin_call.h"

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "components/connection.h"
#include "components/exception.h"
#include "platform/codepage.h"
#include "platform/wait_window.h"
#include "protocol/plugin_data.h"
#include "protocol/remote_command.h"
#include "support/scripted_peer.h"

namespace larkspire {
namespace {

using test::AcceptedHandshake;
using test::TScriptedPeer;

struct TSeenCall {
  uint16_t code;
  std::string name;
  std::string params;
};

std::string Encode(TRemoteCommand& command) {
  TMemoryStream stream;
  command.SaveToStream(stream);
  return stream.Bytes();
}

std::string Answer(bool success, const std::string& message, const TLarkspirePluginData* data) {
  TRemoteCommand reply;
  reply.Success = success;
  reply.Message = message;
  if (data != nullptr) data->WriteToStream(reply.Params);
  return Encode(reply);
}

// A peer that records each request and answers with answer(request).
class TPluginPeer {
 public:
  using TAnswer = std::function<std::string(TRemoteCommand&)>;
  explicit TPluginPeer(TAnswer answer)
      : peer_(
            TScriptedPeer::ServeWith(AcceptedHandshake(), [this, answer](const std::string& body) {
              TRemoteCommand request;
              TMemoryStream stream;
              stream.WriteBuffer(body.data(), static_cast<int64_t>(body.size()));
              request.LoadFromStream(stream);
              {
                std::lock_guard lock(mutex_);
                seen_.push_back({request.Code, request.GetDataText(), request.Params.Bytes()});
              }
              return answer(request);
            })) {}

  uint16_t Port() const { return peer_.Port(); }
  std::vector<TSeenCall> Seen() {
    std::lock_guard lock(mutex_);
    return seen_;
  }

 private:
  std::mutex mutex_;
  std::vector<TSeenCall> seen_;
  TScriptedPeer peer_;
};

class PluginCallTest : public ::testing::Test {
 protected:
  PluginCallTest()
      : connection_(new TLarkspireConnection(&owner_)), call_(new TLarkspirePluginCall(&owner_)) {
    connection_->SetName("Conn1");
    call_->SetName("PluginCall1");
    call_->SetConnection(connection_);
  }

  TComponent owner_;
  TLarkspireConnection* connection_;
  TLarkspirePluginCall* call_;
};

TEST_F(PluginCallTest, SendsTheNameInDataAndTheRequestContainerInParams) {
  TPluginPeer peer([](TRemoteCommand& request) {
    TLarkspirePluginData request_data;
    request_data.ReadFromStream(request.Params);
    TLarkspirePluginData answer;
    answer.Param("Result").SetAsInteger(request_data.Param("a").GetAsInteger() +
                                        request_data.Param("b").GetAsInteger());
    return Answer(true, "", &answer);
  });
  connection_->SetRemotePort(peer.Port());
  call_->RequestData().Param("ReqType").SetAsInteger(0);
  call_->RequestData().Param("a").SetAsInteger(123);
  call_->RequestData().Param("b").SetAsInteger(124);
  ASSERT_TRUE(call_->Execute("PluginSample"));
  ILarkspirePluginParam* result = call_->ResponseData().FindParam("Result");
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->GetAsInteger(), 247);
  EXPECT_EQ(call_->ResponseData().FindParam("Other"), nullptr);
  const auto seen = peer.Seen();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].code, cmdCallPlugin);
  EXPECT_EQ(seen[0].name, "PluginSample");
  TLarkspireMemoryStream expected;
  call_->Request().WriteToStream(expected);
  EXPECT_EQ(seen[0].params, expected.Bytes());
  EXPECT_EQ(call_->Request().Count(), 3);  // the request is kept
  EXPECT_FALSE(connection_->Busy());
  EXPECT_EQ(connection_->Reply().Params.Size(), 0);  // the reply was reset
}

TEST_F(PluginCallTest, AnEmptyRequestTravelsAsFourZeroBytes) {
  TPluginPeer peer([](TRemoteCommand&) { return Answer(true, "", nullptr); });
  connection_->SetRemotePort(peer.Port());
  EXPECT_TRUE(call_->Execute("P"));  // a success without a container is an empty answer
  EXPECT_EQ(call_->Response().Count(), 0);
  const auto seen = peer.Seen();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].params, std::string(4, '\0'));
  EXPECT_EQ(seen[0].name, "P");
}

TEST_F(PluginCallTest, ThePluginNameIsSentInTheCodePage) {
  const std::string previous = AnsiCodePage();
  SetAnsiCodePage("GBK");
  TLarkspirePluginData empty;
  TPluginPeer peer([&](TRemoteCommand&) { return Answer(true, "", &empty); });
  connection_->SetRemotePort(peer.Port());
  EXPECT_TRUE(call_->Execute("插件😀"));
  SetAnsiCodePage(previous);
  ASSERT_EQ(peer.Seen().size(), 1u);
  EXPECT_EQ(peer.Seen()[0].name, ConvertCodePage("插件", "UTF-8", "GBK") + "?");
}

TEST_F(PluginCallTest, AFailedReplyWithATextRaisesWithTheComponentsNameAndKeepsTheAnswer) {
  TLarkspirePluginData first;
  first.Param("Result").SetAsInteger(1);
  int calls = 0;
  TPluginPeer peer([&](TRemoteCommand&) {
    return ++calls == 1 ? Answer(true, "", &first)
                        : Answer(false, "boom: a + b overflows", nullptr);
  });
  connection_->SetRemotePort(peer.Port());
  ASSERT_TRUE(call_->Execute("PluginSample"));
  try {
    call_->Execute("PluginSample");
    FAIL() << "no exception";
  } catch (const ELarkspireException& e) {
    EXPECT_STREQ(e.what(), "PluginCall1:boom: a + b overflows");
    EXPECT_EQ(e.ErrorCode(), -1);
    EXPECT_EQ(e.ErrorMessage(), "boom: a + b overflows");
  }
  EXPECT_EQ(call_->ResponseData().FindParam("Result")->GetAsInteger(), 1);
  EXPECT_FALSE(connection_->Busy());
}

TEST_F(PluginCallTest, AFailedReplyWithoutATextReturnsFalseQuietly) {
  TPluginPeer peer([](TRemoteCommand&) { return Answer(false, "", nullptr); });
  connection_->SetRemotePort(peer.Port());
  EXPECT_FALSE(call_->Execute("PluginSample"));
}

TEST_F(PluginCallTest, AnUnreachableServerRaisesTheConnectionsWording) {
  const uint16_t port = test::FreeLoopbackPort();
  connection_->SetRemotePort(port);
  try {
    call_->Execute("PluginSample");
    FAIL() << "no exception";
  } catch (const ELarkspireException& e) {
    EXPECT_EQ(std::string(e.what()),
              "PluginCall1:Could not connect to LarkspireServer (127.0.0.1:" +
                  std::to_string(port) + ").");
    EXPECT_EQ(e.ErrorCode(), -1);
  }
}

TEST_F(PluginCallTest, AMalformedAnswerRaisesAndKeepsThePreviousAnswer) {
  TLarkspirePluginData first;
  first.Param("Result").SetAsInteger(5);
  int calls = 0;
  TPluginPeer peer([&](TRemoteCommand&) {
    if (++calls == 1) return Answer(true, "", &first);
    TRemoteCommand reply;
    reply.Success = true;
    reply.SetParamsText(std::string("\x05\0\0\0", 4));
    return Encode(reply);
  });
  connection_->SetRemotePort(peer.Port());
  ASSERT_TRUE(call_->Execute("P"));
  EXPECT_THROW(call_->Execute("P"), ELarkspireMalformedDataError);
  EXPECT_EQ(call_->ResponseData().FindParam("Result")->GetAsInteger(), 5);
  EXPECT_FALSE(connection_->Busy());
  EXPECT_EQ(connection_->Reply().Params.Size(), 0);
}

TEST_F(PluginCallTest, WithoutAConnectionRaises10001BeforeSendingAnything) {
  TLarkspirePluginCall lonely;
  lonely.SetName("PluginCall2");
  try {
    lonely.Execute("PluginSample");
    FAIL() << "no exception";
  } catch (const ELarkspireException& e) {
    EXPECT_STREQ(e.what(), "PluginCall2:Missing Connection..");
    EXPECT_EQ(e.ErrorCode(), 10001);
    EXPECT_EQ(e.ErrorMessage(), "Missing Connection.");
  }
}

TEST_F(PluginCallTest, FreeingTheConnectionClearsIt) {
  delete connection_;
  EXPECT_EQ(call_->Connection(), nullptr);
  EXPECT_THROW(call_->CheckConnection(), ELarkspireException);
}

TEST_F(PluginCallTest, ACallWhileTheConnectionIsBusyReturnsFalseAndSendsNothing) {
  TLarkspirePluginData first;
  first.Param("Result").SetAsInteger(9);
  TPluginPeer peer([&](TRemoteCommand&) { return Answer(true, "", &first); });
  connection_->SetRemotePort(peer.Port());
  ASSERT_TRUE(call_->Execute("P"));
  auto* window = dynamic_cast<THeadlessWaitWindow*>(&connection_->WaitForm().Backend());
  ASSERT_NE(window, nullptr);
  bool tried = false;
  bool nested = true;
  window->SetMessageHook([&] {
    if (tried) return;
    tried = true;
    nested = call_->Execute("P");
  });
  TRemoteCommand other;
  other.Code = cmdCallPlugin;
  first.WriteToStream(other.Params);
  connection_->ExecuteCommand(other, "wait").Reset();
  EXPECT_TRUE(tried);
  EXPECT_FALSE(nested);
  EXPECT_EQ(peer.Seen().size(), 2u);  // the first call and the command behind the wait window
  EXPECT_EQ(call_->ResponseData().FindParam("Result")->GetAsInteger(), 9);
}

}  // namespace
}  // namespace larkspire
