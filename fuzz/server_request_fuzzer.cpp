// Fuzzes the server's handling of a request frame: the body is decoded as a session decodes it
// and dispatched against an in-memory SQLite database (fuzz/server_harness.h), and the reply
// must decode as a client decodes it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/frame_body.h"
#include "fuzz/server_harness.h"
#include "platform/exception.h"
#include "protocol/memory_stream.h"
#include "protocol/remote_command.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace larkspire;
  const std::string reply =
      fuzz::TServerHarness::Instance().Serve(fuzz::FrameBodyFromInput(data, size));
  if (reply.empty()) return 0;
  TLarkspireMemoryStream stream;
  stream.Write(reply.data(), static_cast<int64_t>(reply.size()));
  stream.SetPosition(0);
  TRemoteCommand decoded;
  try {
    decoded.LoadFromStream(stream);
  } catch (const Exception& e) {
    std::fprintf(stderr, "the server's reply does not decode: %s\n", e.what());
    std::abort();
  }
  return 0;
}
