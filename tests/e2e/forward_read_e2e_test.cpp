// The forward-only read against the real server, on SQLite and PostgreSQL: the rows Open reads,
// handed out one by one; a refusal, a reply past MaxMessageSize and a handler that throws each
// end the read with the connection fit for the next; and the command-line table past the rows
// it keeps to size its columns.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "components/query.h"
#include "protocol/error_codes.h"
#include "support/backend_server.h"
#include "support/run_program.h"
#include "support/server_fixture.h"

namespace larkspire::test {
namespace {

class ForwardReadE2E : public ::testing::TestWithParam<TBackend> {
 protected:
  void SetUp() override {
    TBackendServer& server = ServerFor(GetParam(), "lkforward");
    ASSERT_TRUE(server.Server) << server.Error;
    connection_.SetRemotePort(server.Server->Port());
    connection_.SetConnectionName(server.ConnectionName);
    query_.SetName("Query1");
    query_.SetConnection(&connection_);
    query_.SQL().SetText("select * from products order by ProId");
  }

  // The ProIds of a forward-only read of the query.
  std::vector<int> ReadIds() {
    std::vector<int> ids;
    query_.ReadForwardOnly(
        [&ids](TRecordsetRow& row) { ids.push_back(row.Values[0].AsInteger()); });
    return ids;
  }

  TLarkspireConnection connection_;
  TLarkspireQuery query_;
};

TEST_P(ForwardReadE2E, HandsOutTheRowsOpenReadsOneAtATime) {
  TLarkspireQuery whole;
  whole.SetConnection(&connection_);
  whole.SQL().SetText(query_.SQL().Text());
  whole.Open();
  const TRecordsetData& expected = whole.Recordset()->Data();
  ASSERT_EQ(expected.Rows.size(), 45u);

  int schemas = 0;
  size_t index = 0;
  const int64_t count = query_.ReadForwardOnly(
      [&](TRecordsetRow& row) {
        ASSERT_LT(index, expected.Rows.size());
        EXPECT_EQ(row.Values, expected.Rows[index]->Values) << "row " << index;
        ++index;
      },
      [&](const TRecordsetSchema& schema) {
        ++schemas;
        EXPECT_EQ(schema, expected.Schema);
      });
  EXPECT_EQ(count, 45);
  EXPECT_EQ(index, 45u);
  EXPECT_EQ(schemas, 1);
  EXPECT_FALSE(query_.Active());
}

TEST_P(ForwardReadE2E, EveryFailureEndsTheReadAndLeavesTheConnectionFitForTheNext) {
  // The server's refusal, worded as Open words it.
  query_.SQL().SetText("select * from no_such_table");
  try {
    ReadIds();
    FAIL() << "no exception";
  } catch (const ELarkspireException& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Query1:", 0), 0u) << e.what();
    EXPECT_EQ(e.ErrorCode(), connection_.ErrorCode());
  }
  query_.SQL().SetText("select * from products order by ProId");
  EXPECT_EQ(ReadIds().size(), 45u);

  // A reply past MaxMessageSize: refused as it passes the bound, never read whole.
  connection_.SetMaxMessageSize(4096);
  try {
    ReadIds();
    FAIL() << "no exception";
  } catch (const ELarkspireException& e) {
    EXPECT_EQ(e.ErrorCode(), kErrReplyTooLarge) << e.what();
  }
  connection_.SetMaxMessageSize(kDefaultMaxMessageSize);

  // A handler that throws: the exception comes out, and the next read starts from the start
  // (nothing retried or replayed).
  int seen = 0;
  EXPECT_THROW(query_.ReadForwardOnly([&seen](TRecordsetRow&) {
    if (++seen == 3) throw std::runtime_error("enough");
  }),
               std::runtime_error);
  EXPECT_EQ(seen, 3);
  const std::vector<int> ids = ReadIds();
  ASSERT_EQ(ids.size(), 45u);
  EXPECT_EQ(ids.front(), 1);
  EXPECT_EQ(ids.back(), 45);
}

INSTANTIATE_TEST_SUITE_P(Backends, ForwardReadE2E,
                         ::testing::Values(TBackend::bkSQLite, TBackend::bkPostgreSQL),
                         BackendName);

// The table keeps 10 000 rows to size its columns; the rows after them are printed in those
// widths as they come, and a wider value pushes the rest of its line out.
TEST(ForwardReadCli, TablePastTheRowsKeptPrintsInTheWidthsTheySet) {
  TBackendServer& server = ServerFor(TBackend::bkSQLite, "lkforward");
  ASSERT_TRUE(server.Server) << server.Error;
  const TProgramResult r = RunCli(
      {"--port", std::to_string(server.Server->Port()), "query",
       "with recursive s(n) as (select 1 union all select n + 1 from s where n < 10002) "
       "select n, case when n > 10000 then 'a much longer text' else 'x' end as t, 'end' as e "
       "from s"},
      60000);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::vector<std::string> lines;
  for (size_t at = 0; at < r.out.size();) {
    const size_t end = r.out.find('\n', at);
    lines.push_back(r.out.substr(at, end - at));
    at = end + 1;
  }
  ASSERT_EQ(lines.size(), 2u + 10002u + 1u);
  EXPECT_EQ(lines[0], "    n  t  e");
  EXPECT_EQ(lines[1], "-----  -  ---");
  EXPECT_EQ(lines[2], "    1  x  end");
  EXPECT_EQ(lines[10001], "10000  x  end");
  EXPECT_EQ(lines[10002], "10001  a much longer text  end");
  EXPECT_EQ(lines.back(), "(10002 rows)");
}

}  // namespace
}  // namespace larkspire::test
