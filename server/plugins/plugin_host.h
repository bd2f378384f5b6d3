// The server's plug-in host: command 500 looks a plug-in up by name and runs it with the
// request container; the answer container goes back in the reply's Params.
//
// Plug-ins are shared libraries with the C interface of server/plugins/larkspire_plugin.h, found in
// the folders given by --plugins (default: the folder where the build puts PluginSample, that is
// "plugins" beside the server binary). The folders are scanned once, at the first plug-in call:
// each "*.so" file is asked for its name by the helper program larkspire-plugin-runner, so no
// plug-in code is ever loaded into the server itself. Calls then run in runner processes kept
// warm for each plug-in (server/plugins/runner_pool.h): a runner serves call after call, so a call
// costs a round trip through a socket pair rather than a process start. A plug-in that crashes ends
// only its runner; one that has not answered within --plugin-timeout-ms is killed; either way
// the next call gets a fresh runner. --plugin-runners says how many idle runners each plug-in
// keeps (0: a fresh process for every call).
//
// Failed calls, as EServerError (code and text in the failed reply):
//
// | code  | when                                                                          |
// |-------|-------------------------------------------------------------------------------|
// | 20501 | no plug-in has the name ("Unknown plug-in \"Foo\" ...")                        |
// | 20502 | the plug-in reported an error: its own text                                    |
// | 20503 | the plug-in did not answer in time                                             |
// | 20504 | the plug-in crashed, ended without an answer, or answered malformed data       |
// | 20505 | the runner cannot be started                                                   |
//
// A request container that does not follow the layout is refused before any plug-in runs
// (EMalformedData, so 20003).
//
// The server owns one host for its lifetime (TServerContext::Plugins); ending the host ends its
// runners.
//
// Thread-safety: a TPluginHost may be used by every session at once; the scan runs once, under
// a lock, and calls run in parallel, each in a runner of its own.
#ifndef LARKSPIRE_SERVER_PLUGIN_HOST_H_
#define LARKSPIRE_SERVER_PLUGIN_HOST_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "protocol/error_codes.h"
#include "protocol/remote_command.h"
#include "server/config/server_options.h"

namespace larkspire::server {

class TRunnerPool;
class TSession;

struct TPluginHostOptions {
  std::vector<std::string> Folders;
  std::string Runner;  // path of larkspire-plugin-runner
  uint32_t TimeoutMs = 30000;
  uint32_t MaxAnswer = 256u * 1024 * 1024;
  std::string CodePage = "UTF-8";
  size_t IdleRunners = 16;  // idle runners kept per plug-in
};

struct TPluginInfo {
  std::string Name;  // UTF-8, as the plug-in gives it
  std::string Path;
};

class TPluginHost {
 public:
  explicit TPluginHost(TPluginHostOptions options);
  TPluginHost(const TPluginHost&) = delete;
  TPluginHost& operator=(const TPluginHost&) = delete;
  ~TPluginHost();

  // The plug-ins found, in folder and then file-name order (scanned on first use). A name that
  // comes twice is served by the first library; files that are no plug-in are logged and left.
  const std::vector<TPluginInfo>& Plugins();
  // The plug-in of that name, compared ignoring ASCII letter case, or nullptr.
  const TPluginInfo* Find(const std::string& name);
  // Runs the plug-in with a request container (checked against the layout by the caller) and
  // returns its answer container, checked. Raises EServerError as in the table above.
  std::string Call(const std::string& name, const std::string& request);

  const TPluginHostOptions& Options() const { return options_; }
  // Runner processes started for calls so far (the scan's are not counted).
  uint64_t RunnersStarted() const;
  // Runner processes kept idle for the next calls, and those running a call now.
  size_t IdleRunners() const;
  size_t BusyRunners() const;

 private:
  void Scan();

  TPluginHostOptions options_;
  std::unique_ptr<TRunnerPool> runners_;
  std::once_flag scanned_;
  std::vector<TPluginInfo> plugins_;
  std::string scan_error_;  // why the runner could not be started, if it could not
};

// What a helper process did.
struct THelperOutcome {
  bool Started = false;   // false: Error says why it could not be started
  bool TimedOut = false;  // killed at the time limit
  bool TooLarge = false;  // killed for writing more than the limit
  int Status = 0;         // waitpid status
  std::string Output;     // its standard output
  std::string Error;
};

// Runs argv[0] with argv, input on its standard input (then end of file) and standard error
// shared with the server; collects standard output up to max_output bytes. Kills the process
// (SIGKILL) at timeout_ms or past max_output, and always reaps it.
THelperOutcome RunHelper(const std::vector<std::string>& argv, const std::string& input,
                         uint32_t timeout_ms, size_t max_output);

// The defaults when the options give none: "plugins" and "larkspire-plugin-runner" beside the
// running program when they exist there, else where the build put them.
std::string DefaultPluginFolder();
std::string DefaultPluginRunner();

// The host's options from the server's.
TPluginHostOptions PluginHostOptionsOf(const TServerOptions& options);

// Command 500: Data is the plug-in's name in the code page, Params the request container.
void HandleCallPlugin(TSession& session, TRemoteCommand& request, TRemoteCommand& reply);

}  // namespace larkspire::server

#endif  // LARKSPIRE_SERVER_PLUGIN_HOST_H_
