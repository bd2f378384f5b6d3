// The server's side of datagram delivery, in-process: a client engine links to the server's
// datagram endpoint and binds with a token. A token binds once, only within its lifetime and
// while it is its mailbox's latest; once bound the mailbox's records come over the link; once
// the links are closed they queue for 604 again.
#include "server/net/notification_links.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "protocol/notification.h"
#include "protocol/remote_command.h"
#include "server/net/datagram_endpoint.h"
#include "server/notify/notification_hub.h"
#include "support/jumping_clock.h"
#include "transport/datagram_socket.h"

namespace larkspire::server {
namespace {

// A client's endpoint that keeps every message the server sends it.
class TClient {
 public:
  explicit TClient(int server_port)
      : socket_("127.0.0.1", 0, 0, TDatagramTiming{}, [this](TSuperUdpSocket& socket) {
          socket.OnRecvStream = [this](const std::string&, int, TStream& stream,
                                       TDataProcessModule*) {
            auto message = std::make_shared<TRemoteCommand>();
            message->LoadFromStream(stream);
            std::lock_guard lock(mutex_);
            messages_.push_back(message);
            arrived_.notify_all();
          };
        }) {
    linked_ = socket_.OpenLink("127.0.0.1", server_port, "");
  }
  bool Linked() const { return linked_; }
  void Send(uint16_t code, const std::string& data) {
    TRemoteCommand message;
    message.Code = code;
    message.SetDataText(data);
    TMemoryStream stream;
    message.SaveToStream(stream);
    ASSERT_TRUE(socket_.SendStream(stream));
  }
  // The next message, or null after a while.
  std::shared_ptr<TRemoteCommand> Next() {
    std::unique_lock lock(mutex_);
    if (!arrived_.wait_for(lock, std::chrono::seconds(5), [&] { return !messages_.empty(); })) {
      return nullptr;
    }
    auto message = messages_.front();
    messages_.pop_front();
    return message;
  }

 private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<std::shared_ptr<TRemoteCommand>> messages_;
  TSuperUdpSocket socket_;
  bool linked_ = false;
};

class NotificationLinksTest : public ::testing::Test {
 protected:
  ~NotificationLinksTest() override { links_.Close(); }
  // The answer to a bind with token: true for "bound", false for a refusal.
  bool Bind(TClient& client, const std::string& token) {
    client.Send(cmdNotifyLink, token);
    auto answer = client.Next();
    EXPECT_NE(answer, nullptr);
    if (answer == nullptr) return false;
    EXPECT_EQ(answer->Code, cmdNotifyLink);
    return answer->Success && answer->Value == 1;
  }

  test::TJumpingClock clock_;
  TDatagramEndpoint endpoint_{"127.0.0.1", 0, [] { return 0; }};
  TNotificationLinks links_{endpoint_, 0};
  TNotificationHub hub_;
};

TEST_F(NotificationLinksTest, TokenBindsOnceAndRecordsComeOverTheLink) {
  EXPECT_EQ(links_.AdvertisedPort(), endpoint_.Port());
  auto mailbox = hub_.Register();
  hub_.Subscribe(*mailbox, "stock");
  const std::string first = links_.Issue(mailbox, nullptr);
  const std::string token = links_.Issue(mailbox, nullptr);
  ASSERT_EQ(token.size(), kLinkTokenSize);
  EXPECT_NE(token, first);

  TClient client(endpoint_.Port());
  ASSERT_TRUE(client.Linked());
  EXPECT_FALSE(Bind(client, std::string(kLinkTokenSize, 'x')));  // never issued
  EXPECT_FALSE(mailbox->HasOutlet());
  EXPECT_TRUE(Bind(client, token));
  EXPECT_TRUE(mailbox->HasOutlet());

  hub_.Publish("stock", "12 left");
  hub_.Publish("stock", "11 left");
  std::vector<TNotificationRecord> records;
  for (int i = 0; i < 2; ++i) {
    auto message = client.Next();
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(message->Code, cmdNotify);
    const std::string datagram = message->GetDataText();
    ASSERT_FALSE(datagram.empty());
    EXPECT_EQ(static_cast<uint8_t>(datagram[0]), kRecordPlain);  // no TLS: no seal
    DecodeNotificationRecords(reinterpret_cast<const uint8_t*>(datagram.data()) + 1,
                              datagram.size() - 1, records);
  }
  // Each message is handed over on a thread of its own: they may come in either order.
  ASSERT_EQ(records.size(), 2u);
  if (records[0].Sequence > records[1].Sequence) std::swap(records[0], records[1]);
  EXPECT_EQ(records[0].Channel, "stock");
  EXPECT_EQ(records[0].Payload, "12 left");
  EXPECT_EQ(records[0].Sequence, 1u);
  EXPECT_EQ(records[1].Payload, "11 left");
  EXPECT_EQ(records[1].Sequence, 2u);
  EXPECT_EQ(mailbox->QueuedCount(), 0u);

  // Used up: a second bind with it, from another client, binds nothing.
  TClient other(endpoint_.Port());
  ASSERT_TRUE(other.Linked());
  EXPECT_FALSE(Bind(other, token));
  hub_.Unregister(mailbox);
}

TEST_F(NotificationLinksTest, ExpiredOrReplacedTokenIsRefusedAndClosedLinksQueueAgain) {
  auto mailbox = hub_.Register();
  auto other = hub_.Register();
  hub_.Subscribe(*mailbox, "jobs");
  const std::string stale = links_.Issue(other, nullptr);
  clock_.Jump(kTokenLifetimeMs);
  const std::string replaced = links_.Issue(mailbox, nullptr);
  const std::string fresh = links_.Issue(mailbox, nullptr);
  TClient client(endpoint_.Port());
  ASSERT_TRUE(client.Linked());
  EXPECT_FALSE(Bind(client, stale));
  EXPECT_FALSE(Bind(client, replaced));
  EXPECT_TRUE(Bind(client, fresh));

  // Closed (the server stops): the outlet gives up and the records wait for 604.
  links_.Close();
  hub_.Publish("jobs", "one");
  const auto records = mailbox->WaitAndTake(std::chrono::seconds(5));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].Payload, "one");
  EXPECT_FALSE(mailbox->HasOutlet());
  hub_.Unregister(mailbox);
  hub_.Unregister(other);
}

}  // namespace
}  // namespace larkspire::server
