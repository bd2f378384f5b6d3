#include "demo/file_listing.h"

#include <QString>
#include <charconv>

namespace larkspire {

std::optional<TFileListEntry> ParseFileListLine(const std::string& line) {
  const size_t equals = line.find('=');
  if (equals == std::string::npos || equals + 1 >= line.size()) return std::nullopt;
  TFileListEntry entry;
  entry.Path = line.substr(0, equals);
  const std::string value = line.substr(equals + 1);
  const size_t cut = entry.Path.find_last_of("\\:");
  entry.Caption = cut == std::string::npos ? entry.Path : entry.Path.substr(cut + 1);
  if (const size_t dot = entry.Caption.rfind('.'); dot != std::string::npos) {
    entry.Extension = QString::fromStdString(entry.Caption.substr(dot)).toLower().toStdString();
  }
  entry.Kind = value.substr(0, 1);
  if (entry.Kind == "F" && value.size() > 2) {
    const char* begin = value.data() + 2;
    const char* end = value.data() + value.size();
    int64_t size = 0;
    auto [ptr, error] = std::from_chars(begin, end, size);
    if (error == std::errc() && ptr == end) entry.Size = size;
  }
  return entry;
}

}  // namespace larkspire
