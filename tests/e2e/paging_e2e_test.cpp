// Paging against the real server, on SQLite (the demonstration database) and on PostgreSQL (a
// fresh database seeded with the same 45 products): the counts, the rows of each page in the
// query's order, moving between pages and past the ends, an empty result, and paged rows that
// are edited like any others.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "components/query.h"
#include "support/backend_server.h"
#include "support/postgres_cluster.h"
#include "support/server_fixture.h"

namespace larkspire::test {
namespace {

TBackendServer& ServerFor(TBackend backend) {
  return test::ServerFor(backend, "lkpaging");
}

class PagingE2E : public ::testing::TestWithParam<TBackend> {
 protected:
  void SetUp() override {
    TBackendServer& server = ServerFor(GetParam());
    ASSERT_TRUE(server.Server) << server.Error;
    connection_.SetName("Conn");
    connection_.SetRemotePort(server.Server->Port());
    connection_.SetConnectionName(server.ConnectionName);
    query_.SetName("PagingQuery");
    query_.SetConnection(&connection_);
    query_.SQL().SetText("select * from products order by ProId desc");
    query_.OnPageChange = [this](int index) { events_.push_back(index); };
  }

  TLarkspirePaging& Paging() { return query_.Paging(); }
  // The ProIds of the rows on the page shown.
  std::vector<int> Ids() {
    std::vector<int> ids;
    for (query_.First(); !query_.Eof(); query_.Next())
      ids.push_back(query_.FieldByName("ProId").AsInteger());
    return ids;
  }
  static std::vector<int> Range(int from, int down_to) {
    std::vector<int> ids;
    for (int id = from; id >= down_to; --id) ids.push_back(id);
    return ids;
  }

  TLarkspireConnection connection_;
  TLarkspireQuery query_;
  std::vector<int> events_;
};

TEST_P(PagingE2E, FortyFiveRowsMakeThreePagesOfTwenty) {
  Paging().SetPageSize(20);
  Paging().ReloadFirstPage();
  EXPECT_EQ(Paging().RecordCount(), 45);
  EXPECT_EQ(Paging().PageCount(), 3);
  EXPECT_EQ(Paging().PageIndex(), 1);
  EXPECT_EQ(Ids(), Range(45, 26));
  EXPECT_TRUE(Paging().IsFirstPage());
  Paging().NextPage();
  EXPECT_EQ(Ids(), Range(25, 6));
  Paging().LastPage();
  EXPECT_EQ(Ids(), Range(5, 1));
  EXPECT_TRUE(Paging().IsLastPage());
  EXPECT_EQ(events_, (std::vector<int>{1, 2, 3}));
}

TEST_P(PagingE2E, MovesStopAtTheEndsAndTheCurrentPageIsNotFetchedAgain) {
  Paging().FirstPage();
  Paging().PriorPage();
  Paging().GotoPage(1);
  EXPECT_EQ(events_, std::vector<int>{1});
  Paging().GotoPage(3);
  Paging().NextPage();
  EXPECT_EQ(events_, (std::vector<int>{1, 3}));
  Paging().PriorPage();
  EXPECT_EQ(Paging().PageIndex(), 2);
  EXPECT_EQ(query_.RecordCount(), 20);
  Paging().ReloadFirstPage();
  EXPECT_EQ(events_, (std::vector<int>{1, 3, 2, 1}));
}

TEST_P(PagingE2E, PageBeyondTheEndHasNoRowsButTheTrueCount) {
  Paging().GotoPage(4);
  EXPECT_TRUE(query_.Active());
  EXPECT_EQ(query_.RecordCount(), 0);
  EXPECT_EQ(Paging().RecordCount(), 45);
  EXPECT_EQ(Paging().PageCount(), 3);
  EXPECT_EQ(Paging().PageIndex(), 4);
  EXPECT_FALSE(Paging().IsLastPage());
  // The columns are there all the same.
  EXPECT_NE(query_.FindField("ProName"), nullptr);
}

TEST_P(PagingE2E, EmptyResultHasNoPages) {
  query_.SQL().SetText("select * from products where ProId < 0");
  Paging().ReloadFirstPage();
  EXPECT_EQ(Paging().RecordCount(), 0);
  EXPECT_EQ(Paging().PageCount(), 0);
  EXPECT_EQ(Paging().PageIndex(), -1);
  EXPECT_EQ(events_, std::vector<int>{-1});
  EXPECT_TRUE(query_.IsEmpty());
}

TEST_P(PagingE2E, PageSizeAndParametersShapeThePages) {
  query_.SQL().SetText("select ProId, ProName from products where ProId <= :top order by ProId");
  query_.Parameters()[0].Value = int32_t{10};
  Paging().SetPageSize(4);
  Paging().ReloadFirstPage();
  EXPECT_EQ(Paging().RecordCount(), 10);
  EXPECT_EQ(Paging().PageCount(), 3);
  Paging().LastPage();
  EXPECT_EQ(Ids(), (std::vector<int>{9, 10}));
  // A plain open fetches every row and leaves the paging as it was.
  query_.Close();
  query_.Open();
  EXPECT_EQ(query_.RecordCount(), 10);
  EXPECT_EQ(Paging().PageIndex(), 3);
}

TEST_P(PagingE2E, RowsOfAPageAreEditedLikeAnyOthers) {
  Paging().GotoPage(2);
  ASSERT_TRUE(query_.Locate("ProId", TVariant(20)));
  const std::string before = query_.FieldByName("ProName").AsString();
  query_.Edit();
  query_.FieldByName("ProName").SetAsString("分页修改");
  query_.Post();
  EXPECT_EQ(query_.RecordCount(), 20);
  Paging().ReloadFirstPage();
  Paging().NextPage();
  ASSERT_TRUE(query_.Locate("ProId", TVariant(20)));
  EXPECT_EQ(query_.FieldByName("ProName").AsString(), "分页修改");
  query_.Edit();
  query_.FieldByName("ProName").SetAsString(before);
  query_.Post();
}

INSTANTIATE_TEST_SUITE_P(Backends, PagingE2E,
                         ::testing::Values(TBackend::bkSQLite, TBackend::bkPostgreSQL),
                         BackendName);

}  // namespace
}  // namespace larkspire::test
