// Reading the lines of a server's file listing, "path=K,size": the path before the first "=",
// the kind in the first character after it, a separator (any one character), then a file's
// size in decimal digits.
//
// Thread-safety: pure functions.
#ifndef LARKSPIRE_DEMO_FILE_LISTING_H_
#define LARKSPIRE_DEMO_FILE_LISTING_H_

#include <cstdint>
#include <optional>
#include <string>

namespace larkspire {

struct TFileListEntry {
  std::string Path;
  // The path's last component, after the last "\" or ":".
  std::string Caption;
  // The caption's extension from its last dot, dot included, in lower case; "" without one.
  std::string Extension;
  std::string Kind;
  // For a kind "F": the size, 0 when it is not a number.
  int64_t Size = 0;
};

// The entry of a line; nothing for a line without "=" or with nothing after it.
std::optional<TFileListEntry> ParseFileListLine(const std::string& line);

}  // namespace larkspire

#endif  // LARKSPIRE_DEMO_FILE_LISTING_H_
