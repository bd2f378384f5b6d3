#include "platform/identity.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace larkspire {
namespace {

namespace fs = std::filesystem;

// A fake /sys/class/net tree in a temporary folder.
class FakeNet : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("identity_test_" + std::to_string(getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_);
  }
  void TearDown() override { fs::remove_all(root_); }

  void Adapter(const std::string& name, const std::string& address) {
    fs::create_directories(root_ / name);
    std::ofstream(root_ / name / "address") << address << "\n";
  }
  std::string Root() const { return root_.string(); }

  fs::path root_;
};

TEST_F(FakeNet, TakesTheFirstRealAdapterInNameOrder) {
  Adapter("lo", "00:00:00:00:00:00");
  Adapter("wlan0", "aa:bb:cc:dd:ee:ff");
  Adapter("eth1", "00:1a:2b:3c:4d:5e");
  Adapter("eth0", "00:00:00:00:00:00");  // all zeros: skipped
  EXPECT_EQ(GetAdapterAddress(Root()), "001A2B3C4D5E");
}

TEST_F(FakeNet, SkipsLoopbackEvenWithAnAddress) {
  Adapter("lo", "01:02:03:04:05:06");
  Adapter("zz9", "0a:0b:0c:0d:0e:0f");
  EXPECT_EQ(GetAdapterAddress(Root()), "0A0B0C0D0E0F");
}

TEST_F(FakeNet, SkipsAdaptersWithoutAReadableAddress) {
  fs::create_directories(root_ / "a0");  // no address file
  Adapter("b0", "not an address");
  Adapter("c0", "");
  Adapter("d0", "12:34:56:78:9a:bc");
  EXPECT_EQ(GetAdapterAddress(Root()), "123456789ABC");
}

TEST_F(FakeNet, EmptyWhenThereIsNone) {
  EXPECT_EQ(GetAdapterAddress(Root()), "");
  Adapter("lo", "00:00:00:00:00:00");
  EXPECT_EQ(GetAdapterAddress(Root()), "");
  EXPECT_EQ(GetAdapterAddress(Root() + "/missing"), "");
}

}  // namespace
}  // namespace larkspire
