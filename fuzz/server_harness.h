// The server's handling of one request frame, in process and without sockets, for the fuzz
// target and the seed generator: a context whose default database ("" and "demo") is a fresh
// in-memory SQLite database with the demonstration's products table for every request, a files
// folder with a few files, and the real dispatch table, except that a plug-in call answers a
// failure (the real one starts a runner process; the plug-in containers have a target of their
// own).
//
// Serve decodes the body as a session does, dispatches it and answers the encoded reply; a
// download's raw blocks go to a socket that does not exist, which ends the command.
//
// Thread-safety: one thread at a time.
#ifndef LARKSPIRE_FUZZ_SERVER_HARNESS_H_
#define LARKSPIRE_FUZZ_SERVER_HARNESS_H_

#include <atomic>
#include <memory>
#include <string>

#include "protocol/remote_command.h"
#include "server/commands/dispatch.h"
#include "server/config/server_options.h"
#include "server/plugins/plugin_host.h"
#include "server/sql/database.h"

namespace larkspire::fuzz {

class TServerHarness {
 public:
  // The one harness of the process, made on first use.
  static TServerHarness& Instance();

  ~TServerHarness();
  TServerHarness(const TServerHarness&) = delete;
  TServerHarness& operator=(const TServerHarness&) = delete;

  // Answers one frame body with the encoded reply (empty when the command sends no reply).
  std::string Serve(const std::string& body);
  // The same for a message, with the reply decoded into reply (for the seed generator).
  void Execute(TRemoteCommand& request, TRemoteCommand& reply);

 private:
  TServerHarness();

  std::string folder_;  // the temporary folder that holds the files folder
  server::TServerOptions options_;
  server::TDatabaseCatalog catalog_;
  server::TDispatchTable dispatch_;
  std::atomic<bool> stopping_{false};
  // Never called: the dispatch table answers plug-in calls itself.
  std::unique_ptr<server::TPluginHost> plugins_;
};

}  // namespace larkspire::fuzz

#endif  // LARKSPIRE_FUZZ_SERVER_HARNESS_H_
