#include "server/files/file_service.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <system_error>
#include <vector>

#include "platform/codepage.h"
#include "platform/exception.h"
#include "protocol/remote_command.h"
#include "server/base/server_errors.h"
#include "server/base/unique_fd.h"
#include "server/commands/dispatch.h"
#include "server/net/framing.h"
#include "server/net/session.h"

namespace larkspire::server {

namespace fs = std::filesystem;

namespace {

// Deeper folders are listed by their line only.
constexpr int kMaxListingDepth = 64;
// Days between 1899-12-30 and 1970-01-01.
constexpr double kUnixEpochDays = 25569.0;

[[noreturn]] void RefusePath(const std::string& remote, const std::string& why) {
  throw EServerError(kErrPathRefused, "Path \"" + remote + "\" refused: " + why);
}

// Whether a name can travel in a listing line and be asked for again.
bool Carriable(const std::string& name) {
  if (name.find_first_of("\\:=\r\n") != std::string::npos) return false;
  return AnsiToWide(WideToAnsi(name)) == name;
}

double DateNumberOf(const timespec& time) {
  return kUnixEpochDays +
         (static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) / 1e9) / 86400.0;
}

void WriteSample(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) throw Exception("Cannot write the sample file \"" + path.string() + "\"");
}

// The sample files served on first start: text in English and Chinese, a binary file of
// several blocks, an empty file and an empty folder.
void WriteSamples(const fs::path& folder) {
  fs::create_directories(folder / "文档" / "报表");
  fs::create_directories(folder / "data");
  fs::create_directories(folder / "空文件夹");
  WriteSample(folder / "readme.txt",
              "Sample files of the Larkspire server.\r\n"
              "Folders hold documents, reports and binary data to download.\r\n");
  WriteSample(folder / "文档" / "说明.txt", "这是服务器上的示例文件。\r\n下载后可以打开查看。\r\n");
  WriteSample(folder / "文档" / "报表" / "季度报表.csv",
              "季度,销售额\r\n一季度,1200\r\n二季度,1350\r\n三季度,990\r\n四季度,1610\r\n");
  std::string blocks(100000, '\0');
  uint32_t state = 12345;
  for (char& c : blocks) {
    state = state * 1103515245u + 12345u;
    c = static_cast<char>(state >> 24);
  }
  WriteSample(folder / "data" / "blocks.bin", blocks);
  WriteSample(folder / "data" / "empty.dat", "");
}

// Opens a file for reading without ever blocking: a FIFO or a device in the folder would hold
// the session in open() for good. Anything but a regular file is refused; failure says why.
TUniqueFd OpenRegularFile(const fs::path& path, const std::string& name, std::string& failure) {
  TUniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  struct stat info {};
  if (!file.IsOpen()) {
    failure = "cannot open \"" + name + "\": " + std::strerror(errno);
  } else if (::fstat(file.Fd(), &info) != 0 || !S_ISREG(info.st_mode)) {
    failure = "\"" + name + "\" is not a file";
    file.Reset();
  } else {
    // Reads of a regular file do not block in the FIFO sense; plain blocking reads from here.
    ::fcntl(file.Fd(), F_SETFL, ::fcntl(file.Fd(), F_GETFL) & ~O_NONBLOCK);
  }
  return file;
}

// Streams the blocks of a file from first_block to the last; returns why it could not, or "".
std::string StreamFile(TConnStream& stream, const TFileRoot& root, const std::string& name,
                       int32_t first_block) {
  const fs::path path = root.Resolve(name);
  std::string failure;
  const TUniqueFd file = OpenRegularFile(path, name, failure);
  if (!file.IsOpen()) return failure;
  struct stat info {};
  if (::fstat(file.Fd(), &info) != 0) return "\"" + name + "\" is not a file";
  if (info.st_size > kMaxTransferFileSize) return "\"" + name + "\" is too large to send";
  if (first_block < 1)
    return "first block " + std::to_string(first_block) + " is not a block number";
  const int64_t size = info.st_size;
  const int32_t blocks = BlockCountOf(size);
  // Each packet leaves as its header (held back by MSG_MORE until the bytes follow), the
  // file's bytes straight from the page cache, and the zeros that fill the last block.
  static const std::vector<uint8_t> zeros(kFileBlockSize, 0);
  std::vector<uint8_t> sealed;
  for (int32_t block = first_block; block <= blocks; ++block) {
    const int64_t offset = BlockOffset(block);
    const auto length = static_cast<int32_t>(std::min<int64_t>(kFileBlockSize, size - offset));
    uint8_t header[kBlockPacketHeader];
    WriteBlockPacketHeader(header, block, length);
    if (!stream.WriteAll(header, sizeof header, true))
      return "the client went away at block " + std::to_string(block);
    off_t position = static_cast<off_t>(offset);
    int64_t left = length;
    if (stream.IsTls()) {
      // TLS seals the bytes in this process: they are read, then written through it.
      sealed.resize(kFileBlockSize);
      while (left > 0) {
        const ssize_t got = ::pread(file.Fd(), sealed.data(), static_cast<size_t>(left), position);
        if (got < 0 && errno == EINTR) continue;
        if (got == 0)
          return "\"" + name + "\" ended at offset " + std::to_string(position) +
                 " (the file changed while it was sent)";
        if (got < 0)
          return "\"" + name + "\" could not be read at block " + std::to_string(block) + ": " +
                 std::strerror(errno);
        // A short last block's zeros join it in the same record.
        if (!stream.WriteAll(sealed.data(), static_cast<size_t>(got), length < kFileBlockSize))
          return "the client went away at block " + std::to_string(block);
        position += got;
        left -= got;
      }
    }
    while (left > 0) {
      const ssize_t sent = ::sendfile(stream.Fd(), file.Fd(), &position, static_cast<size_t>(left));
      if (sent < 0 && errno == EINTR) continue;
      if (sent == 0)
        return "\"" + name + "\" ended at offset " + std::to_string(position) +
               " (the file changed while it was sent)";
      if (sent < 0)
        return "block " + std::to_string(block) + " could not be sent: " + std::strerror(errno);
      left -= sent;
      stream.WroteDirectly(static_cast<size_t>(sent));
    }
    if (length < kFileBlockSize &&
        !stream.WriteAll(zeros.data(), static_cast<size_t>(kFileBlockSize - length)))
      return "the client went away at block " + std::to_string(block);
  }
  return "";
}

TFileRoot RootOf(TSession& session) {
  const std::string root = FilesRootOf(session.Options());
  try {
    return TFileRoot(root);
  } catch (const std::exception& e) {
    throw EServerError(kErrFileUnreadable, e.what());
  }
}

// 400: Params holds the path; Option 1 lists sub-folders too.
void HandleListFiles(TSession& session, TRemoteCommand& request, TRemoteCommand& reply) {
  const std::string path = AnsiToWide(request.Params.Bytes());
  const TFileRoot root = RootOf(session);
  reply.SetDataText(WideToAnsi(root.List(path, request.Option == kListRecursive)));
}

// 401: Data holds the file name; the reply's Data is the information record.
void HandleFileInfo(TSession& session, TRemoteCommand& request, TRemoteCommand& reply) {
  const std::string name = AnsiToWide(request.GetDataText());
  const TFileRoot root = RootOf(session);
  reply.SetDataText(EncodeFileInfo(root.Info(name)));
}

// 402: Data holds the file name, Value the first block; the blocks go out without a reply.
void HandleDownload(TSession& session, TRemoteCommand& request, TRemoteCommand& reply) {
  const std::string name = AnsiToWide(request.GetDataText());
  std::string failure;
  try {
    failure = StreamFile(session.Stream(), RootOf(session), name, request.Value);
  } catch (const std::exception& e) {
    failure = e.what();
  }
  if (failure.empty()) {
    session.SkipReply();
    return;
  }
  ServerLog("session " + session.Peer() + ": download of \"" + LogSafe(name) +
            "\": " + LogSafe(failure));
  session.EndAfterCommand("closed: download of \"" + LogSafe(name) + "\" failed");
}

}  // namespace

std::string FilesRootOf(const TServerOptions& options) {
  if (!options.FilesDir.empty()) return options.FilesDir;
  return (fs::path(options.DataDir) / "files").string();
}

std::string PrepareFilesRoot(const TServerOptions& options) {
  std::error_code error;
  if (!options.FilesDir.empty()) {
    if (!fs::is_directory(options.FilesDir, error))
      throw Exception("--files \"" + options.FilesDir + "\": no such folder");
    return fs::canonical(options.FilesDir).string();
  }
  const fs::path folder = FilesRootOf(options);
  if (!fs::exists(folder, error)) {
    try {
      fs::create_directories(folder.parent_path());
      // Built beside its place and renamed, so the folder appears whole or not at all.
      const fs::path building =
          folder.parent_path() / (".files-" + std::to_string(::getpid()) + ".tmp");
      fs::remove_all(building, error);
      WriteSamples(building);
      fs::rename(building, folder, error);
      if (error) {
        fs::remove_all(building);
        if (!fs::is_directory(folder)) throw fs::filesystem_error("rename", folder, error);
      }
    } catch (const fs::filesystem_error& e) {
      throw Exception("Cannot create the sample files in \"" + folder.string() +
                      "\": " + e.code().message());
    }
  }
  if (!fs::is_directory(folder, error))
    throw Exception("The served folder \"" + folder.string() + "\" is not a folder");
  return fs::canonical(folder).string();
}

TFileRoot::TFileRoot(const std::string& root) {
  std::error_code error;
  root_ = fs::canonical(root, error);
  if (error || !fs::is_directory(root_, error))
    throw Exception("The served folder \"" + root + "\" is missing");
}

std::string TFileRoot::Normalize(const std::string& remote) const {
  if (remote.find('\0') != std::string::npos) RefusePath(remote, "it holds a NUL character");
  if (!remote.empty() && (remote[0] == '\\' || remote[0] == '/'))
    RefusePath(remote, "absolute paths are not served");
  std::string normal;
  size_t start = 0;
  while (start <= remote.size()) {
    size_t end = remote.find_first_of("\\/", start);
    if (end == std::string::npos) end = remote.size();
    const std::string part = remote.substr(start, end - start);
    start = end + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") RefusePath(remote, "\"..\" leads outside the served folder");
    if (part.find(':') != std::string::npos)
      RefusePath(remote, "drive letters and \":\" are not served");
    if (!normal.empty()) normal += '\\';
    normal += part;
  }
  return normal;
}

bool TFileRoot::Inside(const fs::path& path) const {
  std::error_code error;
  const fs::path real = fs::weakly_canonical(path, error);
  if (error) return false;
  if (real == root_) return true;
  const std::string root_text = root_.string();
  const std::string real_text = real.string();
  if (root_text == "/") return true;
  return real_text.size() > root_text.size() &&
         real_text.compare(0, root_text.size(), root_text) == 0 &&
         real_text[root_text.size()] == '/';
}

fs::path TFileRoot::Resolve(const std::string& remote) const {
  const std::string normal = Normalize(remote);
  fs::path path = root_;
  size_t start = 0;
  while (!normal.empty() && start <= normal.size()) {
    size_t end = normal.find('\\', start);
    if (end == std::string::npos) end = normal.size();
    path /= normal.substr(start, end - start);
    start = end + 1;
  }
  if (!Inside(path)) RefusePath(remote, "a link leads outside the served folder");
  std::error_code error;
  const fs::path real = fs::weakly_canonical(path, error);
  return error ? path : real;
}

std::string TFileRoot::List(const std::string& remote, bool recursive) const {
  const fs::path folder = Resolve(remote);
  const std::string prefix = Normalize(remote);
  std::error_code error;
  const fs::file_status status = fs::status(folder, error);
  if (!fs::exists(status))
    throw EServerError(kErrNoSuchPath, "No folder \"" + remote + "\" on this server");
  if (!fs::is_directory(status))
    throw EServerError(kErrNoSuchPath, "\"" + remote + "\" is a file, not a folder");
  std::string out;
  ListInto(folder, prefix, recursive, out, 0);
  return out;
}

void TFileRoot::ListInto(const fs::path& folder, const std::string& prefix, bool recursive,
                         std::string& out, int depth) const {
  struct TEntry {
    std::string name;
    bool folder;
    bool link;
    uint64_t size;
  };
  std::vector<TEntry> entries;
  std::error_code error;
  fs::directory_iterator it(folder, error);
  if (error) {
    if (depth == 0)
      throw EServerError(kErrFileUnreadable,
                         "Cannot read the folder \"" + prefix + "\": " + error.message());
    return;
  }
  for (; it != fs::directory_iterator(); it.increment(error)) {
    if (error) break;
    const fs::directory_entry& entry = *it;
    const std::string name = entry.path().filename().string();
    if (!Carriable(name)) continue;
    const bool link = entry.is_symlink(error);
    if (link && !Inside(entry.path())) continue;
    const fs::file_status status = fs::status(entry.path(), error);
    if (error) continue;
    if (fs::is_directory(status)) {
      entries.push_back({name, true, link, 0});
    } else if (fs::is_regular_file(status)) {
      const uint64_t size = fs::file_size(entry.path(), error);
      if (error) continue;
      entries.push_back({name, false, link, size});
    }
  }
  std::sort(entries.begin(), entries.end(), [](const TEntry& a, const TEntry& b) {
    if (a.folder != b.folder) return a.folder;
    return a.name < b.name;
  });
  for (const TEntry& entry : entries) {
    const std::string path = prefix.empty() ? entry.name : prefix + "\\" + entry.name;
    if (!out.empty()) out += "\r\n";
    if (entry.folder) {
      out += path + "=D,";
      if (recursive && !entry.link && depth + 1 < kMaxListingDepth)
        ListInto(folder / entry.name, path, true, out, depth + 1);
    } else {
      out += path + "=F," + std::to_string(entry.size);
    }
  }
}

TRemoteFileInfo TFileRoot::Info(const std::string& remote) const {
  const fs::path path = Resolve(remote);
  struct stat status {};
  if (Normalize(remote).empty() || ::stat(path.c_str(), &status) != 0)
    throw EServerError(kErrNoSuchPath, "No file \"" + remote + "\" on this server");
  if (S_ISDIR(status.st_mode))
    throw EServerError(kErrNoSuchPath, "\"" + remote + "\" is a folder, not a file");
  if (!S_ISREG(status.st_mode))
    throw EServerError(kErrFileUnreadable, "\"" + remote + "\" is not a plain file");
  if (status.st_size > kMaxTransferFileSize)
    throw EServerError(kErrFileUnreadable, "\"" + remote + "\" is too large to be sent");
  // The size is that of what was opened, should the path have been swapped since.
  std::string failure;
  const TUniqueFd file = OpenRegularFile(path, remote, failure);
  if (!file.IsOpen() || ::fstat(file.Fd(), &status) != 0 || status.st_size > kMaxTransferFileSize)
    throw EServerError(kErrFileUnreadable,
                       failure.empty() ? "Cannot read the file \"" + remote + "\"" : failure);
  TRemoteFileInfo info;
  info.FileSize = status.st_size;
  info.BlockCount = BlockCountOf(status.st_size);
  info.Stamp1 = DateNumberOf(status.st_mtim);
  info.Stamp2 = static_cast<double>(status.st_size);
  return info;
}

void RegisterFileService(TDispatchTable& table) {
  table.Register(cmdListFiles, HandleListFiles);
  table.Register(cmdFileInfo, HandleFileInfo);
  table.Register(cmdDownload, HandleDownload);
}

}  // namespace larkspire::server
