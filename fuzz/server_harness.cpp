#include "fuzz/server_harness.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/exception.h"
#include "protocol/memory_stream.h"
#include "server/base/server_errors.h"
#include "server/files/file_service.h"
#include "server/net/session.h"
#include "server/rowsets/reply_compression.h"
#include "server/sql/seed.h"

namespace larkspire::fuzz {
namespace {

namespace fs = std::filesystem;

// A files folder with a small file, a file of several blocks and a subfolder.
std::string MakeFilesFolder() {
  std::string pattern = (fs::temp_directory_path() / "larkspire-fuzz-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw Exception("cannot make a temporary folder");
  const fs::path root = fs::path(pattern) / "files";
  fs::create_directories(root / "docs");
  std::ofstream(root / "readme.txt") << "a small file\n";
  std::ofstream(root / "docs" / "blocks.bin") << std::string(70000, 'x');
  return root.string();
}

}  // namespace

TServerHarness& TServerHarness::Instance() {
  static TServerHarness harness;
  return harness;
}

TServerHarness::TServerHarness() {
  options_.FilesDir = MakeFilesFolder();
  folder_ = fs::path(options_.FilesDir).parent_path().string();
  options_.DataDir = folder_;
  server::TDatabaseLocator memory = server::ParseDatabaseLocator("sqlite::memory:");
  memory.Create = true;
  plugins_ = std::make_unique<server::TPluginHost>(server::PluginHostOptionsOf(options_));
  catalog_.Add("", memory);
  catalog_.Add("demo", memory);
  pools_ = server::TConnectionPools(catalog_, 1, server::TPoolMode::pmSession);
  dispatch_ = server::BuildDispatchTable();
  dispatch_.Register(cmdCallPlugin, [](server::TSession&, TRemoteCommand&, TRemoteCommand& reply) {
    server::FailReply(reply, kErrPluginHost, "no plug-ins in the fuzz harness");
  });
}

TServerHarness::~TServerHarness() {
  std::error_code ignored;
  fs::remove_all(folder_, ignored);
}

void TServerHarness::Execute(TRemoteCommand& request, TRemoteCommand& reply) {
  const server::TServerContext context{options_,  catalog_, dispatch_, stopping_,
                                       *plugins_, pools_,   nullptr};
  server::TConnStream no_connection(-1);
  server::TSession session(context, no_connection, "fuzz");
  server::SeedDemoTable(*session.DatabaseFor("").Database);
  server::DispatchCommand(dispatch_, session, request, reply);
  // A query's rowset may have been streamed into the session's payload: frame it as the session
  // does, then read the reply back whole.
  TLarkspireMemoryStream out;
  server::EncodeReply(reply, session.ReplyPayload(), out);
  out.SetPosition(0);
  reply.LoadFromStream(out);
}

std::string TServerHarness::Serve(const std::string& body) {
  TLarkspireMemoryStream stream;
  stream.Write(body.data(), static_cast<int64_t>(body.size()));
  stream.SetPosition(0);
  TRemoteCommand request;
  TRemoteCommand reply;
  try {
    request.LoadFromStream(stream);
  } catch (const EZLibError&) {
    return {};  // the session answers a malformed request; nothing is dispatched
  } catch (const EMalformedData&) {
    return {};
  } catch (const EStreamError&) {
    return {};
  }
  Execute(request, reply);
  TLarkspireMemoryStream out;
  reply.SaveToStream(out);
  return out.Bytes();
}

}  // namespace larkspire::fuzz
