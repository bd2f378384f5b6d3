// Notifications inside one process: the record encodings against hostile bytes, the hub's
// mailboxes (bounds, sequences, the datagram outlet), the statements that name a changed table,
// and the library's listener against an in-process server (unsubscribing, disconnecting, table
// changes held back to the commit).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "components/connection.h"
#include "components/exception.h"
#include "components/query.h"
#include "platform/exception.h"
#include "protocol/notification.h"
#include "server/base/server_errors.h"
#include "server/net/server.h"
#include "server/notify/notification_hub.h"
#include "server/notify/table_changes.h"
#include "support/notification_inbox.h"

namespace larkspire {
namespace {

namespace fs = std::filesystem;
using server::TNotificationHub;
using server::TNotificationMailbox;

std::vector<TNotificationRecord> Decode(const std::string& bytes) {
  std::vector<TNotificationRecord> records;
  DecodeNotificationRecords(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), records);
  return records;
}

TEST(NotificationRecords, RoundTripAndEveryTruncationIsRefused) {
  std::string bytes;
  EncodeNotificationRecord({"table:products", R"({"inserted":1})", 7, false}, bytes);
  const size_t first = bytes.size();
  EncodeNotificationRecord({"ch", std::string("a\0b", 3), 1ull << 40, true}, bytes);
  const auto records = Decode(bytes);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].Channel, "table:products");
  EXPECT_EQ(records[0].Sequence, 7u);
  EXPECT_FALSE(records[0].Missed);
  EXPECT_EQ(records[1].Payload, std::string("a\0b", 3));
  EXPECT_EQ(records[1].Sequence, 1ull << 40);
  EXPECT_TRUE(records[1].Missed);
  for (size_t cut = 1; cut < bytes.size(); ++cut) {
    if (cut == first) continue;
    EXPECT_THROW(Decode(bytes.substr(0, cut)), EMalformedData) << cut;
  }
  // A length that announces far more than came is refused before anything is allocated.
  std::string hostile = bytes.substr(0, 9) + std::string("\xff\xff\xff\xff", 4) + "abc";
  EXPECT_THROW(Decode(hostile), EMalformedData);

  std::string channel, payload;
  const std::string request = EncodeNotifyRequest("ch", "hello");
  DecodeNotifyRequest(reinterpret_cast<const uint8_t*>(request.data()), request.size(), channel,
                      payload);
  EXPECT_EQ(channel, "ch");
  EXPECT_EQ(payload, "hello");
  const std::string too_long = std::string("\x09\0\0\0", 4) + "ch";
  EXPECT_THROW(DecodeNotifyRequest(reinterpret_cast<const uint8_t*>(too_long.data()),
                                   too_long.size(), channel, payload),
               EMalformedData);
  EXPECT_THROW(DecodeNotifyRequest(reinterpret_cast<const uint8_t*>("ab"), 2, channel, payload),
               EMalformedData);
}

TEST(NotificationHub, SequencesPerSubscriptionAndOverflowDropsTheOldest) {
  TNotificationHub hub;
  auto a = hub.Register();
  auto b = hub.Register();
  hub.Subscribe(*a, "x");
  hub.Subscribe(*a, "y");
  hub.Subscribe(*b, "y");
  hub.Publish("x", "1");
  hub.Publish("y", "2");
  hub.Publish("y", "3");
  hub.Publish("z", "nobody");
  auto taken = a->WaitAndTake(std::chrono::milliseconds(0));
  ASSERT_EQ(taken.size(), 3u);
  EXPECT_EQ(taken[0].Sequence, 1u);  // x
  EXPECT_EQ(taken[1].Sequence, 1u);  // y
  EXPECT_EQ(taken[2].Sequence, 2u);
  EXPECT_EQ(b->WaitAndTake(std::chrono::milliseconds(0)).size(), 2u);

  // Past the count bound the oldest go, and the first record taken says so, once.
  for (size_t i = 0; i < kMaxQueuedNotifications + 5; ++i) hub.Publish("x", std::to_string(i));
  taken = a->WaitAndTake(std::chrono::milliseconds(0));
  ASSERT_EQ(taken.size(), kMaxQueuedNotifications);
  EXPECT_TRUE(taken.front().Missed);
  EXPECT_EQ(taken.front().Payload, "5");
  EXPECT_EQ(taken.front().Sequence, 7u);
  EXPECT_FALSE(taken.back().Missed);
  hub.Publish("x", "after");
  taken = a->WaitAndTake(std::chrono::milliseconds(0));
  ASSERT_EQ(taken.size(), 1u);
  EXPECT_FALSE(taken[0].Missed);
  // The byte bound holds as well.
  for (int i = 0; i < 600; ++i) hub.Publish("x", std::string(kMaxNotificationPayload, 'p'));
  EXPECT_LE(a->QueuedBytes(), kMaxQueuedNotificationBytes);
  EXPECT_LT(a->QueuedCount(), 600u);

  // Unsubscribing drops what was queued for the channel; a closed mailbox's wait ends at once.
  hub.Unsubscribe(*a, "x");
  EXPECT_EQ(a->QueuedCount(), 0u);
  hub.Unregister(b);
  EXPECT_EQ(hub.MailboxCount(), 1u);
  EXPECT_EQ(hub.Channels(), (std::set<std::string>{"y"}));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(b->WaitAndTake(std::chrono::seconds(5)).empty());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

TEST(NotificationHub, RefusesBadChannelsAndTooManySubscriptions) {
  TNotificationHub hub;
  auto mailbox = hub.Register();
  for (const std::string& bad : {std::string(), std::string(256, 'c'), std::string("a\0b", 3)}) {
    EXPECT_THROW(hub.Subscribe(*mailbox, bad), server::EServerError);
  }
  for (size_t i = 0; i < kMaxSubscriptions; ++i) hub.Subscribe(*mailbox, "c" + std::to_string(i));
  hub.Subscribe(*mailbox, "c0");  // held already
  try {
    hub.Subscribe(*mailbox, "one-more");
    FAIL() << "subscription past the limit accepted";
  } catch (const server::EServerError& e) {
    EXPECT_EQ(e.Code(), kErrTooManySubscriptions);
  }
}

TEST(NotificationHub, OutletTakesRecordsUntilItGivesUpThenTheQueueDoes) {
  TNotificationHub hub;
  auto mailbox = hub.Register();
  hub.Subscribe(*mailbox, "ch");
  std::mutex mutex;
  std::vector<uint64_t> offered;
  std::atomic<bool> release{false};
  mailbox->SetOutlet([&](const TNotificationRecord& record) {
    // A slow outlet: Publish must not wait for it.
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::lock_guard lock(mutex);
    offered.push_back(record.Sequence);
    return offered.size() < 3;  // the third send gives up
  });
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 5; ++i) hub.Publish("ch", "p");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  EXPECT_EQ(mailbox->QueuedCount(), 0u);
  release = true;
  auto queued = mailbox->WaitAndTake(std::chrono::seconds(5));
  for (int i = 0; i < 50 && queued.size() < 3; ++i) {
    auto more = mailbox->WaitAndTake(std::chrono::milliseconds(100));
    queued.insert(queued.end(), more.begin(), more.end());
  }
  EXPECT_FALSE(mailbox->HasOutlet());
  ASSERT_EQ(queued.size(), 3u);
  EXPECT_EQ(queued[0].Sequence, 3u);  // the record the outlet gave up on comes first
  EXPECT_EQ(queued[2].Sequence, 5u);
  std::lock_guard lock(mutex);
  EXPECT_EQ(offered, (std::vector<uint64_t>{1, 2, 3}));
}

TEST(TableChanges, NamesTheTableOfOnePlainStatement) {
  using server::StatementTarget;
  using server::TStatementKind;
  struct TCase {
    const char* Sql;
    const char* Table;  // null: none
    TStatementKind Kind;
  };
  const TCase cases[] = {
      {"insert into Products (ProCode) values ('x')", "Products", TStatementKind::skInsert},
      {"  -- note\n/* c */ UPDATE \"main\".\"My \"\"T\"\"\" SET a = 1;", "My \"T\"",
       TStatementKind::skUpdate},
      {"delete from only public.products where ProId = 1;  ", "products", TStatementKind::skDelete},
      {"INSERT OR REPLACE INTO [odd name] VALUES (1)", "odd name", TStatementKind::skInsert},
      {"update t set a = ';' where b = 'x;y'", "t", TStatementKind::skUpdate},
      {"select * from products", nullptr, TStatementKind::skInsert},
      {"with x as (select 1) delete from products", nullptr, TStatementKind::skInsert},
      {"delete from a; delete from b", nullptr, TStatementKind::skInsert},
      {"update \"unterminated set a = 1", nullptr, TStatementKind::skInsert},
  };
  for (const TCase& c : cases) {
    const auto target = StatementTarget(c.Sql);
    if (c.Table == nullptr) {
      EXPECT_FALSE(target) << c.Sql;
      continue;
    }
    ASSERT_TRUE(target) << c.Sql;
    EXPECT_EQ(target->Table, c.Table) << c.Sql;
    EXPECT_EQ(target->Kind, c.Kind) << c.Sql;
  }
  EXPECT_EQ(server::TableChannel("Products"), "table:products");
}

class ServerNotifications : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "larkspire-notify-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
    server::TServerOptions options;
    options.Port = 0;
    options.DataDir = folder_ + "/data";
    server_ = std::make_unique<server::TServer>(options);
    server_->Start();
  }
  void TearDown() override {
    server_.reset();
    fs::remove_all(folder_);
  }
  void Configure(TLarkspireConnection& connection) { connection.SetRemotePort(server_->Port()); }
  // Waits until the hub holds count mailboxes.
  bool MailboxesBecome(size_t count) {
    for (int i = 0; i < 500; ++i) {
      if (server_->Notifications().MailboxCount() == count) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  std::string folder_;
  std::unique_ptr<server::TServer> server_;
};

TEST_F(ServerNotifications, ClientsThatUnsubscribeOrGoGetNothingMoreAndLeaveNoMailbox) {
  TLarkspireConnection publisher;
  Configure(publisher);
  test::TNotificationInbox stays_inbox, leaves_inbox;
  TLarkspireConnection stays;
  Configure(stays);
  stays.SetOnNotification(stays_inbox.Handler());
  stays.Subscribe("ch");
  auto leaves = std::make_unique<TLarkspireConnection>();
  Configure(*leaves);
  leaves->SetOnNotification(leaves_inbox.Handler());
  leaves->Subscribe("ch");
  leaves->Subscribe("other");
  // Over TCP, or over the datagram link once the listener has bound it.
  EXPECT_NE(leaves->NotificationRoute(), TNotificationRoute::None);
  EXPECT_EQ(publisher.NotificationRoute(), TNotificationRoute::None);

  publisher.Notify("ch", "one");
  ASSERT_TRUE(stays_inbox.WaitFor(1));
  ASSERT_TRUE(leaves_inbox.WaitFor(1));
  EXPECT_EQ(leaves_inbox.Received()[0].Payload, "one");
  EXPECT_EQ(leaves_inbox.Received()[0].Sequence, 1u);
  EXPECT_FALSE(leaves_inbox.Received()[0].Missed);

  leaves->Unsubscribe("ch");
  publisher.Notify("ch", "two");
  ASSERT_TRUE(stays_inbox.WaitFor(2));
  // The last channel gone, the listener's session closes and the server forgets it.
  leaves->Unsubscribe("other");
  EXPECT_EQ(leaves->NotificationRoute(), TNotificationRoute::None);
  EXPECT_TRUE(MailboxesBecome(1));
  leaves->Subscribe("ch");
  EXPECT_TRUE(MailboxesBecome(2));
  leaves.reset();
  EXPECT_TRUE(MailboxesBecome(1));
  publisher.Notify("ch", "three");
  ASSERT_TRUE(stays_inbox.WaitFor(3));
  EXPECT_EQ(leaves_inbox.Count(), 1u);
  EXPECT_EQ(stays_inbox.Received()[2].Sequence, 3u);

  // The publisher's own session stays free for statements meanwhile, and bad input is refused
  // by the library before anything is sent.
  EXPECT_THROW(publisher.Notify("", "x"), ELarkspireException);
  EXPECT_THROW(publisher.Notify("ch", std::string(kMaxNotificationPayload + 1, 'x')),
               ELarkspireException);
  EXPECT_THROW(stays.Subscribe(std::string(256, 'c')), ELarkspireException);
}

TEST_F(ServerNotifications, TableChangesInATransactionWaitForTheCommit) {
  TLarkspireConnection connection;
  Configure(connection);
  test::TNotificationInbox inbox;
  connection.SetOnNotification(inbox.Handler());
  connection.Subscribe("table:products");
  TLarkspireQuery query;
  query.SetConnection(&connection);
  query.SQL().SetText("update products set ProName = ProName where ProId <= 2");
  connection.StartTransaction();
  EXPECT_EQ(query.ExecSQL(), 2);
  connection.RollbackTransaction();
  connection.StartTransaction();
  query.SQL().SetText("delete from products where ProId = 3");
  EXPECT_EQ(query.ExecSQL(), 1);
  query.SQL().SetText("update products set ProName = 'x' where ProId = 4");
  EXPECT_EQ(query.ExecSQL(), 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(inbox.Count(), 0u);
  connection.CommitTransaction();
  ASSERT_TRUE(inbox.WaitFor(1));
  query.SQL().SetText("update products set ProName = 'y' where ProId = 999");
  EXPECT_EQ(query.ExecSQL(), 0);  // nothing changed: nothing published
  query.SQL().SetText("insert into products (ProCode) values ('N1')");
  EXPECT_EQ(query.ExecSQL(), 1);
  ASSERT_TRUE(inbox.WaitFor(2));
  const auto received = inbox.Received();
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[0].Channel, "table:products");
  EXPECT_EQ(received[0].Payload, R"({"inserted":0,"updated":1,"deleted":1})");
  EXPECT_EQ(received[1].Payload, R"({"inserted":1,"updated":0,"deleted":0})");
  EXPECT_EQ(received[1].Sequence, 2u);
}

}  // namespace
}  // namespace larkspire
