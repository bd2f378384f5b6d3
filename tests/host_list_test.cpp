// The list of servers a connection may reach.
#include "components/host_list.h"

#include <gtest/gtest.h>

#include "platform/exception.h"

namespace larkspire {
namespace {

TEST(HostList, ReadsNamesIPv4AndBracketedIPv6WithOrWithoutPorts) {
  const std::vector<THostEntry> expected = {
      {"db1.example", 8008}, {"10.0.0.2", 9000}, {"::1", 8010}, {"fe80::2", 8008}};
  EXPECT_EQ(ParseHostList("db1.example, 10.0.0.2:9000 ,[::1]:8010,[fe80::2]", 8008), expected);
  EXPECT_EQ(HostEntryText(expected[2]), "[::1]:8010");
  EXPECT_EQ(HostEntryText(expected[1]), "10.0.0.2:9000");
}

TEST(HostList, RefusesWhatCannotBeMeant) {
  for (const char* text : {"", "a,,b", "a,", "host:0", "host:65536", "host:80x", "host:", "[::1",
                           "[::1]8008", "::1", "[]:8008", ":8008"}) {
    EXPECT_THROW(ParseHostList(text, 8008), Exception) << text;
  }
}

}  // namespace
}  // namespace larkspire
