// TLarkspireConnection against scripted peers: connect and handshake outcomes, error wording,
// the single retry, the busy refusal, the worker thread, transactions, the raw call and the idle
// watch.
#include "components/connection.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "platform/clock.h"
#include "platform/wait_window.h"
#include "protocol/remote_command.h"
#include "support/fault_socket_api.h"
#include "support/scripted_peer.h"

namespace larkspire {
namespace {

using test::AcceptedHandshake;
using test::HandshakeReply;
using test::TFaultSocketApi;
using test::TPeerConnection;
using test::TScriptedPeer;
using test::TSocketApiGuard;

std::string Encode(TRemoteCommand& command) {
  TMemoryStream stream;
  command.SaveToStream(stream);
  return stream.Bytes();
}

std::unique_ptr<TRemoteCommand> Decode(const std::string& body) {
  auto command = std::make_unique<TRemoteCommand>();
  TMemoryStream stream;
  stream.WriteBuffer(body.data(), static_cast<int64_t>(body.size()));
  command->LoadFromStream(stream);
  return command;
}

std::string ReplyBody(bool success, int32_t value, const std::string& message = "",
                      uint16_t code = 0, const std::string& data = "") {
  TRemoteCommand reply;
  reply.Code = code;
  reply.Success = success;
  reply.Value = value;
  reply.Message = message;
  if (!data.empty()) reply.SetDataText(data);
  return Encode(reply);
}

struct TSeenRequest {
  uint16_t code;
  bool success;
  std::string data;
  std::string password;
  std::string connection_name;
};

// A peer that decodes each request, records it and answers with answer(request).
class TCommandPeer {
 public:
  using TAnswer = std::function<std::string(TRemoteCommand&)>;
  explicit TCommandPeer(TAnswer answer, std::string handshake = AcceptedHandshake())
      : peer_(
            TScriptedPeer::ServeWith(std::move(handshake), [this, answer](const std::string& body) {
              auto request = Decode(body);
              {
                std::lock_guard lock(mutex_);
                seen_.push_back({request->Code, request->Success, request->GetDataText(),
                                 request->Password, request->ConnectionName});
              }
              return answer(*request);
            })) {}

  uint16_t Port() const { return peer_.Port(); }
  TScriptedPeer& Peer() { return peer_; }
  std::vector<TSeenRequest> Seen() {
    std::lock_guard lock(mutex_);
    return seen_;
  }

 private:
  std::mutex mutex_;
  std::vector<TSeenRequest> seen_;
  TScriptedPeer peer_;
};

std::string Address(int port) {
  return "(127.0.0.1:" + std::to_string(port) + ")";
}

class ConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    connection_.SetName("Conn1");
    root_ = std::filesystem::temp_directory_path() /
            ("lk-net-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++));
    std::filesystem::create_directories(root_ / "eth0");
    std::ofstream(root_ / "eth0" / "address") << "00:1a:2b:3c:4d:5e\n";
    connection_.SetAdapterRoot(root_.string());
  }
  void TearDown() override { std::filesystem::remove_all(root_); }

  bool Run(uint16_t code, std::string* message = nullptr, const std::string& wait = "") {
    TRemoteCommand request;
    request.Code = code;
    TRemoteCommand& reply = connection_.ExecuteCommand(request, wait);
    const bool ok = reply.Success;
    if (message != nullptr) *message = reply.Message;
    reply.Reset();
    return ok;
  }

  static inline int counter_ = 0;
  std::filesystem::path root_;
  TLarkspireConnection connection_;
};

TEST_F(ConnectionTest, StartsWithTheDocumentedDefaults) {
  EXPECT_EQ(connection_.RemoteIP(), "127.0.0.1");
  EXPECT_EQ(connection_.RemotePort(), 8008);
  EXPECT_EQ(connection_.ErrorMsgType(), emtMsg);
  EXPECT_EQ(connection_.Version(), "4.1.0.0");
  EXPECT_FALSE(connection_.Connected());
  EXPECT_EQ(connection_.SmartDCTime(), 0);
  EXPECT_EQ(connection_.ErrorCode(), 0);
  EXPECT_FALSE(connection_.Busy());

  connection_.SetVersion("9.9");
  EXPECT_EQ(connection_.Version(), "4.1.0.0");
  connection_.SetRemoteIP("10.1.2.3");
  connection_.SetRemoteIP("");
  EXPECT_EQ(connection_.RemoteIP(), "10.1.2.3");
}

TEST_F(ConnectionTest, ClientIdentityIsTheAdapterAddressInPairs) {
  EXPECT_EQ(connection_.GetClientIdentity(), "00-1A-2B-3C-4D-5E");
  std::ofstream(root_ / "eth0" / "address", std::ios::trunc) << "0a:0b\n";
  EXPECT_EQ(connection_.GetClientIdentity(), "0A-0B");
  std::filesystem::remove_all(root_ / "eth0");
  EXPECT_EQ(connection_.GetClientIdentity(), "");
}

TEST_F(ConnectionTest, HandshakeCarriesIdentitySlashClientName) {
  TScriptedPeer peer(TScriptedPeer::AnswerHandshake(AcceptedHandshake()));
  connection_.SetRemotePort(peer.Port());
  connection_.SetClientName("a/b/c");
  EXPECT_EQ(connection_.ClientName(), "abc");
  EXPECT_EQ(peer.Connections(), 0);  // stored only, nothing sent while disconnected

  bool after_connect = false;
  connection_.OnAfterConnect = [&] { after_connect = true; };
  connection_.SetConnected(true);
  EXPECT_TRUE(connection_.Connected());
  EXPECT_TRUE(after_connect);
  ASSERT_TRUE(peer.WaitForFrames(1));
  EXPECT_EQ(peer.Frames()[0], "Auth:00-1A-2B-3C-4D-5E/abc");
}

TEST_F(ConnectionTest, ClientNameIsCutTo255Characters) {
  connection_.SetClientName(std::string(300, 'x'));
  EXPECT_EQ(connection_.ClientName().size(), 255u);
  std::string chinese;
  for (int i = 0; i < 300; ++i) chinese += "名";
  connection_.SetClientName(chinese);
  EXPECT_EQ(connection_.ClientName().size(), 255u * 3);
}

TEST_F(ConnectionTest, RefusedConnectLeavesTheCodeAndWordedTextWithoutRaising) {
  for (int32_t code : {100021, 100022}) {
    TScriptedPeer peer(TScriptedPeer::AnswerHandshake(HandshakeReply(3, code)));
    connection_.SetRemotePort(peer.Port());
    EXPECT_NO_THROW(connection_.SetConnected(true));
    EXPECT_FALSE(connection_.Connected());
    EXPECT_EQ(connection_.ErrorCode(), code);
    const std::string expected = code == 100021 ? "Connection be refused from LarkspireServer "
                                                : "Connections limit from LarkspireServer ";
    EXPECT_EQ(connection_.ErrorText(), expected + Address(peer.Port()) + ".");
  }
}

TEST_F(ConnectionTest, RefusalWithAnUnknownCodeOrStatusGivesNoText) {
  TScriptedPeer peer(TScriptedPeer::AnswerHandshake(HandshakeReply(3, 777)));
  connection_.SetRemotePort(peer.Port());
  connection_.SetConnected(true);
  EXPECT_EQ(connection_.ErrorCode(), 777);
  EXPECT_EQ(connection_.ErrorText(), "");

  TScriptedPeer other(TScriptedPeer::AnswerHandshake(HandshakeReply(2, 5)));
  connection_.SetRemotePort(other.Port());
  connection_.SetConnected(true);
  EXPECT_EQ(connection_.ErrorCode(), -1);
  // A command through such a server still ends as could-not-connect.
  std::string message;
  EXPECT_FALSE(Run(cmdBeginTrans, &message));
  EXPECT_EQ(connection_.ErrorCode(), 10002);
  EXPECT_EQ(message, "Could not connect to LarkspireServer " + Address(other.Port()) + ".");
}

TEST_F(ConnectionTest, DisconnectingWhileDisconnectedOnlyClearsTheError) {
  connection_.SetRemotePort(test::FreeLoopbackPort());
  Run(cmdBeginTrans);
  ASSERT_EQ(connection_.ErrorCode(), 10002);
  bool after_disconnect = false;
  connection_.OnAfterDisconnect = [&] { after_disconnect = true; };
  connection_.SetConnected(false);
  EXPECT_EQ(connection_.ErrorCode(), -1);
  EXPECT_EQ(connection_.ErrorText(), "");
  EXPECT_FALSE(after_disconnect);
}

TEST_F(ConnectionTest, UnreachableServerIsTriedTwiceThenOnceForTheNextCommand) {
  TFaultSocketApi api;
  TSocketApiGuard guard(api);
  const uint16_t port = test::FreeLoopbackPort();
  connection_.SetRemoteIP("localhost");
  connection_.SetRemotePort(port);
  std::string message;
  EXPECT_FALSE(Run(cmdBeginTrans, &message));
  EXPECT_EQ(api.CountCalls("Connect("), 2);
  EXPECT_EQ(connection_.ErrorCode(), 10002);
  EXPECT_EQ(message,
            "Could not connect to LarkspireServer (localhost:" + std::to_string(port) + ").");
  EXPECT_EQ(connection_.ErrorText(), message);
  EXPECT_EQ(api.OpenSockets(), 0);

  EXPECT_FALSE(Run(cmdBeginTrans));
  EXPECT_EQ(api.CountCalls("Connect("), 3);
}

TEST_F(ConnectionTest, BrokenTransferIsRetriedOnAFreshConnection) {
  TScriptedPeer peer([](TPeerConnection& c) {
    std::string body;
    if (!c.ReadFrame(body) || !c.WriteFrame(AcceptedHandshake())) return;
    if (c.Index() == 0) return;  // hangs up before answering the command
    while (c.ReadFrame(body)) c.WriteFrame(ReplyBody(true, 1, "", 220));
  });
  connection_.SetRemotePort(peer.Port());
  std::string message;
  EXPECT_TRUE(Run(cmdBeginTrans, &message));
  EXPECT_EQ(peer.Connections(), 2);
  EXPECT_EQ(connection_.ErrorCode(), -1);
  EXPECT_EQ(message, "");
}

TEST_F(ConnectionTest, SilentServerFailsWithNoReplyClosesAndIsNotSentAgain) {
  TScriptedPeer peer([](TPeerConnection& c) {
    std::string body;
    if (!c.ReadFrame(body) || !c.WriteFrame(AcceptedHandshake())) return;
    if (c.ReadFrame(body)) c.WaitForClose();  // takes the request and never answers
  });
  EXPECT_EQ(connection_.ReplyTimeout(), 300u);
  connection_.SetReplyTimeout(1);
  connection_.SetRemotePort(peer.Port());
  std::string message;
  EXPECT_FALSE(Run(cmdCommitTrans, &message));
  EXPECT_EQ(connection_.ErrorCode(), kErrNoReply);
  EXPECT_EQ(message, "No reply from LarkspireServer " + Address(peer.Port()) + " within 1 s.");
  EXPECT_EQ(connection_.ErrorText(), message);
  EXPECT_TRUE(peer.WaitForFinishedScripts(1));  // the socket was closed
  EXPECT_EQ(peer.Connections(), 1);
  EXPECT_EQ(peer.Frames().size(), 2u);  // the handshake and the one request
  EXPECT_FALSE(connection_.Connected());
}

TEST_F(ConnectionTest, DisconnectWakesACommandWaitingForItsReplyAtOnce) {
  TScriptedPeer peer([](TPeerConnection& c) {
    std::string body;
    if (!c.ReadFrame(body) || !c.WriteFrame(AcceptedHandshake())) return;
    if (c.ReadFrame(body)) c.WaitForClose();
  });
  connection_.SetReplyTimeout(30);
  connection_.SetRemotePort(peer.Port());
  auto* window = dynamic_cast<THeadlessWaitWindow*>(&connection_.WaitForm().Backend());
  ASSERT_NE(window, nullptr);
  int disconnects = 0;
  connection_.OnAfterDisconnect = [&] { ++disconnects; };
  bool asked = false;
  window->SetMessageHook([&] {
    if (asked || peer.Frames().size() < 2) return;  // once the request is on its way
    asked = true;
    connection_.SetConnected(false);
  });
  const auto start = std::chrono::steady_clock::now();
  std::string message;
  EXPECT_FALSE(Run(cmdCommitTrans, &message, "wait"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_TRUE(asked);
  EXPECT_EQ(disconnects, 1);
  EXPECT_EQ(connection_.ErrorCode(), kErrClosedDuringCommand);
  EXPECT_EQ(message, "The connection to LarkspireServer " + Address(peer.Port()) +
                         " was closed while the command was running.");
  EXPECT_EQ(peer.Connections(), 1);  // not sent again
  EXPECT_EQ(connection_.TcpClient().Socket(), kInvalidSocket);
  EXPECT_FALSE(connection_.Connected());
}

TEST_F(ConnectionTest, IdleWatchStopsAtOnceWhenTheConnectionIsFreed) {
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 10; ++i) TLarkspireConnection connection;
  // Each watch is told to end right after it began its first 50 ms poll.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
}

TEST_F(ConnectionTest, ReplyCodeIsAlways900AfterAnAttempt) {
  TCommandPeer peer([](const TRemoteCommand&) { return ReplyBody(true, 0, "", 4321); });
  connection_.SetRemotePort(peer.Port());
  TRemoteCommand request;
  request.Code = 120;
  EXPECT_EQ(connection_.ExecuteCommand(request).Code, 900);
  connection_.Reply().Reset();
  connection_.SetRemotePort(test::FreeLoopbackPort());
  connection_.SetConnected(false);
  EXPECT_EQ(connection_.ExecuteCommand(request).Code, 900);
}

TEST_F(ConnectionTest, RequestIsStampedWithLoginData) {
  TCommandPeer peer([](const TRemoteCommand& r) { return ReplyBody(true, 1); });
  connection_.SetRemotePort(peer.Port());
  connection_.SetLoginPassword("secret");
  connection_.SetConnectionName("销售");
  TRemoteCommand request;
  request.Code = 300;
  request.Success = true;
  connection_.ExecuteCommand(request).Reset();
  request.Code = 220;
  request.Success = false;
  connection_.ExecuteCommand(request).Reset();
  auto seen = peer.Seen();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].password, "secret");
  EXPECT_EQ(seen[0].connection_name, "销售");
  EXPECT_FALSE(seen[0].success);  // not in a transaction
  EXPECT_TRUE(seen[1].success);   // 220 always carries true
}

TEST_F(ConnectionTest, FailedReplyKeepsTheServerCodeAndTextAndIsNotRetried) {
  TCommandPeer peer([](const TRemoteCommand& r) {
    if (r.Code == 220) return ReplyBody(true, 2);
    return ReplyBody(false, 10004, "session lost");
  });
  connection_.SetRemotePort(peer.Port());
  EXPECT_EQ(connection_.StartTransaction(), 2);
  std::string message;
  EXPECT_FALSE(Run(300, &message));
  EXPECT_EQ(message, "session lost");
  EXPECT_EQ(connection_.ErrorCode(), 10004);
  EXPECT_EQ(connection_.ErrorText(), "session lost");
  EXPECT_EQ(connection_.TransactionLevel(), 0);
  EXPECT_EQ(peer.Seen().size(), 2u);
}

TEST_F(ConnectionTest, RaiseErrorWordsByMessageTypeAndNetErrorInfo) {
  connection_.SetRemoteIP("db.example");
  connection_.SetRemotePort(9000);
  auto message_of = [&](int32_t code, const std::string& msg, const TComponent* c = nullptr) {
    try {
      connection_.RaiseError(code, msg, c);
    } catch (const ELarkspireException& e) {
      EXPECT_EQ(e.ErrorCode(), code);
      EXPECT_EQ(e.ErrorMessage(), msg);
      return std::string(e.what());
    }
    return std::string("not raised");
  };
  EXPECT_EQ(message_of(100022, "M"), "Conn1:M");
  connection_.SetErrorMsgType(emtCodeAndMsg);
  EXPECT_EQ(message_of(100022, "M"), "Conn1:(100022)M.");
  connection_.SetErrorMsgType(emtCode);
  EXPECT_EQ(message_of(42, "M"), "Conn1:42");
  connection_.SetNetErrorInfo("N");
  EXPECT_EQ(message_of(100022, "M"), "Conn1:N(db.example:9000)");
  EXPECT_EQ(message_of(10002, "M"), "Conn1:N(db.example:9000)");
  EXPECT_EQ(message_of(42, "M"), "Conn1:42");
  EXPECT_EQ(message_of(-1, "plain"), "Conn1:plain");
  TComponent query;
  query.SetName("Query1");
  EXPECT_EQ(message_of(-1, "plain", &query), "Query1:plain");
}

TEST_F(ConnectionTest, ConnectedStoredInAWindowStillLoadsDisconnected) {
  TScriptedPeer peer(TScriptedPeer::AnswerHandshake(AcceptedHandshake()));
  connection_.SetRemotePort(peer.Port());
  connection_.BeginLoading();
  connection_.SetConnected(true);
  connection_.EndLoading();
  EXPECT_FALSE(connection_.Connected());
  EXPECT_EQ(peer.Connections(), 0);
}

TEST_F(ConnectionTest, ClientNameChangeWhileConnectedIsSentAndARefusalRaises) {
  TCommandPeer peer([](TRemoteCommand& r) {
    if (r.GetDataText() == "bad") return ReplyBody(false, 20010, "name not allowed");
    return ReplyBody(true, 0);
  });
  connection_.SetRemotePort(peer.Port());
  connection_.SetConnected(true);
  connection_.SetClientName("good");
  EXPECT_EQ(connection_.ClientName(), "good");
  try {
    connection_.SetClientName("bad");
    FAIL() << "no exception";
  } catch (const ELarkspireException& e) {
    EXPECT_STREQ(e.what(), "Conn1:name not allowed");
    EXPECT_EQ(e.ErrorCode(), 20010);
  }
  EXPECT_EQ(connection_.ClientName(), "good");
  auto seen = peer.Seen();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].code, 120);
  EXPECT_EQ(seen[0].data, "good");
}

TEST_F(ConnectionTest, TransactionsFollowTheServerLevel) {
  std::atomic<int> level{0};
  TCommandPeer peer([&](const TRemoteCommand& r) {
    if (r.Code == 220) return ReplyBody(true, ++level);
    if (r.Code == 221 || r.Code == 222) return ReplyBody(true, --level);
    return ReplyBody(true, 0);
  });
  connection_.SetRemotePort(peer.Port());
  connection_.CommitTransaction();  // level 0: nothing sent
  connection_.RollbackTransaction();
  EXPECT_EQ(peer.Peer().Connections(), 0);

  EXPECT_EQ(connection_.StartTransaction(), 1);
  EXPECT_TRUE(connection_.InTransaction());
  connection_.CommitTransaction();
  connection_.CommitTransaction();
  EXPECT_EQ(connection_.TransactionLevel(), 0);
  auto seen = peer.Seen();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].code, 220);
  EXPECT_TRUE(seen[0].success);
  EXPECT_EQ(seen[1].code, 221);
  EXPECT_TRUE(seen[1].success);  // sent inside the transaction

  EXPECT_EQ(connection_.StartTransaction(), 1);
  EXPECT_EQ(connection_.StartTransaction(), 2);
  connection_.RollbackTransaction();
  EXPECT_EQ(connection_.TransactionLevel(), 1);
}

TEST_F(ConnectionTest, RefusedTransactionRaisesAndKeepsTheLevel) {
  TCommandPeer peer([](const TRemoteCommand& r) {
    if (r.Code == 220) return ReplyBody(true, 1);
    return ReplyBody(false, 20006, "cannot commit");
  });
  connection_.SetRemotePort(peer.Port());
  connection_.StartTransaction();
  EXPECT_THROW(connection_.CommitTransaction(), ELarkspireException);
  EXPECT_EQ(connection_.TransactionLevel(), 1);
}

TEST_F(ConnectionTest, CallCommandNeedsAnOpenTransaction) {
  TCommandPeer peer([](TRemoteCommand& r) {
    if (r.Code == 220) return ReplyBody(true, 1);
    if (r.Code == 777) return ReplyBody(true, 0, "", 0, "echo:" + r.GetDataText());
    return ReplyBody(false, 55, "no such thing");
  });
  connection_.SetRemotePort(peer.Port());
  const void* data = "abc";
  int32_t size = 3, err_code = 0, err_length = 0;
  const char* err_text = nullptr;
  EXPECT_FALSE(connection_.CallCommand(777, data, size, err_code, err_text, err_length));
  EXPECT_EQ(peer.Peer().Connections(), 0);
  EXPECT_EQ(size, 3);

  connection_.StartTransaction();
  ASSERT_TRUE(connection_.CallCommand(777, data, size, err_code, err_text, err_length));
  EXPECT_EQ(std::string(static_cast<const char*>(data), size), "echo:abc");

  data = "x";
  size = 1;
  EXPECT_FALSE(connection_.CallCommand(778, data, size, err_code, err_text, err_length));
  EXPECT_EQ(err_code, 55);
  EXPECT_EQ(std::string(err_text, err_length), "no such thing");
}

TEST_F(ConnectionTest, WaitMessageRunsTheExchangeBehindTheWaitWindow) {
  TCommandPeer peer([](const TRemoteCommand& r) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return ReplyBody(true, 7);
  });
  connection_.SetRemotePort(peer.Port());
  auto* window = dynamic_cast<THeadlessWaitWindow*>(&connection_.WaitForm().Backend());
  ASSERT_NE(window, nullptr);
  std::atomic<int> pumped{0};
  std::thread::id pump_thread;
  window->SetMessageHook([&] {
    ++pumped;
    pump_thread = std::this_thread::get_id();
  });
  std::thread::id progress_thread;
  connection_.OnProgress = [&](double, TTransType) {
    progress_thread = std::this_thread::get_id();
  };

  TRemoteCommand request;
  request.Code = 300;
  TRemoteCommand& reply = connection_.ExecuteCommand(request, "正在查询...");
  EXPECT_TRUE(reply.Success);
  EXPECT_EQ(reply.Value, 7);
  EXPECT_GT(pumped.load(), 1);
  EXPECT_EQ(pump_thread, std::this_thread::get_id());
  EXPECT_NE(progress_thread, std::this_thread::get_id());
  EXPECT_FALSE(connection_.WaitForm().Running);
  EXPECT_FALSE(connection_.WaitForm().TimerEnabled());
  EXPECT_EQ(connection_.WaitForm().Layout().Caption, "正在查询...");
  EXPECT_EQ(connection_.WaitForm().Layout().Width, 100);  // 6 characters: 42 + 30, at least 100
  EXPECT_FALSE(connection_.Busy());
}

TEST_F(ConnectionTest, CommandIssuedWhileBusyGetsItsOwnFailedReply) {
  TCommandPeer peer([](const TRemoteCommand& r) {
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    return ReplyBody(true, 11);
  });
  connection_.SetRemotePort(peer.Port());
  auto* window = dynamic_cast<THeadlessWaitWindow*>(&connection_.WaitForm().Backend());
  bool nested_success = true;
  std::string nested_message = "unset";
  bool nested_was_own = false;
  bool tried = false;
  window->SetMessageHook([&] {
    if (tried) return;
    tried = true;
    EXPECT_TRUE(connection_.Busy());
    TRemoteCommand nested;
    nested.Code = 120;
    TRemoteCommand& r = connection_.ExecuteCommand(nested);
    nested_success = r.Success;
    nested_message = r.Message;
    nested_was_own = &r != &connection_.Reply();
  });
  TRemoteCommand request;
  request.Code = 300;
  TRemoteCommand& reply = connection_.ExecuteCommand(request, "wait");
  EXPECT_TRUE(tried);
  EXPECT_FALSE(nested_success);
  EXPECT_EQ(nested_message, "");
  EXPECT_TRUE(nested_was_own);
  EXPECT_TRUE(reply.Success);
  EXPECT_EQ(reply.Value, 11);
  EXPECT_EQ(peer.Seen().size(), 1u);  // the nested command sent nothing
}

TEST_F(ConnectionTest, UndecodableReplyOnTheWorkerRaisesOnTheCaller) {
  TScriptedPeer peer(TScriptedPeer::ServeReplies(AcceptedHandshake(),
                                                 {std::string("\x05\x00\x00\x00garbage", 11)}));
  connection_.SetRemotePort(peer.Port());
  TRemoteCommand request;
  request.Code = 300;
  EXPECT_THROW(connection_.ExecuteCommand(request, "wait"), ELarkspireMalformedDataError);
  EXPECT_FALSE(connection_.Busy());
  EXPECT_FALSE(connection_.WaitForm().Running);
  // And the same without a wait message.
  TScriptedPeer again(TScriptedPeer::ServeReplies(AcceptedHandshake(),
                                                  {std::string("\x05\x00\x00\x00garbage", 11)}));
  connection_.SetConnected(false);
  connection_.SetRemotePort(again.Port());
  EXPECT_THROW(connection_.ExecuteCommand(request), ELarkspireMalformedDataError);
  EXPECT_FALSE(connection_.Busy());
}

TEST_F(ConnectionTest, ReplyPastMaxMessageSizeFailsTheCommandAndKeepsTheConnection) {
  EXPECT_EQ(connection_.MaxMessageSize(), 256u << 20);
  // 4 MiB of one letter: a few KiB on the wire.
  TCommandPeer peer([](const TRemoteCommand& r) {
    return ReplyBody(true, 0, "", 0, r.Code == 300 ? std::string(4 << 20, 'x') : "small");
  });
  connection_.SetRemotePort(peer.Port());
  connection_.SetMaxMessageSize(1 << 20);
  for (const std::string wait : {"", "wait"}) {
    std::string message;
    EXPECT_FALSE(Run(300, &message, wait)) << wait;
    EXPECT_EQ(connection_.ErrorCode(), kErrReplyTooLarge);
    EXPECT_EQ(message, "The reply from LarkspireServer " + Address(peer.Port()) +
                           " is larger than MaxMessageSize (1048576 bytes).");
    EXPECT_LT(connection_.Reply().Data.Capacity(), 2 << 20);
    EXPECT_TRUE(connection_.Connected());
    EXPECT_TRUE(Run(210, nullptr, wait));
  }
  // Sent once each: a reply too large is not retried.
  EXPECT_EQ(peer.Seen().size(), 4u);
}

TEST_F(ConnectionTest, ReplyFrameTooLongForMaxMessageSizeIsNotReadAndClosesTheConnection) {
  // 8 MiB announced and sent: more than any reply of at most 1 MiB can be compressed to.
  TScriptedPeer peer(TScriptedPeer::ServeRaw(
      AcceptedHandshake(), {std::string("\x00\x80\x00\x00", 4) + std::string(8 << 20, 'z')}));
  connection_.SetRemotePort(peer.Port());
  connection_.SetMaxMessageSize(1 << 20);
  std::string message;
  EXPECT_FALSE(Run(300, &message));
  EXPECT_EQ(connection_.ErrorCode(), kErrReplyTooLarge);
  EXPECT_EQ(message, "The reply from LarkspireServer " + Address(peer.Port()) +
                         " is larger than MaxMessageSize (1048576 bytes).");
  EXPECT_FALSE(connection_.Connected());
  EXPECT_EQ(peer.Connections(), 1);
}

// The idle watch measures from the start of the last command on the clock in use.
class IdleWatchTest : public ConnectionTest {
 protected:
  IdleWatchTest() : previous_(SetClock(&clock_)) {}
  ~IdleWatchTest() override { SetClock(previous_); }
  TManualClock clock_{1000};
  IClock* previous_;
};

bool Eventually(const std::function<bool()>& condition) {
  for (int i = 0; i < 400; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return condition();
}

TEST_F(IdleWatchTest, DisconnectsAfterSmartDCTimeMinutesWithoutACommand) {
  TLarkspireConnection connection;  // created under the manual clock
  TCommandPeer peer([](const TRemoteCommand&) { return ReplyBody(true, 0); });
  connection.SetRemotePort(peer.Port());
  connection.SetSmartDCTime(1);
  std::atomic<bool> after_disconnect{false};
  connection.OnAfterDisconnect = [&] { after_disconnect = true; };
  TRemoteCommand request;
  request.Code = 120;
  connection.ExecuteCommand(request).Reset();
  ASSERT_TRUE(connection.TcpClient().Connected());

  clock_.Advance(60000);  // exactly one minute: not more than it
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_TRUE(connection.TcpClient().Connected());
  clock_.Advance(1);
  EXPECT_TRUE(Eventually([&] { return after_disconnect.load(); }));
  EXPECT_FALSE(connection.Connected());
}

TEST_F(IdleWatchTest, DisconnectClearsTheLastError) {
  TLarkspireConnection connection;
  TCommandPeer peer([](const TRemoteCommand&) { return ReplyBody(false, 20004, "no such table"); });
  connection.SetRemotePort(peer.Port());
  connection.SetSmartDCTime(1);
  TRemoteCommand request;
  request.Code = 300;
  connection.ExecuteCommand(request).Reset();
  ASSERT_EQ(connection.ErrorCode(), 20004);
  clock_.Advance(60001);
  EXPECT_TRUE(Eventually([&] { return !connection.TcpClient().Connected(); }));
  EXPECT_TRUE(Eventually([&] { return connection.ErrorCode() == -1; }));
  EXPECT_EQ(connection.ErrorText(), "");
}

TEST_F(IdleWatchTest, NeverDisconnectsWhenSmartDCTimeIsZero) {
  TLarkspireConnection connection;
  TCommandPeer peer([](const TRemoteCommand&) { return ReplyBody(true, 0); });
  connection.SetRemotePort(peer.Port());
  TRemoteCommand request;
  request.Code = 120;
  connection.ExecuteCommand(request).Reset();
  clock_.Advance(1000u * 60000u);
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_TRUE(connection.Connected());
}

TEST_F(IdleWatchTest, TickCounterWrapDoesNoHarm) {
  TManualClock late(0xFFFFFF00u);
  SetClock(&late);
  TLarkspireConnection connection;
  TCommandPeer peer([](const TRemoteCommand&) { return ReplyBody(true, 0); });
  connection.SetRemotePort(peer.Port());
  connection.SetSmartDCTime(1);
  TRemoteCommand request;
  request.Code = 120;
  connection.ExecuteCommand(request).Reset();
  late.Advance(0x200);  // the counter wrapped, only 512 ms went by
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_TRUE(connection.Connected());
  late.Advance(60000);
  EXPECT_TRUE(Eventually([&] { return !connection.TcpClient().Connected(); }));
  SetClock(&clock_);
}

}  // namespace
}  // namespace larkspire
