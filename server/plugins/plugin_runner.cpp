// larkspire-plugin-runner: runs one plug-in call (or tells a plug-in's name) in a process of its
// own, for the server's plug-in host (server/plugin_host.h).
//
//   larkspire-plugin-runner describe LIBRARY
//       writes "N" and the plug-in's name
//   larkspire-plugin-runner call LIBRARY CODEPAGE
//       reads the request container from standard input to its end, runs the plug-in and
//       writes "A" and the answer container, or "E" and the error text
// Either writes "E" and a text when the library cannot be loaded or is no plug-in. The exit
// code is 0 whenever something was written, 2 for a wrong command line.
//
// The runner dies with the server (parent-death signal) and writes no core file.
#include <dlfcn.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "server/larkspire_plugin.h"

namespace {

struct TReplyState {
  bool answered = false;
  std::string answer;
  bool failed = false;
  std::string error;
};

void SetAnswer(LarkspirePluginReply* reply, const void* bytes, size_t size) {
  auto* state = static_cast<TReplyState*>(reply->host);
  state->answered = true;
  state->answer.assign(static_cast<const char*>(bytes), bytes != nullptr ? size : 0);
}

void SetError(LarkspirePluginReply* reply, const char* message) {
  auto* state = static_cast<TReplyState*>(reply->host);
  state->failed = true;
  state->error = message != nullptr ? message : "";
}

bool WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

int Emit(char mark, const std::string& bytes) {
  WriteAll(STDOUT_FILENO, std::string(1, mark) + bytes);
  return 0;
}

std::string ReadAll(int fd) {
  std::string bytes;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    bytes.append(buffer, static_cast<size_t>(n));
  }
  return bytes;
}

const LarkspirePluginInfo* Load(const char* path, std::string& error) {
  void* library = ::dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* why = ::dlerror();
    error = std::string("cannot load the library: ") + (why ? why : "unknown reason");
    return nullptr;
  }
  auto entry =
      reinterpret_cast<LarkspirePluginInfoFunction>(::dlsym(library, LARKSPIRE_PLUGIN_ENTRY));
  if (entry == nullptr) {
    error = "the library exports no " LARKSPIRE_PLUGIN_ENTRY ": it is no plug-in";
    return nullptr;
  }
  const LarkspirePluginInfo* info = entry();
  if (info == nullptr || info->name == nullptr || info->name[0] == '\0' || info->call == nullptr) {
    error = "the library describes no plug-in (no name or no call function)";
    return nullptr;
  }
  if (info->interface_version != LARKSPIRE_PLUGIN_INTERFACE_VERSION) {
    error = "the plug-in was built for interface version " +
            std::to_string(info->interface_version) + ", this server has " +
            std::to_string(LARKSPIRE_PLUGIN_INTERFACE_VERSION);
    return nullptr;
  }
  return info;
}

}  // namespace

int main(int argc, char** argv) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() == 1) return 3;  // the server is already gone
  rlimit no_core{0, 0};
  ::setrlimit(RLIMIT_CORE, &no_core);
  ::signal(SIGPIPE, SIG_DFL);

  const std::string mode = argc > 1 ? argv[1] : "";
  if (!((mode == "describe" && argc == 3) || (mode == "call" && argc == 4))) {
    std::fprintf(stderr,
                 "usage: larkspire-plugin-runner describe LIBRARY\n"
                 "       larkspire-plugin-runner call LIBRARY CODEPAGE\n");
    return 2;
  }
  std::string error;
  const LarkspirePluginInfo* info = Load(argv[2], error);
  if (info == nullptr) return Emit('E', error);
  if (mode == "describe") return Emit('N', info->name);

  const std::string request = ReadAll(STDIN_FILENO);
  TReplyState state;
  LarkspirePluginReply reply{&state, SetAnswer, SetError};
  LarkspirePluginCall call{reinterpret_cast<const unsigned char*>(request.data()), request.size(),
                           argv[3], &reply};
  const std::string name = info->name;
  int outcome = 0;
  try {
    outcome = info->call(&call);
  } catch (const std::exception& e) {
    return Emit('E', "Plug-in \"" + name + "\" failed: " + e.what());
  } catch (...) {
    return Emit('E', "Plug-in \"" + name + "\" failed with an exception");
  }
  if (outcome != 0) {
    return Emit('E', state.failed && !state.error.empty()
                         ? state.error
                         : "Plug-in \"" + name + "\" failed without saying why");
  }
  if (!state.answered) return Emit('A', std::string(4, '\0'));  // nothing to say: no values
  return Emit('A', state.answer);
}
