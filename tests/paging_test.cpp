// TLarkspirePaging against a scripted peer that pages a result of a chosen size: the counts it
// derives, which operations fetch and which do nothing, the record it sends, the event, and
// failures and a busy connection.
#include "components/paging.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "components/query.h"
#include "platform/wait_window.h"
#include "protocol/param_encoding.h"
#include "support/command_peer.h"
#include "support/dataset_fixtures.h"

namespace larkspire {
namespace {

using test::ReadDescription;
using test::TCommandPeer;
using test::TSeenCommand;

// The four fields of the paging record at the end of a request's Data; all -999 without one.
struct TSeenPaging {
  int32_t Fields[4] = {-999, -999, -999, -999};
};

TSeenPaging PagingOf(const TSeenCommand& seen) {
  TSeenPaging paging;
  const std::string rest = ReadDescription(seen.Data).Rest;
  if (rest.size() != 16) return paging;
  for (int i = 0; i < 4; ++i) {
    uint32_t v = 0;
    for (int b = 3; b >= 0; --b) v = (v << 8) | static_cast<uint8_t>(rest[4 * i + b]);
    paging.Fields[i] = static_cast<int32_t>(v);
  }
  return paging;
}

// Serves a result of total_ rows: a paged open gets the rows of the page asked for and the
// total in its paging record; a plain open gets every row.
class PagingTest : public ::testing::Test {
 protected:
  PagingTest()
      : peer_([this](const TRemoteCommand& request, TRemoteCommand& reply) {
          for (int i = 0; i < 500 && hold_ && !*hold_; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
          if (refuse_) {
            reply.Success = false;
            reply.Value = 77;
            reply.Message = "paging refused";
            return;
          }
          int rows = total_;
          if (request.Option == 1) {
            const TSeenPaging paging = PagingOf({request.Code, request.Option, request.Value,
                                                 request.Success, request.Data.Bytes(), ""});
            const int size = paging.Fields[2], index = paging.Fields[3];
            const int first = (index - 1) * size;
            rows = index < 1 || first >= total_ ? 0 : std::min(size, total_ - first);
            test::AnswerRows(reply, test::ProductsXml(rows));
            WriteInt32(reply.Params, total_);
            if (short_record_) return;
            WriteInt32(reply.Params, 0);
            WriteInt32(reply.Params, size);
            WriteInt32(reply.Params, index);
            return;
          }
          test::AnswerRows(reply, test::ProductsXml(rows));
        }) {
    connection_.SetRemotePort(peer_.Port());
    query_.SetName("Paged");
    query_.SetConnection(&connection_);
    query_.SQL().SetText("select * from products order by ProId desc");
    query_.OnPageChange = [this](int index) { events_.push_back(index); };
  }

  TLarkspirePaging& Paging() { return query_.Paging(); }
  // The page index of every paged open the peer saw.
  std::vector<int32_t> PagesAsked() const {
    std::vector<int32_t> pages;
    for (const TSeenCommand& seen : peer_.Seen())
      if (seen.Option == 1) pages.push_back(PagingOf(seen).Fields[3]);
    return pages;
  }

  int total_ = 45;
  bool refuse_ = false;
  bool short_record_ = false;  // the reply's paging record holds only its first field
  std::atomic<bool>* hold_ = nullptr;
  std::vector<int> events_;
  TCommandPeer peer_;
  TLarkspireConnection connection_;
  TLarkspireQuery query_;
};

TEST(TLarkspirePaging, NewObjectHasNoPageAndClampsThePageSize) {
  TLarkspireQuery query;
  TLarkspirePaging& paging = query.Paging();
  EXPECT_EQ(paging.Query(), &query);
  EXPECT_EQ(paging.RecordCount(), 0);
  EXPECT_EQ(paging.PageCount(), 0);
  EXPECT_EQ(paging.PageIndex(), -1);
  EXPECT_EQ(paging.PageSize(), 20);
  EXPECT_FALSE(paging.IsFirstPage());
  EXPECT_FALSE(paging.IsLastPage());
  paging.SetPageSize(0);
  EXPECT_EQ(paging.PageSize(), 1);
  paging.SetPageSize(-5);
  EXPECT_EQ(paging.PageSize(), 1);
  paging.SetPageSize(50);
  // The counts change only through the operations.
  paging.SetRecordCount(9);
  paging.SetPageCount(9);
  paging.SetPageIndex(9);
  EXPECT_EQ(paging.RecordCount(), 0);
  EXPECT_EQ(paging.PageCount(), 0);
  EXPECT_EQ(paging.PageIndex(), -1);
  // Assigning another paging object copies its settings into the query's own.
  TLarkspireQuery other;
  other.SetPaging(paging);
  EXPECT_EQ(other.Paging().PageSize(), 50);
  EXPECT_EQ(other.Paging().Query(), &other);
}

TEST(TLarkspirePaging, PageCountIsTheTotalDividedByThePageSizeRoundedUp) {
  TLarkspireQuery query;
  TLarkspirePaging& paging = query.Paging();
  const std::pair<int, int> cases[] = {{45, 3}, {40, 2}, {1, 1}, {20, 1}, {21, 2}};
  for (const auto& [total, pages] : cases) {
    paging.UpdateRecordCount(total);
    EXPECT_EQ(paging.RecordCount(), total);
    EXPECT_EQ(paging.PageCount(), pages) << total;
  }
  paging.UpdateRecordCount(0);
  EXPECT_EQ(paging.PageCount(), 0);
  EXPECT_EQ(paging.PageIndex(), -1);
}

TEST_F(PagingTest, ReloadFirstPageSendsTheRecordAndCountsThePages) {
  Paging().ReloadFirstPage();
  ASSERT_EQ(peer_.Count(), 1u);
  const TSeenCommand seen = peer_.Seen()[0];
  EXPECT_EQ(seen.Code, cmdOpenQuery);
  EXPECT_EQ(seen.Option, 1);
  const TSeenPaging paging = PagingOf(seen);
  EXPECT_EQ(paging.Fields[0], 0);
  EXPECT_EQ(paging.Fields[1], 0);
  EXPECT_EQ(paging.Fields[2], 20);
  EXPECT_EQ(paging.Fields[3], 1);
  EXPECT_EQ(Paging().RecordCount(), 45);
  EXPECT_EQ(Paging().PageCount(), 3);
  EXPECT_EQ(Paging().PageIndex(), 1);
  EXPECT_EQ(query_.RecordCount(), 20);
  EXPECT_EQ(events_, std::vector<int>{1});
  EXPECT_TRUE(Paging().IsFirstPage());
  EXPECT_FALSE(Paging().IsLastPage());
  EXPECT_FALSE(query_.PagingFetch());
  // Reloading page 1 while on it fetches it again.
  Paging().ReloadFirstPage();
  EXPECT_EQ(PagesAsked(), (std::vector<int32_t>{1, 1}));
}

TEST_F(PagingTest, RequestRecordForPageTwoOfTwentyRows) {
  Paging().GotoPage(2);
  ASSERT_EQ(peer_.Count(), 1u);
  EXPECT_EQ(ReadDescription(peer_.Seen()[0].Data).Rest,
            std::string("\0\0\0\0\0\0\0\0\x14\0\0\0\x02\0\0\0", 16));
}

TEST_F(PagingTest, MovesBetweenPagesAndStopsAtTheEnds) {
  Paging().FirstPage();
  Paging().PriorPage();  // on page 1: nothing
  Paging().NextPage();
  Paging().NextPage();
  EXPECT_EQ(query_.RecordCount(), 5);
  EXPECT_TRUE(Paging().IsLastPage());
  Paging().NextPage();   // on the last page: nothing
  Paging().GotoPage(3);  // the current page: nothing
  Paging().PriorPage();
  Paging().LastPage();
  EXPECT_EQ(PagesAsked(), (std::vector<int32_t>{1, 2, 3, 2, 3}));
  EXPECT_EQ(events_, (std::vector<int>{1, 2, 3, 2, 3}));
}

TEST_F(PagingTest, NextAndLastPageOnANewObjectFetchPageOne) {
  Paging().NextPage();
  EXPECT_EQ(Paging().PageIndex(), 1);
  TLarkspireQuery fresh;
  fresh.SetConnection(&connection_);
  fresh.SQL().SetText("select * from products");
  fresh.Paging().LastPage();
  EXPECT_EQ(fresh.Paging().PageIndex(), 1);
  EXPECT_EQ(PagesAsked(), (std::vector<int32_t>{1, 1}));
}

TEST_F(PagingTest, PagesOutsideTheResultAreSentUnchanged) {
  Paging().GotoPage(7);
  EXPECT_EQ(Paging().PageIndex(), 7);
  EXPECT_EQ(Paging().PageCount(), 3);
  EXPECT_EQ(query_.RecordCount(), 0);
  Paging().GotoPage(-2);
  EXPECT_EQ(PagesAsked(), (std::vector<int32_t>{7, -2}));
  EXPECT_FALSE(Paging().IsFirstPage());
  EXPECT_FALSE(Paging().IsLastPage());
}

TEST_F(PagingTest, OnePageIsBothTheFirstAndTheLast) {
  total_ = 7;
  Paging().ReloadFirstPage();
  EXPECT_EQ(Paging().PageCount(), 1);
  EXPECT_TRUE(Paging().IsFirstPage());
  EXPECT_TRUE(Paging().IsLastPage());
}

TEST_F(PagingTest, EmptyResultHasNoPageAndTheEventGetsMinusOne) {
  total_ = 0;
  Paging().ReloadFirstPage();
  EXPECT_EQ(Paging().RecordCount(), 0);
  EXPECT_EQ(Paging().PageCount(), 0);
  EXPECT_EQ(Paging().PageIndex(), -1);
  EXPECT_EQ(events_, std::vector<int>{-1});
  EXPECT_TRUE(query_.Active());
  EXPECT_TRUE(query_.IsEmpty());
  EXPECT_FALSE(Paging().IsFirstPage());
  EXPECT_FALSE(Paging().IsLastPage());
}

TEST_F(PagingTest, PlainOpenFetchesEveryRowAndLeavesThePagingAlone) {
  Paging().GotoPage(2);
  query_.Close();
  query_.Open();
  const TSeenCommand plain = peer_.Seen().back();
  EXPECT_EQ(plain.Option, 0);
  EXPECT_EQ(ReadDescription(plain.Data).Rest, "");
  EXPECT_EQ(query_.RecordCount(), 45);
  EXPECT_EQ(Paging().PageIndex(), 2);
  EXPECT_EQ(Paging().PageCount(), 3);
  EXPECT_EQ(events_, std::vector<int>{2});
}

TEST_F(PagingTest, RefusedFetchRaisesSkipsTheEventAndKeepsTheAskedPage) {
  Paging().ReloadFirstPage();
  refuse_ = true;
  try {
    Paging().GotoPage(3);
    FAIL() << "no exception";
  } catch (const ELarkspireException& e) {
    EXPECT_EQ(e.ErrorCode(), 77);
    EXPECT_STREQ(e.what(), "Paged:paging refused");
  }
  EXPECT_EQ(Paging().PageIndex(), 3);
  EXPECT_EQ(Paging().PageCount(), 3);
  EXPECT_FALSE(query_.Active());
  EXPECT_FALSE(query_.PagingFetch());
  EXPECT_EQ(events_, std::vector<int>{1});
}

TEST_F(PagingTest, ShortPagingRecordIsMalformedAndLeavesTheQueryClosed) {
  short_record_ = true;
  try {
    Paging().ReloadFirstPage();
    FAIL() << "no exception";
  } catch (const ELarkspireMalformedDataError& e) {
    EXPECT_EQ(e.ErrorMessage(), "paging record: 4 bytes in the reply, 16 needed");
  }
  EXPECT_FALSE(query_.Active());
  EXPECT_FALSE(query_.PagingFetch());
  EXPECT_EQ(Paging().PageCount(), 0);
  EXPECT_TRUE(events_.empty());
}

TEST_F(PagingTest, MissingConnectionRaisesAndResetsTheFlag) {
  query_.SetConnection(nullptr);
  EXPECT_THROW(Paging().FirstPage(), ELarkspireException);
  EXPECT_FALSE(query_.PagingFetch());
  EXPECT_EQ(Paging().PageIndex(), 1);
  EXPECT_TRUE(events_.empty());
}

TEST_F(PagingTest, OpenFromTheEventHandlerIsItselfAPageFetch) {
  bool reopened = false;
  query_.OnPageChange = [&](int) {
    if (reopened) return;
    reopened = true;
    EXPECT_TRUE(query_.PagingFetch());
    query_.Close();
    query_.Open();
  };
  Paging().GotoPage(2);
  EXPECT_EQ(PagesAsked(), (std::vector<int32_t>{2, 2}));
}

TEST_F(PagingTest, BusyConnectionLeavesTheQueryClosedButStillCallsTheEvent) {
  Paging().ReloadFirstPage();
  std::atomic<bool> nested_done{false};
  TLarkspireQuery other;
  other.SetConnection(&connection_);
  other.SQL().SetText("select * from products");
  other.SetWaitMsg("Loading...");
  auto* window = dynamic_cast<THeadlessWaitWindow*>(&connection_.WaitForm().Backend());
  ASSERT_NE(window, nullptr);
  bool tried = false;
  window->SetMessageHook([&] {
    if (tried) return;
    tried = true;
    Paging().NextPage();
    nested_done = true;
  });
  hold_ = &nested_done;
  other.Open();
  hold_ = nullptr;
  window->SetMessageHook(nullptr);
  EXPECT_TRUE(tried);
  EXPECT_FALSE(query_.Active());
  EXPECT_EQ(Paging().PageIndex(), 2);
  EXPECT_EQ(Paging().PageCount(), 3);
  EXPECT_EQ(Paging().RecordCount(), 45);
  EXPECT_EQ(events_, (std::vector<int>{1, 2}));
  EXPECT_EQ(PagesAsked(), std::vector<int32_t>{1});
}

TEST(PagedStoredProcedure, ReadsItsOutputParametersBeforeThePagingRecord) {
  TCommandPeer peer([](const TRemoteCommand&, TRemoteCommand& r) {
    test::AnswerRows(r, test::ProductsXml(20));
    TParameters out;
    out.CreateParameter("Total", ftInteger, pdOutput, 0, TVariant(int32_t{45}));
    WriteParameterList(out, r.Params);
    for (int32_t v : {41, 0, 20, 1}) WriteInt32(r.Params, v);
  });
  TLarkspireConnection connection;
  connection.SetRemotePort(peer.Port());
  TLarkspireQuery query;
  query.SetConnection(&connection);
  query.SetCommandType(cmdStoredProc);
  query.SQL().SetText("ListProducts");
  query.Parameters().CreateParameter("Total", ftInteger, pdOutput, 0, TVariant());
  query.Paging().ReloadFirstPage();
  EXPECT_EQ(query.Parameters()[0].Value, TVariant(45));
  EXPECT_EQ(query.Paging().RecordCount(), 41);
  EXPECT_EQ(query.Paging().PageCount(), 3);
}

}  // namespace
}  // namespace larkspire
