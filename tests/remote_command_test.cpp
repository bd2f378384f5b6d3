#include "protocol/remote_command.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

#include "platform/exception.h"
#include "platform/parameters.h"
#include "protocol/param_encoding.h"

namespace larkspire {
namespace {

std::string Le32(uint32_t v) {
  std::string s;
  for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>(v >> (8 * i)));
  return s;
}

// A field block built by hand: each field its length word and its bytes.
std::string Block(const std::vector<std::string>& fields) {
  std::string block;
  for (const std::string& f : fields) block += Le32(static_cast<uint32_t>(f.size())) + f;
  return block;
}

std::string Deflate(const std::string& block, int level = 1) {
  uLongf size = compressBound(block.size());
  std::string out(size, '\0');
  EXPECT_EQ(compress2(reinterpret_cast<Bytef*>(out.data()), &size,
                      reinterpret_cast<const Bytef*>(block.data()), block.size(), level),
            Z_OK);
  out.resize(size);
  return out;
}

std::string Inflate(const std::string& compressed, size_t expected) {
  std::string out(expected + 16, '\0');
  uLongf size = out.size();
  EXPECT_EQ(uncompress(reinterpret_cast<Bytef*>(out.data()), &size,
                       reinterpret_cast<const Bytef*>(compressed.data()), compressed.size()),
            Z_OK);
  out.resize(size);
  return out;
}

// A whole message: the U prefix and the compressed block.
void Message(const std::string& block, TMemoryStream& stream) {
  const std::string bytes = Le32(static_cast<uint32_t>(block.size())) + Deflate(block);
  stream.Clear();
  stream.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
}

const std::vector<std::string> kResetFields = {
    std::string("\0\0", 2), "",       "", "", "", std::string(1, '\0'), std::string(4, '\0'), "",
    std::string(1, '\0'),   "4.1.0.0"};

std::string Payload(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  const std::string row = "<z:row ProID=\"17\" ProName=\"Widget\" Price=\"12.5\"/>\n";
  std::string bytes;
  bytes.reserve(size);
  while (bytes.size() < size) {
    bytes += row;
    for (int i = 0; i < 16; ++i) bytes.push_back(static_cast<char>(random()));
  }
  bytes.resize(size);
  return bytes;
}

void Fill(TMemoryStream& stream, const std::string& bytes) {
  stream.Clear();
  stream.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
}

TEST(TRemoteCommand, ResetMessageEncodesToTheKnownFieldBlock) {
  TRemoteCommand command;
  TMemoryStream out;
  command.SaveToStream(out);
  const std::string bytes = out.Bytes();
  ASSERT_GT(bytes.size(), 6u);
  EXPECT_EQ(bytes.substr(0, 4), std::string("\x37\0\0\0", 4));
  EXPECT_EQ(static_cast<uint8_t>(bytes[4]), 0x78);
  EXPECT_EQ(static_cast<uint8_t>(bytes[5]), 0x01);
  const std::string block = Inflate(bytes.substr(4), 55);
  ASSERT_EQ(block.size(), 55u);
  EXPECT_EQ(block, Block(kResetFields));
  EXPECT_EQ(out.Position(), 0);
}

TEST(TRemoteCommand, ReplacesTheOutputStreamContent) {
  TRemoteCommand command;
  TMemoryStream out;
  const std::string junk(2'000'000, 'j');
  out.WriteBuffer(junk.data(), static_cast<int64_t>(junk.size()));
  command.SaveToStream(out);
  EXPECT_LT(out.Size(), 100);
  TRemoteCommand decoded;
  decoded.LoadFromStream(out);
  EXPECT_EQ(decoded.Version, "4.1.0.0");
}

TEST(TRemoteCommand, RoundTripsEveryFieldWithLargePayloads) {
  TRemoteCommand command;
  command.Code = cmdOpenQuery;
  command.Password = "secret";
  Fill(command.Data, Payload(5 << 20, 1));
  Fill(command.Params, Payload(3 << 20, 2));
  command.ConnectionName = "Main";
  command.Success = true;
  command.Value = -123456;
  command.Message = "Table 'x' not found";
  command.Option = 0xAB;
  command.Version = "9.9";  // replaced on the way out
  TMemoryStream out;
  command.SaveToStream(out);
  const uint32_t u = static_cast<uint8_t>(out.Memory()[0]) | out.Memory()[1] << 8 |
                     out.Memory()[2] << 16 | static_cast<uint32_t>(out.Memory()[3]) << 24;
  EXPECT_EQ(u, 55u + 6 + (5 << 20) + (3 << 20) + 4 + 19);
  EXPECT_EQ(command.Version, "4.1.0.0");

  TRemoteCommand decoded;
  decoded.Version = "old";
  decoded.LoadFromStream(out);
  EXPECT_EQ(decoded.Code, cmdOpenQuery);
  EXPECT_EQ(decoded.Password, "secret");
  EXPECT_EQ(decoded.Data.Bytes(), command.Data.Bytes());
  EXPECT_EQ(decoded.Params.Bytes(), command.Params.Bytes());
  EXPECT_EQ(decoded.Data.Position(), 0);
  EXPECT_EQ(decoded.ConnectionName, "Main");
  EXPECT_TRUE(decoded.Success);
  EXPECT_EQ(decoded.Value, -123456);
  EXPECT_EQ(decoded.Message, "Table 'x' not found");
  EXPECT_EQ(decoded.Option, 0xAB);
  EXPECT_EQ(decoded.Version, "4.1.0.0");
}

TEST(TRemoteCommand, RoundTripsThroughAFileStream) {
  const std::string path =
      (std::filesystem::temp_directory_path() / ("remote_command_" + std::to_string(getpid())))
          .string();
  TRemoteCommand command;
  command.Code = cmdCallPlugin;
  Fill(command.Data, Payload(700'000, 3));
  command.Message = "ok";
  {
    TFileStream file(path, TFileMode::fmCreate);
    command.SaveToStream(file);
    EXPECT_EQ(file.Position(), 0);
  }
  TRemoteCommand decoded;
  {
    TFileStream file(path, TFileMode::fmOpenRead);
    decoded.LoadFromStream(file);
  }
  std::filesystem::remove(path);
  EXPECT_EQ(decoded.Code, cmdCallPlugin);
  EXPECT_EQ(decoded.Data.Bytes(), command.Data.Bytes());
  EXPECT_EQ(decoded.Message, "ok");
}

TEST(TRemoteCommand, AcceptsABlockThatEndsAfterOption) {
  std::vector<std::string> fields = kResetFields;
  fields[0] = std::string("\x84\x03", 2);  // 900
  fields[5] = "\x07";                      // any byte but 0 is true
  fields.pop_back();
  TMemoryStream message;
  Message(Block(fields), message);
  TRemoteCommand decoded;
  decoded.LoadFromStream(message);
  EXPECT_EQ(decoded.Code, 900);
  EXPECT_TRUE(decoded.Success);
  EXPECT_EQ(decoded.Version, "4.1.0.0");

  decoded.Version = "kept";
  decoded.LoadFromStream(message);
  EXPECT_EQ(decoded.Version, "kept");
}

TEST(TRemoteCommand, StoresAnotherVersionTextAndIgnoresUAndTrailingFields) {
  std::vector<std::string> fields = kResetFields;
  fields[9] = "5.0";
  fields.push_back("a field a newer peer appends");
  const std::string block = Block(fields);
  std::string bytes = Le32(12345) + Deflate(block, 9);  // U wrong, another level
  TMemoryStream message;
  message.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
  TRemoteCommand decoded;
  decoded.LoadFromStream(message);
  EXPECT_EQ(decoded.Version, "5.0");
}

TEST(TRemoteCommand, KeepsTheDataPositionWithinTheNewSize) {
  TRemoteCommand command;
  command.SetDataText("abcdef");
  TMemoryStream out;
  command.SaveToStream(out);
  TRemoteCommand reply;
  reply.SetDataText("0123456789");
  reply.Data.SetPosition(3);
  reply.LoadFromStream(out);
  EXPECT_EQ(reply.GetDataText(), "abcdef");
}

TEST(TRemoteCommand, DataTextBridges) {
  TRemoteCommand command;
  command.SetDataText("first");
  command.SetDataText("hello");
  EXPECT_EQ(command.GetDataText(), "hello");
  EXPECT_EQ(command.GetDataText(), "hello");
  command.SetParamsText("/docs");
  EXPECT_EQ(command.Params.Bytes(), "/docs");

  const uint8_t record[16] = {1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 4, 0, 0, 0};
  command.Data.Seek(0, TSeekOrigin::soEnd);
  command.WritePaging(record);
  EXPECT_EQ(command.Data.Size(), 21);
  EXPECT_EQ(command.Data.Bytes().substr(5), std::string(reinterpret_cast<const char*>(record), 16));
}

TEST(TRemoteCommand, ReadParametersClearsAndDecodesParams) {
  TParameters written;
  written.CreateParameter("Result", ftInteger, pdOutput, 4, TVariant(int32_t{42}));
  TRemoteCommand reply;
  WriteParameterList(written, reply.Params);
  reply.Params.WriteBuffer("PAGINGRECORD0123", 16);

  TParameters read;
  read.CreateParameter("Stale", ftString, pdInput, 0, TVariant("x"));
  reply.ReadParameters(read);
  ASSERT_EQ(read.Count(), 1);
  EXPECT_EQ(read[0].Name, "Result");
  EXPECT_EQ(read[0].Value, TVariant(int32_t{42}));
  EXPECT_EQ(reply.Params.Position(), reply.Params.Size() - 16);
}

TEST(TRemoteCommand, ResetClearsEveryField) {
  TRemoteCommand command;
  command.Code = 5;
  command.SetDataText("x");
  command.SetParamsText("y");
  command.Password = command.ConnectionName = command.Message = "z";
  command.Success = true;
  command.Value = 3;
  command.Option = 1;
  command.Version = "v";
  command.Reset();
  TMemoryStream out;
  command.SaveToStream(out);
  EXPECT_EQ(Inflate(out.Bytes().substr(4), 55), Block(kResetFields));
  EXPECT_EQ(command.Data.Capacity(), 0);
}

// Decodes the bytes and expects the exception type with the message.
template <typename E>
void ExpectDecodeFailure(const std::string& bytes, const std::string& message) {
  TMemoryStream stream;
  stream.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
  TRemoteCommand decoded;
  try {
    decoded.LoadFromStream(stream);
    ADD_FAILURE() << "decoded without error, expected: " << message;
  } catch (const E& e) {
    EXPECT_EQ(std::string(e.what()), message);
  }
}

std::string Framed(const std::string& block) {
  return Le32(static_cast<uint32_t>(block.size())) + Deflate(block);
}

TEST(TRemoteCommandMalformed, ReportsAFixedWidthFieldOfTheWrongLength) {
  std::vector<std::string> fields = kResetFields;
  fields[6] = "1234567";
  ExpectDecodeFailure<EMalformedData>(Framed(Block(fields)),
                                      "command message: field Value has length 7, expected 4");
  fields = kResetFields;
  fields[0] = "";
  ExpectDecodeFailure<EMalformedData>(Framed(Block(fields)),
                                      "command message: field Code has length 0, expected 2");
  fields = kResetFields;
  fields[8] = "ab";
  ExpectDecodeFailure<EMalformedData>(Framed(Block(fields)),
                                      "command message: field Option has length 2, expected 1");
}

TEST(TRemoteCommandMalformed, ReportsABlockThatEndsBeforeOption) {
  std::vector<std::string> fields(kResetFields.begin(), kResetFields.begin() + 7);
  ExpectDecodeFailure<EMalformedData>(Framed(Block(fields)),
                                      "command message: the field block ends before field Message");
  ExpectDecodeFailure<EMalformedData>(Framed(Block(fields) + "\x01\x00"),
                                      "command message: the field block ends inside the length of "
                                      "field Message");
  ExpectDecodeFailure<EMalformedData>(Framed(""),
                                      "command message: the field block ends before field Code");
  ExpectDecodeFailure<EMalformedData>(Framed(Le32(2) + "\x01"),
                                      "command message: the field block ends inside field Code");
}

TEST(TRemoteCommandMalformed, ReportsALengthPastTheEndOfTheBlock) {
  std::string block = Block({std::string("\0\0", 2), "pw"}) + Le32(1000) + "only some bytes";
  ExpectDecodeFailure<EMalformedData>(Framed(block),
                                      "command message: field Data has length 1000, but the field "
                                      "block ends after 15 of its bytes");
  block = Block({std::string("\0\0", 2)}) + Le32(50) + "pw";
  ExpectDecodeFailure<EMalformedData>(Framed(block),
                                      "command message: field Password has length 50, but the "
                                      "field block ends after 2 of its bytes");
}

TEST(TRemoteCommandMalformed, RejectsAHugeLengthWithoutAllocatingIt) {
  // 4 GiB claimed by a message of a few bytes: rejected before any allocation.
  std::string block = Block({std::string("\0\0", 2), ""}) + Le32(0xFFFFFFF0u) + "x";
  ExpectDecodeFailure<EMalformedData>(Framed(block),
                                      "command message: field Data has length 4294967280, more "
                                      "than the compressed data left can hold");
}

TEST(TRemoteCommandMalformed, DecompressionBombCostsOnlyWhatItHolds) {
  // 64 MiB of zeros compress to a few hundred KiB; the Data length claims far more. The
  // decoder must fail after the bytes actually present, holding no more than about twice them.
  const std::string zeros(64 << 20, '\0');
  const std::string compressed_zeros = Deflate(zeros);
  // A claim the compressed size could in principle hold, far beyond what it does hold.
  const uint64_t claimed = compressed_zeros.size() * 1000;
  ASSERT_GT(claimed, 3 * zeros.size());
  ASSERT_LT(claimed, 0xFFFFFFFFu);
  const std::string block =
      Block({std::string("\0\0", 2), ""}) + Le32(static_cast<uint32_t>(claimed)) + zeros;
  TMemoryStream stream;
  const std::string bytes = Le32(0xFFFFFFFFu) + Deflate(block);
  stream.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
  TRemoteCommand decoded;
  EXPECT_THROW(decoded.LoadFromStream(stream), EMalformedData);
  EXPECT_LE(decoded.Data.Capacity(), 2 * (65 << 20));
}

// A message whose block is head, zero_count zero bytes, then tail, compressed as it goes so
// that the zeros are never held in memory.
std::string BombMessage(const std::string& head, uint64_t zero_count, const std::string& tail) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, 9, Z_DEFLATED, 15, 8, Z_RLE), Z_OK);
  std::string out = Le32(0);  // U: a hint only
  std::vector<uint8_t> buffer(1 << 20);
  const std::vector<uint8_t> zeros(1 << 20, 0);
  auto feed = [&](const uint8_t* data, size_t size, int flush) {
    z.next_in = const_cast<Bytef*>(data);
    z.avail_in = static_cast<uInt>(size);
    do {
      z.next_out = buffer.data();
      z.avail_out = static_cast<uInt>(buffer.size());
      deflate(&z, flush);
      out.append(reinterpret_cast<const char*>(buffer.data()), buffer.size() - z.avail_out);
    } while (z.avail_out == 0 || z.avail_in > 0);
  };
  feed(reinterpret_cast<const uint8_t*>(head.data()), head.size(), Z_NO_FLUSH);
  for (uint64_t left = zero_count; left > 0;) {
    const size_t piece = static_cast<size_t>(std::min<uint64_t>(left, zeros.size()));
    feed(zeros.data(), piece, Z_NO_FLUSH);
    left -= piece;
  }
  feed(reinterpret_cast<const uint8_t*>(tail.data()), tail.size(), Z_FINISH);
  deflateEnd(&z);
  return out;
}

int64_t PeakResidentKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

TEST(TRemoteCommandMalformed, RefusesABombOfAGibibyteWithoutItsMemory) {
  // One honest Data field of 1 GiB of zeros: about 1 MB on the wire.
  const uint64_t gib = uint64_t{1} << 30;
  const std::string head = Block({std::string("\0\0", 2), ""}) + Le32(static_cast<uint32_t>(gib));
  const std::string tail = Block(
      {"", "", std::string(1, '\0'), std::string(4, '\0'), "", std::string(1, '\0'), "4.1.0.0"});
  const std::string bytes = BombMessage(head, gib, tail);
  ASSERT_LT(bytes.size(), 2u << 20);
  TMemoryStream stream;
  stream.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
  const int64_t peak_before = PeakResidentKiB();
  TRemoteCommand decoded;
  try {
    decoded.LoadFromStream(stream);
    ADD_FAILURE() << "a 1 GiB message decoded under the default bound";
  } catch (const EMessageTooLarge& e) {
    EXPECT_EQ(e.Limit(), kDefaultMaxMessageSize);
    EXPECT_STREQ(e.what(),
                 "command message: it inflates to more than 268435456 bytes, the most accepted");
  }
  EXPECT_LT(PeakResidentKiB() - peak_before, 64 * 1024);
  EXPECT_LT(decoded.Data.Capacity(), 64 << 20);
}

TEST(TRemoteCommandMalformed, BoundsTheWholeMessageNotEachField) {
  const uint64_t bound = 1 << 20;
  const std::string half(600 * 1024, 'x');
  const std::string tail_fields =
      Block({"", std::string(1, '\1'), std::string(4, '\0'), "", std::string(1, '\0'), "4.1.0.0"});
  // Two fields that fit the bound each but not together.
  const std::string two_fields =
      Framed(Block({std::string("\0\0", 2), "", half, half}) + tail_fields);
  // Fields well inside the bound, followed by bytes that inflate past it.
  const std::string trailing =
      BombMessage(Block({std::string("\0\0", 2), "", "abc", ""}) + tail_fields, 4 * bound, "");
  for (const std::string* bytes : {&two_fields, &trailing}) {
    TMemoryStream stream;
    stream.WriteBuffer(bytes->data(), static_cast<int64_t>(bytes->size()));
    TRemoteCommand decoded;
    EXPECT_THROW(decoded.LoadFromStream(stream, bound), EMessageTooLarge);
    // The same message under the default bound decodes.
    EXPECT_NO_THROW(decoded.LoadFromStream(stream));
    EXPECT_TRUE(decoded.Success);
  }
}

TEST(TRemoteCommandMalformed, ReportsZLibErrorsWithTheLibraryText) {
  // Not a zlib header at all.
  ExpectDecodeFailure<EZLibError>(Le32(55) + "garbage that is not compressed",
                                  "incorrect header check");
  // A valid header and then damaged deflate data.
  std::string compressed = Framed(Block(kResetFields));
  std::string damaged = compressed.substr(0, 6) + std::string(8, '\xFF') + compressed.substr(14);
  TMemoryStream stream;
  stream.WriteBuffer(damaged.data(), static_cast<int64_t>(damaged.size()));
  TRemoteCommand decoded;
  EXPECT_THROW(decoded.LoadFromStream(stream), EZLibError);
  // A damaged checksum is noticed when the stream ends before the optional version is read.
  std::vector<std::string> fields(kResetFields.begin(), kResetFields.end() - 1);
  std::string short_block = Framed(Block(fields));
  short_block.back() ^= 0x55;
  ExpectDecodeFailure<EZLibError>(short_block, "incorrect data check");
}

TEST(TRemoteCommandMalformed, ReportsTruncatedCompressedData) {
  TRemoteCommand command;
  Fill(command.Data, Payload(100'000, 4));
  TMemoryStream out;
  command.SaveToStream(out);
  const std::string bytes = out.Bytes();
  for (size_t cut :
       {size_t{0}, size_t{3}, size_t{5}, size_t{40}, bytes.size() / 2, bytes.size() - 1}) {
    TMemoryStream truncated;
    truncated.WriteBuffer(bytes.data(), static_cast<int64_t>(cut));
    TRemoteCommand decoded;
    if (cut < 4)
      EXPECT_THROW(decoded.LoadFromStream(truncated), EMalformedData) << cut;
    else
      EXPECT_THROW(decoded.LoadFromStream(truncated), EZLibError) << cut;
  }
}

TEST(TRemoteCommandMalformed, SurvivesRandomDamage) {
  TRemoteCommand command;
  command.Code = cmdExecSQL;
  command.Message = "message";
  Fill(command.Data, Payload(5000, 5));
  TMemoryStream out;
  command.SaveToStream(out);
  const std::string bytes = out.Bytes();
  std::mt19937 random(7);
  for (int round = 0; round < 2000; ++round) {
    std::string damaged = bytes;
    const int flips = 1 + static_cast<int>(random() % 4);
    for (int i = 0; i < flips; ++i)
      damaged[4 + random() % (damaged.size() - 4)] = static_cast<char>(random());
    TMemoryStream stream;
    stream.WriteBuffer(damaged.data(), static_cast<int64_t>(damaged.size()));
    TRemoteCommand decoded;
    try {
      decoded.LoadFromStream(stream);
    } catch (const EZLibError&) {
    } catch (const EMalformedData&) {
    }
  }
  // Uncompressed block bytes that are damaged, compressed properly.
  std::string block = Block(kResetFields);
  for (int round = 0; round < 2000; ++round) {
    std::string damaged = block;
    damaged[random() % damaged.size()] = static_cast<char>(random());
    TMemoryStream stream;
    Message(damaged, stream);
    TRemoteCommand decoded;
    try {
      decoded.LoadFromStream(stream);
    } catch (const EMalformedData&) {
    }
  }
}

class TPlainStream : public TStream {
 public:
  int64_t Read(void* buffer, int64_t count) override { return inner_.Read(buffer, count); }
  int64_t Write(const void* buffer, int64_t count) override {
    if (fail_after_ >= 0 && inner_.Size() + count > fail_after_) return 0;
    return inner_.Write(buffer, count);
  }
  int64_t Seek(int64_t offset, TSeekOrigin origin) override { return inner_.Seek(offset, origin); }
  void SetSize(int64_t size) override { inner_.SetSize(size); }
  TMemoryStream inner_;
  int64_t fail_after_ = -1;
};

TEST(TRemoteCommand, RewindsTheOutputWhenCompressionFails) {
  TRemoteCommand command;
  Fill(command.Data, Payload(1 << 20, 6));
  TPlainStream out;
  out.fail_after_ = 1000;
  EXPECT_THROW(command.SaveToStream(out), EStreamError);
  EXPECT_EQ(out.Position(), 0);

  TPlainStream good;
  command.SaveToStream(good);
  TRemoteCommand decoded;
  decoded.LoadFromStream(good);
  EXPECT_EQ(decoded.Data.Bytes(), command.Data.Bytes());
}

TEST(TRemoteCommand, EncodesIntoItsOwnPayload) {
  TRemoteCommand command;
  command.SetDataText("inner");
  command.SaveToStream(command.Data);
  TRemoteCommand decoded;
  decoded.LoadFromStream(command.Data);
  EXPECT_EQ(decoded.GetDataText(), "inner");
  EXPECT_THROW(decoded.LoadFromStream(decoded.Params), EMalformedData);  // empty: no message
}

}  // namespace
}  // namespace larkspire
