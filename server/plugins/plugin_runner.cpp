// larkspire-plugin-runner: runs one plug-in call (or tells a plug-in's name) in a process of its
// own, for the server's plug-in host (server/plugins/plugin_host.h).
//
//   larkspire-plugin-runner describe LIBRARY
//       writes "N" and the plug-in's name
//   larkspire-plugin-runner call LIBRARY CODEPAGE
//       reads the request container from standard input to its end, runs the plug-in and
//       writes "A" and the answer container, or "E" and the error text
//   larkspire-plugin-runner serve LIBRARY CODEPAGE
//       serves call after call on standard input and output until its input ends: each request
//       is an 8-byte little-endian length and the container; each answer is the mark ("A" or
//       "E"), an 8-byte little-endian length and the bytes. The plug-in's own writes to standard
//       output go to standard error, so they cannot break the framing.
// Each writes "E" and a text when the library cannot be loaded or is no plug-in (serve: as the
// answer to the first request, then ends). The exit code is 0 whenever something was written, 2
// for a wrong command line.
//
// The runner dies with the server (parent-death signal) and writes no core file.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "server/plugins/larkspire_plugin.h"
#include "server/plugins/runner_channel.h"

namespace {

using larkspire::server::GetRunnerLength;
using larkspire::server::kRunnerAnswerMark;
using larkspire::server::kRunnerErrorMark;
using larkspire::server::kRunnerLengthSize;
using larkspire::server::kRunnerNameMark;
using larkspire::server::PutRunnerLength;
using larkspire::server::RetryOnInterrupt;

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
    const ssize_t n =
        RetryOnInterrupt([&] { return ::write(fd, bytes.data() + done, bytes.size() - done); });
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

int Emit(char mark, const std::string& bytes) {
  WriteAll(STDOUT_FILENO, std::string(1, mark) + bytes);
  return 0;
}

bool ReadExactly(int fd, char* bytes, size_t count) {
  size_t done = 0;
  while (done < count) {
    const ssize_t n = RetryOnInterrupt([&] { return ::read(fd, bytes + done, count - done); });
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Reads a request of the announced length; the string grows with what arrives, so a wrong
// length costs no more memory than the bytes really sent.
bool ReadRequest(int fd, uint64_t length, std::string& request) {
  constexpr uint64_t kPiece = 1 << 20;
  while (request.size() < length) {
    const size_t done = request.size();
    request.resize(done + static_cast<size_t>(std::min(length - done, kPiece)));
    if (!ReadExactly(fd, request.data() + done, request.size() - done)) return false;
  }
  return true;
}

bool EmitFramed(int fd, char mark, const std::string& bytes) {
  std::string frame(1 + kRunnerLengthSize, '\0');
  frame[0] = mark;
  PutRunnerLength(&frame[1], bytes.size());
  frame += bytes;
  return WriteAll(fd, frame);
}

std::string ReadAll(int fd) {
  std::string bytes;
  char buffer[65536];
  for (;;) {
    const ssize_t n = RetryOnInterrupt([&] { return ::read(fd, buffer, sizeof buffer); });
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

// Runs one call; mark is set to 'A' or 'E' and the bytes returned.
std::string RunCall(const LarkspirePluginInfo* info, const std::string& request,
                    const char* code_page, char& mark) {
  TReplyState state;
  LarkspirePluginReply reply{&state, SetAnswer, SetError};
  LarkspirePluginCall call{reinterpret_cast<const unsigned char*>(request.data()), request.size(),
                           code_page, &reply};
  const std::string name = info->name;
  int outcome = 0;
  mark = kRunnerErrorMark;
  try {
    outcome = info->call(&call);
  } catch (const std::exception& e) {
    return "Plug-in \"" + name + "\" failed: " + e.what();
  } catch (...) {
    return "Plug-in \"" + name + "\" failed with an exception";
  }
  if (outcome != 0) {
    return state.failed && !state.error.empty()
               ? state.error
               : "Plug-in \"" + name + "\" failed without saying why";
  }
  mark = kRunnerAnswerMark;
  if (!state.answered) return std::string(4, '\0');  // nothing to say: no values
  return state.answer;
}

// The serving loop: the channel moves off standard input and output, which then point at
// /dev/null and standard error.
int Serve(const LarkspirePluginInfo* info, const std::string& load_error, const char* code_page) {
  const int channel = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
  if (channel < 0) return 4;
  const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (null >= 0) {
    ::dup2(null, STDIN_FILENO);
    ::close(null);
  }
  ::dup2(STDERR_FILENO, STDOUT_FILENO);
  for (;;) {
    char header[kRunnerLengthSize];
    if (!ReadExactly(channel, header, sizeof header)) return 0;  // the host is done with us
    std::string request;
    if (!ReadRequest(channel, GetRunnerLength(header), request)) return 0;
    if (info == nullptr) {
      EmitFramed(channel, kRunnerErrorMark, load_error);
      return 0;
    }
    char mark = kRunnerErrorMark;
    const std::string answer = RunCall(info, request, code_page, mark);
    if (!EmitFramed(channel, mark, answer)) return 0;
  }
}

}  // namespace

int main(int argc, char** argv) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() == 1) return 3;  // the server is already gone
  rlimit no_core{0, 0};
  ::setrlimit(RLIMIT_CORE, &no_core);
  ::signal(SIGPIPE, SIG_DFL);

  const std::string mode = argc > 1 ? argv[1] : "";
  if (!((mode == "describe" && argc == 3) || ((mode == "call" || mode == "serve") && argc == 4))) {
    std::fprintf(stderr,
                 "usage: larkspire-plugin-runner describe LIBRARY\n"
                 "       larkspire-plugin-runner call LIBRARY CODEPAGE\n"
                 "       larkspire-plugin-runner serve LIBRARY CODEPAGE\n");
    return 2;
  }
  std::string error;
  const LarkspirePluginInfo* info = Load(argv[2], error);
  if (mode == "serve") return Serve(info, error, argv[3]);
  if (info == nullptr) return Emit(kRunnerErrorMark, error);
  if (mode == "describe") return Emit(kRunnerNameMark, info->name);

  const std::string request = ReadAll(STDIN_FILENO);
  char mark = kRunnerErrorMark;
  const std::string answer = RunCall(info, request, argv[3], mark);
  return Emit(mark, answer);
}
