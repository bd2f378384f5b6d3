#include "platform/codepage.h"

#include <gtest/gtest.h>

#include "platform/exception.h"

namespace larkspire {
namespace {

class CodePage : public ::testing::Test {
 protected:
  void TearDown() override { SetAnsiCodePage("UTF-8"); }
};

TEST_F(CodePage, DefaultsToUtf8) {
  EXPECT_EQ(AnsiCodePage(), "UTF-8");
  EXPECT_EQ(WideToAnsi("中文 ok"), "中文 ok");
  EXPECT_EQ(AnsiToWide("中文 ok"), "中文 ok");
  // Bytes that are not UTF-8 become the substitute.
  EXPECT_EQ(AnsiToWide("a\xFF"
                       "b"),
            "a?b");
}

TEST_F(CodePage, GbkRoundTripsChineseText) {
  SetAnsiCodePage("GBK");
  EXPECT_EQ(AnsiCodePage(), "GBK");
  const std::string gbk = WideToAnsi("产品名称: 中文");
  EXPECT_EQ(gbk, "\xB2\xFA\xC6\xB7\xC3\xFB\xB3\xC6: \xD6\xD0\xCE\xC4");
  EXPECT_EQ(AnsiToWide(gbk), "产品名称: 中文");
  // A lead byte without its trail byte is replaced, the rest kept.
  EXPECT_EQ(AnsiToWide("\xD6\xD0\xCE"), "中?");
}

TEST_F(CodePage, Cp1252SubstitutesWhatItLacks) {
  SetAnsiCodePage("CP1252");
  EXPECT_EQ(WideToAnsi("café 中文!"),
            "caf\xE9 ??"
            "!");
  EXPECT_EQ(AnsiToWide("caf\xE9"), "café");
  EXPECT_EQ(WideToAnsi("€"), "\x80");
  EXPECT_EQ(WideToAnsi("plain ascii"), "plain ascii");
}

TEST_F(CodePage, UnknownNameRaisesAndKeepsTheSetting) {
  SetAnsiCodePage("CP1252");
  EXPECT_THROW(SetAnsiCodePage("NO-SUCH-PAGE"), Exception);
  EXPECT_EQ(AnsiCodePage(), "CP1252");
}

TEST_F(CodePage, ConvertsBetweenAnyTwoPages) {
  EXPECT_EQ(ConvertCodePage("\xD6\xD0", "GBK", "UTF-8"), "中");
  EXPECT_EQ(ConvertCodePage("中", "UTF-8", "GB18030"), "\xD6\xD0");
  EXPECT_EQ(ConvertCodePage("", "GBK", "UTF-8"), "");
  EXPECT_EQ(ConvertCodePage("\xE4\xB8", "UTF-8", "GBK"), "?");  // cut UTF-8 sequence
  const std::string long_text(10000, 'x');
  EXPECT_EQ(ConvertCodePage(long_text + "中", "UTF-8", "GBK"), long_text + "\xD6\xD0");
}

}  // namespace
}  // namespace larkspire
