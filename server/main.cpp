// larkspire-server: serves Larkspire clients until SIGINT or SIGTERM; with --hash-password,
// prints the hash of the password read on stdin for a users file instead.
//
// Prints "listening on ADDRESS:PORT" on stdout once it accepts connections; logs one line
// per connection on stderr, or in the --log-file, which SIGHUP reopens. SIGTERM and SIGINT
// stop taking requests, let the ones in flight answer (for --stop-grace-ms at most) and exit,
// within a bounded time whatever the sessions are doing.
#include <pthread.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>

#include "server/base/log_file.h"
#include "server/base/password_hash.h"
#include "server/config/server_options.h"
#include "server/net/server.h"

namespace {

// --hash-password: reads one line from stdin (without echo on a terminal) and prints its hash.
int PrintPasswordHash() {
  const bool terminal = ::isatty(STDIN_FILENO) != 0;
  termios saved{};
  if (terminal) {
    std::fputs("Password: ", stderr);
    std::fflush(stderr);
    ::tcgetattr(STDIN_FILENO, &saved);
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  std::string password;
  const bool read = static_cast<bool>(std::getline(std::cin, password));
  if (terminal) {
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::fputs("\n", stderr);
  }
  if (!password.empty() && password.back() == '\r') password.pop_back();
  if (!read || password.empty()) {
    std::fputs("larkspire-server: --hash-password reads a password from stdin; none came\n",
               stderr);
    return 2;
  }
  try {
    std::printf("%s\n", larkspire::server::HashPassword(password).c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "larkspire-server: %s\n", e.what());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  using larkspire::server::ParseServerOptions;
  using larkspire::server::TServer;

  auto parsed = ParseServerOptions(argc, argv);
  if (parsed.Exit) {
    std::fputs(parsed.Output.c_str(), parsed.ExitCode == 0 ? stdout : stderr);
    return parsed.ExitCode;
  }
  if (parsed.Options.HashPassword) return PrintPasswordHash();

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
