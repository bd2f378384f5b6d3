// The payload of commands 210 and 300 as both sides read and write it: the query description
// and the paging record.
#include <gtest/gtest.h>

#include <string>

#include "platform/exception.h"
#include "platform/parameters.h"
#include "protocol/memory_stream.h"
#include "protocol/paging_record.h"
#include "protocol/query_description.h"

namespace larkspire {
namespace {

TEST(TQueryDescription, ReadsTheClientsSixtySixByteForm) {
  TQueryDescription description;
  description.CommandText = "select * from products order by ProId desc";
  TLarkspireMemoryStream stream;
  WriteQueryDescription(description, stream);
  const std::string bytes = stream.Bytes();
  ASSERT_EQ(bytes.size(), 66u);
  EXPECT_EQ(bytes.substr(0, 20), std::string("\x01\x02\x04\x01\x00\x00\x00\x00\x00\x00\x00\x01"
                                             "\x1e\x00\x00\x00\x2a\x00\x00\x00",
                                             20));
  stream.SetPosition(0);
  TQueryDescription read = ReadQueryDescription(stream);
  EXPECT_EQ(read.CommandText, description.CommandText);
  EXPECT_EQ(read.CommandTimeout, 30);
  EXPECT_EQ(read.CommandType, cmdText);
  EXPECT_EQ(read.Parameters.Count(), 0);
  EXPECT_EQ(stream.Position(), 66);
}

TEST(TQueryDescription, RefusesEveryTruncationWithoutReadingPastTheEnd) {
  TQueryDescription description;
  description.CommandText = "select :a";
  description.Parameters.CreateParameter("a", ftString, pdInput, 0, TVariant("value"));
  TLarkspireMemoryStream full;
  WriteQueryDescription(description, full);
  const std::string bytes = full.Bytes();
  for (size_t length = 0; length < bytes.size(); ++length) {
    TLarkspireMemoryStream cut;
    cut.WriteBuffer(bytes.data(), static_cast<int64_t>(length));
    cut.SetPosition(0);
    EXPECT_THROW(ReadQueryDescription(cut), EMalformedData) << length;
  }
}

// ---- The paging record ----

TEST(TPagingRecord, ReadsTheFourFieldsLittleEndian) {
  TLarkspireMemoryStream stream;
  const std::string bytes("\x00\x00\x00\x00\x00\x00\x00\x00\x14\x00\x00\x00\x02\x00\x00\x00", 16);
  stream.WriteBuffer(bytes.data(), 16);
  stream.SetPosition(0);
  TPagingRecord record = ReadPagingRecord(stream);
  EXPECT_EQ(record.PageSize, 20);
  EXPECT_EQ(record.PageIndex, 2);
  TLarkspireMemoryStream written;
  WritePagingRecord(record, written);
  EXPECT_EQ(written.Bytes(), bytes);

  for (int length = 0; length < 16; ++length) {
    TLarkspireMemoryStream cut;
    cut.WriteBuffer(bytes.data(), length);
    cut.SetPosition(0);
    EXPECT_THROW(ReadPagingRecord(cut), EMalformedData) << length;
  }
}

}  // namespace
}  // namespace larkspire
