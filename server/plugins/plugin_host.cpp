#include "server/plugins/plugin_host.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <memory>

#include "platform/codepage.h"
#include "platform/exception.h"
#include "protocol/memory_stream.h"
#include "protocol/plugin_data.h"
#include "server/base/server_errors.h"
#include "server/net/session.h"
#include "server/plugins/runner_channel.h"
#include "server/plugins/runner_pool.h"

#ifndef LARKSPIRE_BUILD_PLUGIN_DIR
#define LARKSPIRE_BUILD_PLUGIN_DIR ""
#endif
#ifndef LARKSPIRE_BUILD_PLUGIN_RUNNER
#define LARKSPIRE_BUILD_PLUGIN_RUNNER ""
#endif

namespace larkspire::server {

namespace {

namespace fs = std::filesystem;

constexpr size_t kMaxNameOutput = 4096;
constexpr uint32_t kMaxScanMs = 10000;
const std::string kEmptyContainer(4, '\0');

std::string Lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

std::string Quoted(const std::string& text) {
  return "\"" + text + "\"";
}

std::string Duration(uint32_t ms) {
  if (ms % 1000 == 0) return std::to_string(ms / 1000) + (ms == 1000 ? " second" : " seconds");
  return std::to_string(ms) + " ms";
}

std::string ProgramFolder() {
  std::error_code error;
  fs::path self = fs::read_symlink("/proc/self/exe", error);
  return error ? std::string() : self.parent_path().string();
}

// Checks a container against the layout; raises EMalformedData.
void CheckContainer(const std::string& bytes) {
  TLarkspireMemoryStream stream;
  stream.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
  TLarkspirePluginData data;
  data.ReadFromStream(stream);
}

// Says how a helper that gave no usable answer ended.
std::string Ending(int status) {
  if (WIFSIGNALED(status)) {
    const int signal = WTERMSIG(status);
    const char* description = sigdescr_np(signal);
    return "crashed (signal " + std::to_string(signal) +
           (description ? std::string(", ") + description : std::string()) + ")";
  }
  if (WIFEXITED(status))
    return "ended without an answer (exit code " + std::to_string(WEXITSTATUS(status)) + ")";
  return "ended without an answer";
}

class TFd {
 public:
  explicit TFd(int fd = -1) : fd_(fd) {}
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  ~TFd() { Close(); }
  int Get() const { return fd_; }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

}  // namespace

THelperOutcome RunHelper(const std::vector<std::string>& argv, const std::string& input,
                         uint32_t timeout_ms, size_t max_output) {
  THelperOutcome outcome;
  int channel = -1;
  const pid_t pid = SpawnWithChannel(argv, channel, outcome.Error);
  if (pid < 0) return outcome;
  TFd ours(channel);
  outcome.Started = true;
  ::fcntl(ours.Get(), F_SETFL, ::fcntl(ours.Get(), F_GETFL) | O_NONBLOCK);

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  size_t written = 0;
  bool writing = true;
  if (input.empty()) {
    ::shutdown(ours.Get(), SHUT_WR);
    writing = false;
  }
  char buffer[65536];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) {
      outcome.TimedOut = true;
      break;
    }
    pollfd watch{ours.Get(), static_cast<short>(POLLIN | (writing ? POLLOUT : 0)), 0};
    const int ready = ::poll(&watch, 1, static_cast<int>(std::min<int64_t>(left, 1000)));
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    if (writing && (watch.revents & (POLLOUT | POLLERR | POLLHUP))) {
      const ssize_t sent =
          ::send(ours.Get(), input.data() + written, input.size() - written, MSG_NOSIGNAL);
      if (sent > 0) written += static_cast<size_t>(sent);
      if ((sent < 0 && errno != EAGAIN && errno != EINTR) || written == input.size()) {
        ::shutdown(ours.Get(), SHUT_WR);  // end of the input (or the helper stopped reading)
        writing = false;
      }
    }
    if (watch.revents & (POLLIN | POLLERR | POLLHUP)) {
      const ssize_t got = ::recv(ours.Get(), buffer, sizeof buffer, 0);
      if (got == 0) break;  // the helper closed its output
      if (got < 0) {
        if (errno == EAGAIN || errno == EINTR) continue;
        break;
      }
      outcome.Output.append(buffer, static_cast<size_t>(got));
      if (outcome.Output.size() > max_output) {
        outcome.TooLarge = true;
        break;
      }
    }
  }
  ours.Close();
  if (outcome.TimedOut || outcome.TooLarge) ::kill(pid, SIGKILL);
  // The helper may still be ending after closing its output; it exits by itself at once then,
  // and a helper that lingers is stopped at the deadline.
  for (;;) {
    const pid_t done = ::waitpid(pid, &outcome.Status, WNOHANG);
    if (done == pid || (done < 0 && errno != EINTR)) break;
    if (done == 0 && std::chrono::steady_clock::now() >= deadline) {
      outcome.TimedOut = true;
      ::kill(pid, SIGKILL);
      WaitForProcess(pid, outcome.Status);
      break;
    }
    if (done == 0) ::usleep(1000);
  }
  return outcome;
}

// Where the runner and the "plugins" folder sit: beside the server (the build tree), or in the
// installed tree's library folder relative to it (bin/../lib/larkspire); empty when neither.
std::string InstalledHelperFolder() {
  const std::string beside = ProgramFolder();
  if (beside.empty()) return {};
  std::error_code error;
  for (const fs::path& folder :
       {fs::path(beside), fs::path(beside) / ".." / LARKSPIRE_INSTALL_PKGLIBDIR}) {
    if (fs::exists(folder / "larkspire-plugin-runner", error)) return folder.lexically_normal();
  }
  return {};
}

std::string DefaultPluginFolder() {
  const std::string helpers = InstalledHelperFolder();
  std::error_code error;
  if (!helpers.empty() && fs::is_directory(fs::path(helpers) / "plugins", error))
    return (fs::path(helpers) / "plugins").string();
  return LARKSPIRE_BUILD_PLUGIN_DIR;
}

std::string DefaultPluginRunner() {
  const std::string helpers = InstalledHelperFolder();
  if (!helpers.empty()) return (fs::path(helpers) / "larkspire-plugin-runner").string();
  return LARKSPIRE_BUILD_PLUGIN_RUNNER;
}

// --- TPluginHost ----------------------------------------------------------------------------

TPluginHost::TPluginHost(TPluginHostOptions options)
    : options_(std::move(options)),
      runners_(std::make_unique<TRunnerPool>(options_.Runner, options_.CodePage,
                                             options_.IdleRunners)) {}

TPluginHost::~TPluginHost() = default;

uint64_t TPluginHost::RunnersStarted() const {
  return runners_->RunnersStarted();
}

size_t TPluginHost::IdleRunners() const {
  return runners_->IdleRunners();
}

size_t TPluginHost::BusyRunners() const {
  return runners_->BusyRunners();
}

const std::vector<TPluginInfo>& TPluginHost::Plugins() {
  std::call_once(scanned_, [this] { Scan(); });
  return plugins_;
}

void TPluginHost::Scan() {
  for (const std::string& folder : options_.Folders) {
    std::error_code error;
    std::vector<fs::path> libraries;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
      if (entry.path().extension() == ".so" && entry.is_regular_file(error))
        libraries.push_back(entry.path());
    }
    if (error) {
      ServerLog("plug-ins: cannot read the folder " + Quoted(folder) + ": " + error.message());
      continue;
    }
    std::sort(libraries.begin(), libraries.end());
    for (const fs::path& library : libraries) {
      const THelperOutcome outcome =
          RunHelper({options_.Runner, "describe", library.string()}, "",
                    std::min(options_.TimeoutMs, kMaxScanMs), kMaxNameOutput);
      if (!outcome.Started) {
        scan_error_ = outcome.Error;
        ServerLog("plug-ins: " + outcome.Error);
        return;
      }
      const std::string& out = outcome.Output;
      if (outcome.TimedOut || out.empty() || out[0] != kRunnerNameMark || out.size() == 1) {
        std::string why = outcome.TimedOut                             ? "did not answer in time"
                          : !out.empty() && out[0] == kRunnerErrorMark ? LogSafe(out.substr(1))
                                                                       : Ending(outcome.Status);
        ServerLog("plug-ins: " + library.string() + " is left out: " + why);
        continue;
      }
      TPluginInfo info{out.substr(1), library.string()};
      const TPluginInfo* first = nullptr;
      for (const TPluginInfo& known : plugins_)
        if (first == nullptr && Lower(known.Name) == Lower(info.Name)) first = &known;
      if (first != nullptr) {
        ServerLog("plug-ins: " + info.Path + " is left out: the name " +
                  Quoted(LogSafe(info.Name)) + " is served by " + first->Path);
        continue;
      }
      ServerLog("plug-ins: " + Quoted(LogSafe(info.Name)) + " from " + info.Path);
      plugins_.push_back(std::move(info));
    }
  }
}

const TPluginInfo* TPluginHost::Find(const std::string& name) {
  const std::string wanted = Lower(name);
  for (const TPluginInfo& info : Plugins())
    if (Lower(info.Name) == wanted) return &info;
  return nullptr;
}

std::string TPluginHost::Call(const std::string& name, const std::string& request) {
  const TPluginInfo* info = Find(name);
  if (info == nullptr && !scan_error_.empty()) {
    throw EServerError(kErrPluginHost, "Plug-ins cannot be run on this server: " + scan_error_);
  }
  if (info == nullptr) {
    std::string known;
    for (const TPluginInfo& plugin : Plugins()) known += (known.empty() ? "" : ", ") + plugin.Name;
    throw EServerError(kErrUnknownPlugin, "Unknown plug-in " + Quoted(name) +
                                              (known.empty() ? " (this server has no plug-ins)"
                                                             : " (this server has " + known + ")"));
  }
  const TRunnerOutcome outcome =
      runners_->Call(info->Path, request, options_.TimeoutMs, options_.MaxAnswer);
  const std::string plugin = "Plug-in " + Quoted(info->Name);
  if (!outcome.Started) {
    throw EServerError(kErrPluginHost, plugin + " cannot be run: " + outcome.Error);
  }
  if (outcome.TimedOut) {
    ServerLog("plug-ins: " + info->Name + " stopped after " + Duration(options_.TimeoutMs));
    throw EServerError(kErrPluginTimeout, plugin + " did not answer within " +
                                              Duration(options_.TimeoutMs) + " and was stopped");
  }
  if (outcome.TooLarge) {
    throw EServerError(kErrPluginBroken, plugin + " answered more than " +
                                             std::to_string(options_.MaxAnswer) + " bytes");
  }
  if (!outcome.Answered ||
      (outcome.Mark != kRunnerAnswerMark && outcome.Mark != kRunnerErrorMark)) {
    const std::string ending = Ending(outcome.Status);
    ServerLog("plug-ins: " + info->Name + " " + ending);
    throw EServerError(kErrPluginBroken, plugin + " " + ending);
  }
  if (outcome.Mark == kRunnerErrorMark) throw EServerError(kErrPluginFailed, outcome.Bytes);
  std::string answer = outcome.Bytes;
  try {
    CheckContainer(answer);
  } catch (const EMalformedData& e) {
    throw EServerError(kErrPluginBroken, plugin + " answered malformed data: " + e.what());
  }
  return answer;
}

// --- Shared host and command 500 ------------------------------------------------------------

TPluginHostOptions PluginHostOptionsOf(const TServerOptions& options) {
  TPluginHostOptions host;
  host.Folders = options.PluginDirs;
  if (host.Folders.empty()) host.Folders.push_back(DefaultPluginFolder());
  host.Runner = options.PluginRunner.empty() ? DefaultPluginRunner() : options.PluginRunner;
  host.TimeoutMs = options.PluginTimeoutMs;
  host.MaxAnswer = options.MaxFrame;
  host.CodePage = options.CodePage;
  host.IdleRunners = options.PluginRunners;
  return host;
}

void HandleCallPlugin(TSession& session, TRemoteCommand& request, TRemoteCommand& reply) {
  const std::string name = AnsiToWide(request.GetDataText());
  std::string container = request.Params.Bytes();
  if (container.empty()) container = kEmptyContainer;
  CheckContainer(container);
  const std::string answer = session.Plugins().Call(name, container);
  reply.Params.WriteBuffer(answer.data(), static_cast<int64_t>(answer.size()));
}

}  // namespace larkspire::server
