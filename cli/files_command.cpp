// larkspire ls [PATH] [--recursive] and larkspire get REMOTE [LOCAL]: the server's files.
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <iostream>

#include "cli/commands.h"
#include "cli/terminal_text.h"
#include "components/connection.h"
#include "components/update_file.h"
#include "platform/string_list.h"

namespace larkspire::cli {
namespace {

struct TLsArgs {
  std::string path;
  bool recursive = false;
};

struct TGetArgs {
  std::string remote;
  std::string local;
};

// A listing line ("path=F,size" or "path=D,") in columns: the size or <DIR>, then the path.
std::string FormatListingLine(const std::string& line) {
  const size_t equals = line.find('=');
  if (equals == std::string::npos || equals + 1 >= line.size()) return line;
  const std::string path = line.substr(0, equals);
  const char kind = line[equals + 1];
  char column[32];
  if (kind == 'D') {
    std::snprintf(column, sizeof column, "%14s", "<DIR>");
  } else {
    const std::string size = equals + 3 <= line.size() ? line.substr(equals + 3) : "";
    std::snprintf(column, sizeof column, "%14s", size.c_str());
  }
  return std::string(column) + "  " + path;
}

int RunLs(const TClientOptions& options, const TLsArgs& args) {
  TLarkspireConnection connection;
  options.Configure(connection);
  TLarkspireUpdateFile files;
  files.SetName("Files");
  files.SetConnection(&connection);
  TStringList list;
  if (!files.GetFileList(list, args.path, args.recursive ? kListRecursive : kListOneLevel)) {
    std::cerr << "error: the listing was not received\n";
    return 1;
  }
  for (const std::string& line : list.Strings())
    std::cout << TerminalSafe(FormatListingLine(line)) << "\n";
  return 0;
}

// The caption of a remote path: the text after its last backslash or colon.
std::string CaptionOf(const std::string& remote) {
  const size_t cut = remote.find_last_of("\\:/");
  return cut == std::string::npos ? remote : remote.substr(cut + 1);
}

// Shows the download's progress on stderr: a bar redrawn in place on a terminal, otherwise a
// line each time the whole percentage changes.
class TProgressDisplay {
 public:
  TProgressDisplay() : terminal_(::isatty(STDERR_FILENO) == 1) {}
  ~TProgressDisplay() { Finish(); }

  void Show(int64_t size, int64_t done) {
    const int percent = size > 0 ? static_cast<int>(done * 100 / size) : 100;
    if (percent == last_percent_) return;
    last_percent_ = percent;
    if (terminal_) {
      constexpr int kWidth = 40;
      const int filled = percent * kWidth / 100;
      std::fprintf(stderr, "\r[%s%s] %3d%% %" PRId64 "/%" PRId64, std::string(filled, '#').c_str(),
                   std::string(kWidth - filled, ' ').c_str(), percent, done, size);
      drawn_ = true;
    } else {
      std::fprintf(stderr, "%d%%\n", percent);
    }
    std::fflush(stderr);
  }

  void Finish() {
    if (drawn_) std::fputc('\n', stderr);
    drawn_ = false;
  }

 private:
  bool terminal_;
  bool drawn_ = false;
  int last_percent_ = -1;
};

int RunGet(const TClientOptions& options, const TGetArgs& args) {
  namespace fs = std::filesystem;
  const std::string caption = CaptionOf(args.remote);
  std::string local = args.local.empty() ? caption : args.local;
  std::error_code error;
  // Into a folder: the remote file's name there.
  if (!args.local.empty() && (local.back() == '/' || fs::is_directory(local, error)))
    local = caption.empty() ? std::string() : (fs::path(local) / caption).string();
  if (local.empty()) {
    std::cerr << "error: no local file name for \"" << args.remote << "\"\n";
    return 2;
  }
  local = fs::absolute(local, error).lexically_normal().string();

  TLarkspireConnection connection;
  options.Configure(connection);
  TLarkspireUpdateFile files;
  files.SetName("Files");
  files.SetConnection(&connection);
  TProgressDisplay progress;
  files.OnDownloadBegin = [&](const std::string& name, int64_t size, bool resume) {
    std::cout << (resume ? "resuming " : "downloading ") << TerminalSafe(name) << " (" << size
              << " bytes) into " << TerminalSafe(local) << "\n";
    std::cout.flush();
  };
  files.OnDownloadProgress = [&](int64_t size, int64_t done) { progress.Show(size, done); };
  bool done = false;
  try {
    done = files.DownloadFile(args.remote, local);
  } catch (...) {
    progress.Finish();
    throw;
  }
  progress.Finish();
  if (!done) {
    std::cerr << "error: the download did not start\n";
    return 1;
  }
  std::cout << "downloaded " << args.remote << " (" << files.FileSize() << " bytes)\n";
  return 0;
}

}  // namespace

void AddLsCommand(CLI::App& app, const TClientOptions& options, TRunFunction& run) {
  auto args = std::make_shared<TLsArgs>();
  CLI::App* ls = app.add_subcommand("ls", "List a folder of the server's files");
  ls->add_option("PATH", args->path, "Folder to list, \"\\\" between folders (default: the root)");
  ls->add_flag("--recursive,-r", args->recursive, "List sub-folders too");
  ls->callback(
      [&options, &run, args] { run = [&options, args] { return RunLs(options, *args); }; });
}

void AddGetCommand(CLI::App& app, const TClientOptions& options, TRunFunction& run) {
  auto args = std::make_shared<TGetArgs>();
  CLI::App* get =
      app.add_subcommand("get", "Download a file of the server; an interrupted download resumes");
  get->add_option("REMOTE", args->remote, "Remote file, \"\\\" between folders")->required();
  get->add_option("LOCAL", args->local,
                  "Local file or folder (default: the remote file's name here)");
  get->callback(
      [&options, &run, args] { run = [&options, args] { return RunGet(options, *args); }; });
}

}  // namespace larkspire::cli
