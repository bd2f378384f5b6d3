#include "platform/stream.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/exception.h"

namespace larkspire {
namespace {

std::string TempPath(const char* name) {
  return (std::filesystem::temp_directory_path() /
          (std::string(name) + "_" + std::to_string(getpid())))
      .string();
}

TEST(TMemoryStream, ReadsWritesAndSeeks) {
  TMemoryStream stream;
  stream.WriteBuffer("hello world", 11);
  EXPECT_EQ(stream.Size(), 11);
  EXPECT_EQ(stream.Position(), 11);
  EXPECT_EQ(stream.Capacity(), 8192);
  stream.SetPosition(6);
  char buffer[16] = {};
  EXPECT_EQ(stream.Read(buffer, 16), 5);
  EXPECT_STREQ(buffer, "world");
  EXPECT_EQ(stream.Read(buffer, 16), 0);
  EXPECT_EQ(stream.Seek(-5, TSeekOrigin::soEnd), 6);
  EXPECT_EQ(stream.Seek(-1, TSeekOrigin::soCurrent), 5);
  stream.WriteBuffer("_", 1);
  EXPECT_EQ(stream.Bytes(), "hello_world");
  // Negative positions read and write nothing.
  stream.SetPosition(-3);
  EXPECT_EQ(stream.Read(buffer, 2), 0);
  EXPECT_EQ(stream.Write("x", 1), 0);
}

TEST(TMemoryStream, SetSizeKeepsContentAndClampsThePosition) {
  TMemoryStream stream;
  stream.WriteBuffer("abcdef", 6);
  stream.SetSize(3);
  EXPECT_EQ(stream.Bytes(), "abc");
  EXPECT_EQ(stream.Position(), 3);
  stream.SetPosition(1);
  stream.SetSize(20000);
  EXPECT_EQ(stream.Position(), 1);
  EXPECT_EQ(stream.Bytes().substr(0, 3), "abc");
  EXPECT_THROW(stream.SetSize(-1), EStreamError);
  stream.Clear();
  EXPECT_EQ(stream.Size(), 0);
  EXPECT_EQ(stream.Memory(), nullptr);
}

TEST(TMemoryStream, ReadBufferRaisesOnShortReads) {
  TMemoryStream stream;
  stream.WriteBuffer("abc", 3);
  stream.SetPosition(1);
  char buffer[8];
  try {
    stream.ReadBuffer(buffer, 3);
    FAIL();
  } catch (const EStreamError& e) {
    EXPECT_STREQ(e.what(), "Stream read error");
  }
  stream.ReadBuffer(buffer, 0);  // nothing asked, nothing raised
}

TEST(TMemoryStream, CopiesAndLoadsFromOtherStreams) {
  TMemoryStream source;
  const std::string bytes(200000, 'q');
  source.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
  TMemoryStream whole;
  EXPECT_EQ(whole.CopyFrom(source, 0), 200000);
  EXPECT_EQ(whole.Bytes(), bytes);
  source.SetPosition(10);
  TMemoryStream part;
  part.CopyFrom(source, 5);
  EXPECT_EQ(part.Bytes(), "qqqqq");
  source.SetPosition(source.Size() - 2);
  EXPECT_THROW(part.CopyFrom(source, 5), EStreamError);

  TMemoryStream loaded;
  loaded.WriteBuffer("old content", 11);
  source.SetPosition(77);
  loaded.LoadFromStream(source);
  EXPECT_EQ(loaded.Bytes(), bytes);
  EXPECT_EQ(loaded.Position(), 0);
}

TEST(TFileStream, WritesReadsAndTruncates) {
  const std::string path = TempPath("stream_test");
  {
    TFileStream file(path, TFileMode::fmCreate);
    file.WriteBuffer("0123456789", 10);
    EXPECT_EQ(file.Size(), 10);
    EXPECT_EQ(file.Position(), 10);
  }
  {
    TFileStream file(path, TFileMode::fmOpenReadWrite);
    file.Seek(-3, TSeekOrigin::soEnd);
    char buffer[8] = {};
    EXPECT_EQ(file.Read(buffer, 8), 3);
    EXPECT_STREQ(buffer, "789");
    file.SetSize(4);
    EXPECT_EQ(file.Size(), 4);
    file.SetPosition(4);
    file.WriteBuffer("x", 1);
  }
  TMemoryStream copy;
  copy.LoadFromFile(path);
  EXPECT_EQ(copy.Bytes(), "0123x");
  {
    TFileStream file(path, TFileMode::fmOpenRead);
    EXPECT_THROW(file.WriteBuffer("no", 2), EStreamError);
    char buffer[8];
    EXPECT_THROW(file.ReadBuffer(buffer, 8), EStreamError);
  }
  copy.SetSize(2);
  copy.SaveToFile(path);
  TMemoryStream again;
  again.LoadFromFile(path);
  EXPECT_EQ(again.Bytes(), "01");
  std::filesystem::remove(path);
}

TEST(TFileStream, MissingFileRaisesWithItsName) {
  const std::string path = TempPath("no_such_dir") + "/file";
  try {
    TFileStream file(path, TFileMode::fmOpenRead);
    FAIL();
  } catch (const EStreamError& e) {
    EXPECT_NE(std::string(e.what()).find(path), std::string::npos);
  }
}

}  // namespace
}  // namespace larkspire
