// Fuzzes the decoding of a command message (TRemoteCommand::LoadFromStream), which both the
// server and the client run on every frame a peer sends. A message that decodes must encode and
// decode again to the same fields. The streamed decoder (the client's forward-only read), fed
// the body in pieces, must decode exactly the messages the whole decoder decodes, to the same
// fields and Data.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/frame_body.h"
#include "platform/exception.h"
#include "protocol/command_stream_decoder.h"
#include "protocol/memory_stream.h"
#include "protocol/remote_command.h"

namespace larkspire::fuzz {
namespace {

bool Decode(const std::string& body, TRemoteCommand& command) {
  TLarkspireMemoryStream stream;
  stream.Write(body.data(), static_cast<int64_t>(body.size()));
  stream.SetPosition(0);
  try {
    command.LoadFromStream(stream);
    return true;
  } catch (const EZLibError&) {
  } catch (const EMalformedData&) {
  } catch (const EStreamError&) {
  }
  return false;
}

bool SameFields(TRemoteCommand& a, TRemoteCommand& b) {
  return a.Code == b.Code && a.Password == b.Password && a.Data.Bytes() == b.Data.Bytes() &&
         a.Params.Bytes() == b.Params.Bytes() && a.ConnectionName == b.ConnectionName &&
         a.Success == b.Success && a.Value == b.Value && a.Message == b.Message &&
         a.Option == b.Option;
}

void CheckStreamed(const std::string& body, bool whole_decoded, TRemoteCommand& whole) {
  TRemoteCommand streamed;
  std::string data;
  bool decoded = true;
  try {
    TCommandStreamDecoder decoder(
        streamed, [&data](const char* bytes, size_t count) { data.append(bytes, count); });
    const size_t piece = body.size() % 61 + 1;
    for (size_t at = 0; at < body.size(); at += piece)
      decoder.Feed(reinterpret_cast<const uint8_t*>(body.data()) + at,
                   std::min(piece, body.size() - at));
    decoder.Finish();
  } catch (const EZLibError&) {
    decoded = false;
  } catch (const EMalformedData&) {
    decoded = false;
  }
  if (decoded != whole_decoded) {
    std::fprintf(stderr, "the streamed decoder %s what the whole decoder %s\n",
                 decoded ? "decoded" : "refused", decoded ? "refused" : "decoded");
    std::abort();
  }
  if (!decoded) return;
  streamed.Data.WriteBuffer(data.data(), static_cast<int64_t>(data.size()));
  if (!SameFields(streamed, whole) || streamed.Version != whole.Version) {
    std::fprintf(stderr, "the streamed decoder decoded other fields\n");
    std::abort();
  }
}

}  // namespace
}  // namespace larkspire::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace larkspire;
  TRemoteCommand command;
  const std::string body = fuzz::FrameBodyFromInput(data, size);
  const bool decoded = fuzz::Decode(body, command);
  fuzz::CheckStreamed(body, decoded, command);
  if (!decoded) return 0;
  TLarkspireMemoryStream encoded;
  command.SaveToStream(encoded);
  TRemoteCommand again;
  if (!fuzz::Decode(encoded.Bytes(), again) || !fuzz::SameFields(command, again)) {
    std::fprintf(stderr, "a decoded message does not encode and decode to the same fields\n");
    std::abort();
  }
  return 0;
}
