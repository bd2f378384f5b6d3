// Fuzzes the decoding of a command message (TRemoteCommand::LoadFromStream), which both the
// server and the client run on every frame a peer sends. A message that decodes must encode and
// decode again to the same fields.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/frame_body.h"
#include "platform/exception.h"
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

}  // namespace
}  // namespace larkspire::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace larkspire;
  TRemoteCommand command;
  if (!fuzz::Decode(fuzz::FrameBodyFromInput(data, size), command)) return 0;
  TLarkspireMemoryStream encoded;
  command.SaveToStream(encoded);
  TRemoteCommand again;
  if (!fuzz::Decode(encoded.Bytes(), again) || !fuzz::SameFields(command, again)) {
    std::fprintf(stderr, "a decoded message does not encode and decode to the same fields\n");
    std::abort();
  }
  return 0;
}
