// TStringList: its text form, name=value lines and the change notification.
#include "platform/string_list.h"

#include <gtest/gtest.h>

namespace larkspire {
namespace {

TEST(TStringList, TextJoinsWithLineFeedsAndSplitsOnBothLineEnds) {
  TStringList list;
  list.SetText("select *\r\nfrom products\nwhere 1 = 1\n");
  ASSERT_EQ(list.Count(), 3);
  EXPECT_EQ(list[1], "from products");
  EXPECT_EQ(list.Text(), "select *\nfrom products\nwhere 1 = 1");
  list.SetText("");
  EXPECT_EQ(list.Count(), 0);
  list.SetText("\n\nx");
  EXPECT_EQ(list.Count(), 3);
  EXPECT_EQ(list.Text(), "\n\nx");
}

TEST(TStringList, EveryChangeNotifiesOnceAndUpdatesAreGathered) {
  TStringList list;
  int changes = 0;
  list.OnChange = [&] { ++changes; };
  list.Add("a");
  list.SetText("b\nc");
  list.Assign(TStringList{"x", "y", "z"});
  EXPECT_EQ(changes, 3);
  list.BeginUpdate();
  list.Add("1");
  list.Delete(0);
  list.BeginUpdate();
  list.Put(0, "p");
  list.EndUpdate();
  EXPECT_EQ(changes, 3);
  list.EndUpdate();
  EXPECT_EQ(changes, 4);
  list.BeginUpdate();
  list.EndUpdate();  // nothing changed
  EXPECT_EQ(changes, 4);
  list.Clear();
  list.Clear();  // already empty
  EXPECT_EQ(changes, 5);
  // A copy takes the lines, not the notification.
  TStringList copy(list);
  copy.Add("q");
  EXPECT_EQ(changes, 5);
}

TEST(TStringList, NameValueLinesAreFoundIgnoringCase) {
  TStringList list{"Ext=.txt", "icon=3", "plain"};
  EXPECT_EQ(list.Value("EXT"), ".txt");
  EXPECT_EQ(list.Value("plain"), "");
  EXPECT_EQ(list.IndexOfName("Icon"), 1);
  list.SetValue("icon", "7");
  EXPECT_EQ(list[1], "icon=7");
  list.SetValue("new", "a=b");
  EXPECT_EQ(list.Value("new"), "a=b");
  EXPECT_EQ(list.Name(3), "new");
  list.SetValue("ext", "");
  EXPECT_EQ(list.IndexOfName("ext"), -1);
  EXPECT_EQ(list.Count(), 3);
}

}  // namespace
}  // namespace larkspire
