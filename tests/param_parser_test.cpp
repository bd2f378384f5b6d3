// Placeholders in SQL text.
#include "dataset/param_parser.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace larkspire {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(ParseSQLParameters, MakesOneInputParameterOfUnknownTypePerPlaceholder) {
  TParameters params;
  params.CreateParameter("Old", ftString, pdOutput, 5, TVariant("x"));
  EXPECT_EQ(ParseSQLParameters("select * from products where ProName like :ProName", params), 1);
  ASSERT_EQ(params.Count(), 1);
  EXPECT_EQ(params[0].Name, "ProName");
  EXPECT_EQ(params[0].Direction, pdInput);
  EXPECT_EQ(params[0].DataType, ftUnknown);
  EXPECT_EQ(params[0].Size, 0);
  EXPECT_TRUE(params[0].Value.IsEmpty());
}

TEST(ParseParameterNames, TextWithoutPlaceholdersHasNone) {
  EXPECT_THAT(ParseParameterNames("select * from products order by ProId desc"), IsEmpty());
  EXPECT_THAT(ParseParameterNames(""), IsEmpty());
}

TEST(ParseParameterNames, IgnoresColonsInsideAnyKindOfQuotes) {
  EXPECT_THAT(ParseParameterNames("select ':a', \":b\", `:c` from t where x = :d"),
              ElementsAre("d"));
  EXPECT_THAT(ParseParameterNames("select 'it''s :x' from t where y = :y"), ElementsAre("y"));
}

TEST(ParseParameterNames, PassesOverADoubleColon) {
  EXPECT_THAT(ParseParameterNames("select x::int from t where a = :a"), ElementsAre("a"));
  EXPECT_THAT(ParseParameterNames("select 1 where a:::b"), ElementsAre("b"));
  EXPECT_THAT(ParseParameterNames("::::"), IsEmpty());
}

TEST(ParseParameterNames, NamesEndAtBlanksCommasParenthesesSemicolonsAndLineBreaks) {
  EXPECT_THAT(ParseParameterNames("insert into t values(:a,:b) ;:c;:d\r\n:e\n:f"),
              ElementsAre("a", "b", "c", "d", "e", "f"));
  EXPECT_THAT(ParseParameterNames("where a=:x and (b=:y)"), ElementsAre("x", "y"));
}

TEST(ParseParameterNames, OtherCharactersStayInTheName) {
  EXPECT_THAT(ParseParameterNames("where a = :p=1"), ElementsAre("p=1"));
  EXPECT_THAT(ParseParameterNames("where a = :f(x"), ElementsAre("f(x"));
  EXPECT_THAT(ParseParameterNames("where a = :p\tand"), ElementsAre("p\tand"));
  EXPECT_THAT(ParseParameterNames("where a = :a::b c"), ElementsAre("a::b"));
}

TEST(ParseParameterNames, QuotedNamesLoseTheirQuotesAndMayHoldBlanks) {
  EXPECT_THAT(ParseParameterNames("where a = :\"my name\" and b = :'p'"),
              ElementsAre("my name", "p"));
  EXPECT_THAT(ParseParameterNames("where a = :ab'c d' x"), ElementsAre("ab'c d'"))
      << "a quote inside a name is kept";
}

TEST(ParseParameterNames, KeepsRepeatedNamesInOrder) {
  EXPECT_THAT(ParseParameterNames("where a = :x or b = :y or c = :x"), ElementsAre("x", "y", "x"));
}

TEST(ParseParameterNames, ColonAtTheEndOrBeforeABlankGivesAnEmptyName) {
  EXPECT_THAT(ParseParameterNames("select :"), ElementsAre(""));
  EXPECT_THAT(ParseParameterNames("a : b"), ElementsAre(""));
}

TEST(ParseParameterNames, HandlesMultiByteTextAroundPlaceholders) {
  EXPECT_THAT(ParseParameterNames("where 名称 = :名称 and x = '：:y'"), ElementsAre("名称"));
}

TEST(NumberQuestionMarks, NumbersEveryMarkFromLeftToRightQuotedOrNot) {
  EXPECT_EQ(NumberQuestionMarks("update t set a=? where b=? and c='?'"),
            "update t set a=:para1 where b=:para2 and c=':para3'");
  EXPECT_EQ(NumberQuestionMarks("select 1"), "select 1");
  EXPECT_THAT(ParseParameterNames(NumberQuestionMarks("a=? and b=?")),
              ElementsAre("para1", "para2"));
}

}  // namespace
}  // namespace larkspire
