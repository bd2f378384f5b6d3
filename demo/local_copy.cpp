#include "demo/local_copy.h"

#include <algorithm>
#include <fstream>

#include "protocol/file_transfer.h"

namespace larkspire {

namespace fs = std::filesystem;

std::optional<fs::path> LocalCopyPath(const fs::path& temp_dir, const std::string& remote_path) {
  std::string relative = remote_path;
  std::replace(relative.begin(), relative.end(), '\\', '/');
  const fs::path remote = fs::path(relative).lexically_normal();
  if (remote.empty() || remote.has_root_path() || remote.has_root_name()) return std::nullopt;
  for (const fs::path& part : remote) {
    if (part == "..") return std::nullopt;
  }
  if (!remote.has_filename()) return std::nullopt;
  const fs::path root = fs::absolute(temp_dir).lexically_normal();
  const fs::path local = (root / remote).lexically_normal();
  // Every part of root must come first in local.
  auto [root_end, local_at] = std::mismatch(root.begin(), root.end(), local.begin(), local.end());
  if (root_end != root.end() && !root_end->empty()) return std::nullopt;
  if (local_at == local.end()) return std::nullopt;
  return local;
}

bool IsInterruptedDownload(const fs::path& file) {
  std::error_code error;
  const auto size = fs::file_size(file, error);
  if (error || size < kResumeRecordSize) return false;
  std::ifstream in(file, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(size - kResumeRecordSize));
  char record[kResumeRecordSize];
  if (!in.read(record, sizeof record)) return false;
  const TResumeRecord resume = DecodeResumeRecord(record);
  return resume.Info.FileSize == static_cast<int64_t>(size - kResumeRecordSize);
}

}  // namespace larkspire
