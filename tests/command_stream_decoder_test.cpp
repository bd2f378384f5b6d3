// The streamed decoder of a command message against the whole-message decoder
// (TRemoteCommand::LoadFromStream): the same fields, Data handed out in pieces, and the same
// kind of refusal for every damaged, cut or oversized message.
#include "protocol/command_stream_decoder.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>
#include <typeinfo>
#include <vector>

#include "platform/exception.h"

namespace larkspire {
namespace {

std::string Le32(uint32_t v) {
  std::string s;
  for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>(v >> (8 * i)));
  return s;
}

// A message whose field block is given by hand.
std::string MessageOf(const std::string& block) {
  uLongf size = compressBound(block.size());
  std::string out(size, '\0');
  compress2(reinterpret_cast<Bytef*>(out.data()), &size,
            reinterpret_cast<const Bytef*>(block.data()), block.size(), 1);
  out.resize(size);
  return Le32(static_cast<uint32_t>(block.size())) + out;
}

std::string Encoded(TRemoteCommand& command) {
  TMemoryStream stream;
  command.SaveToStream(stream);
  return std::string(reinterpret_cast<const char*>(stream.Memory()),
                     static_cast<size_t>(stream.Size()));
}

struct TDecoded {
  std::string data;
  std::string error_kind;  // the exception's type, or "" when decoded
};

// The kind of an exception as the caller tells them apart.
std::string KindOf(const std::exception& e) {
  if (dynamic_cast<const EMessageTooLarge*>(&e)) return "too large";
  if (dynamic_cast<const EZLibError*>(&e)) return "zlib";
  if (dynamic_cast<const EMalformedData*>(&e)) return "malformed";
  return typeid(e).name();
}

TDecoded Streamed(const std::string& body, TRemoteCommand& target, size_t piece,
                  uint64_t max = kDefaultMaxMessageSize) {
  TDecoded got;
  try {
    TCommandStreamDecoder decoder(
        target, [&got](const char* bytes, size_t count) { got.data.append(bytes, count); }, max);
    for (size_t at = 0; at < body.size(); at += piece)
      decoder.Feed(reinterpret_cast<const uint8_t*>(body.data()) + at,
                   std::min(piece, body.size() - at));
    decoder.Finish();
    EXPECT_EQ(decoder.DataBytes(), got.data.size());
  } catch (const std::exception& e) {
    got.error_kind = KindOf(e);
  }
  return got;
}

TDecoded Whole(const std::string& body, TRemoteCommand& target,
               uint64_t max = kDefaultMaxMessageSize) {
  TDecoded got;
  TMemoryStream stream;
  stream.WriteBuffer(body.data(), static_cast<int64_t>(body.size()));
  try {
    target.LoadFromStream(stream, max);
    got.data = target.GetDataText();
  } catch (const std::exception& e) {
    got.error_kind = KindOf(e);
  }
  return got;
}

TEST(CommandStreamDecoder, DecodesWhatTheWholeDecoderDecodesInAnyPieces) {
  TRemoteCommand sent;
  sent.Code = cmdReply;
  sent.Password = "secret";
  std::mt19937 random(7);
  std::string data(300000, '\0');
  for (char& c : data) c = static_cast<char>('a' + random() % 3);  // compresses, not too well
  sent.SetDataText(data);
  sent.SetParamsText("params");
  sent.ConnectionName = "pg";
  sent.Success = true;
  sent.Value = -12345;
  sent.Message = "note";
  sent.Option = 3;
  const std::string body = Encoded(sent);
  for (size_t piece : {size_t{1}, size_t{5}, size_t{997}, body.size()}) {
    SCOPED_TRACE(piece);
    TRemoteCommand got;
    const TDecoded decoded = Streamed(body, got, piece);
    EXPECT_EQ(decoded.error_kind, "");
    EXPECT_EQ(decoded.data, data);
    EXPECT_EQ(got.Code, cmdReply);
    EXPECT_EQ(got.Password, "secret");
    EXPECT_EQ(got.Params.Bytes(), "params");
    EXPECT_EQ(got.Data.Size(), 0);  // handed out, not kept
    EXPECT_EQ(got.ConnectionName, "pg");
    EXPECT_TRUE(got.Success);
    EXPECT_EQ(got.Value, -12345);
    EXPECT_EQ(got.Message, "note");
    EXPECT_EQ(got.Option, 3);
    EXPECT_EQ(got.Version, kProtocolVersion);
  }
  // An older peer's message ends after Option.
  const std::string old_peer =
      MessageOf(Le32(2) + "\x84\x03" + Le32(0) + Le32(3) + "abc" + Le32(0) + Le32(0) + Le32(1) +
                "\x01" + Le32(4) + Le32(0) + Le32(0) + Le32(1) + std::string(1, '\0'));
  TRemoteCommand got;
  got.Version = "x";
  const TDecoded decoded = Streamed(old_peer, got, 3);
  EXPECT_EQ(decoded.error_kind, "");
  EXPECT_EQ(decoded.data, "abc");
  EXPECT_EQ(got.Version, kProtocolVersion);
}

TEST(CommandStreamDecoder, RefusesEveryBrokenMessageAsTheWholeDecoderDoes) {
  TRemoteCommand sent;
  sent.Code = cmdReply;
  sent.SetDataText(std::string(100000, 'r'));
  sent.Message = "m";
  const std::string good = Encoded(sent);
  std::vector<std::pair<std::string, std::string>> cases = {
      {"too short for the prefix", good.substr(0, 3)},
      {"cut in the compressed data", good.substr(0, good.size() / 2)},
      {"cut in the checksum", good.substr(0, good.size() - 2)},
      {"not zlib", Le32(10) + "not a zlib stream at all"},
      {"a fixed field of the wrong width", MessageOf(Le32(3) + "abc")},
      {"a block that ends before Option", MessageOf(Le32(2) + "\x84\x03" + Le32(0))},
      {"a block that ends inside a length", MessageOf(Le32(2) + "\x84\x03" + "\x01\x00")},
      {"a field longer than the block", MessageOf(Le32(2) + "\x84\x03" + Le32(1000) + "ab")},
  };
  std::string flipped = good;
  flipped[flipped.size() / 2] ^= 0x55;
  cases.emplace_back("a damaged byte", flipped);
  for (const auto& [what, body] : cases) {
    SCOPED_TRACE(what);
    TRemoteCommand a, b;
    const TDecoded whole = Whole(body, a);
    ASSERT_NE(whole.error_kind, "");
    EXPECT_EQ(Streamed(body, b, 7).error_kind, whole.error_kind);
  }
  // A length past the bound is refused before any byte of it is read (the whole decoder, which
  // sees the compressed bytes left, calls it malformed first).
  TRemoteCommand c;
  EXPECT_EQ(Streamed(MessageOf(Le32(2) + "\x84\x03" + Le32(0xFFFFFFF0)), c, 7).error_kind,
            "too large");
  // The bound of the whole message holds while Data streams: it is passed before the end.
  TRemoteCommand a, b;
  EXPECT_EQ(Whole(good, a, 50000).error_kind, "too large");
  const TDecoded streamed = Streamed(good, b, 64, 50000);
  EXPECT_EQ(streamed.error_kind, "too large");
  EXPECT_LE(streamed.data.size(), 50000u);
}

}  // namespace
}  // namespace larkspire
