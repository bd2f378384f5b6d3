// larkspire-server: serves Larkspire clients until SIGINT or SIGTERM.
//
// Prints "listening on ADDRESS:PORT" on stdout once it accepts connections; logs one line
// per connection on stderr, or in the --log-file, which SIGHUP reopens. SIGTERM and SIGINT
// stop taking requests, let the ones in flight answer (for --stop-grace-ms at most) and exit,
// within a bounded time whatever the sessions are doing.
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <exception>

#include "server/base/log_file.h"
#include "server/config/server_options.h"
#include "server/net/server.h"

int main(int argc, char** argv) {
  using larkspire::server::ParseServerOptions;
  using larkspire::server::TServer;

  auto parsed = ParseServerOptions(argc, argv);
  if (parsed.Exit) {
    std::fputs(parsed.Output.c_str(), parsed.ExitCode == 0 ? stdout : stderr);
    return parsed.ExitCode;
  }

  // Every thread inherits the blocked signals; only the wait below takes them.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  TServer server(parsed.Options);
  try {
    if (!parsed.Options.LogFile.empty()) larkspire::server::RedirectLogTo(parsed.Options.LogFile);
    server.Start();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "larkspire-server: %s\n", e.what());
    return 1;
  }
  std::printf("listening on %s\n", server.Address().c_str());
  std::fflush(stdout);

  int received = 0;
  while (sigwait(&stop_signals, &received) == 0 && received == SIGHUP) {
    if (parsed.Options.LogFile.empty()) continue;
    try {
      larkspire::server::RedirectLogTo(parsed.Options.LogFile);
      std::fputs("larkspire-server: SIGHUP received, log reopened\n", stderr);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "larkspire-server: %s; logging on\n", e.what());
    }
  }
  std::fprintf(stderr, "larkspire-server: %s received, stopping\n",
               received == SIGINT ? "SIGINT" : "SIGTERM");
  if (!server.Stop()) {
    // A session that does not end when its connection is cut (a long query) must not keep
    // the process: its database sees the connection drop and rolls the transaction back.
    std::fflush(stderr);
    std::_Exit(0);
  }
  return 0;
}
