// Where the file browser keeps downloaded files, and what it finds there: a local copy lives in
// the folder "temp" beside the program, under the remote path as the server gave it ("\"
// between folders). A path that would lead out of that folder (".." components, an absolute
// path) is refused, whatever the server says. A local copy whose last 32 bytes are a resume
// record for a file of the copy's length minus 32 is an interrupted download, to be resumed
// rather than opened.
//
// Thread-safety: pure functions and file reads.
#ifndef LARKSPIRE_DEMO_LOCAL_COPY_H_
#define LARKSPIRE_DEMO_LOCAL_COPY_H_

#include <filesystem>
#include <optional>
#include <string>

namespace larkspire {

// The local path of a remote file under temp_dir; nothing when it would leave temp_dir or
// names no file.
std::optional<std::filesystem::path> LocalCopyPath(const std::filesystem::path& temp_dir,
                                                   const std::string& remote_path);

// The file ends in a resume record that describes a file as long as the rest of it.
bool IsInterruptedDownload(const std::filesystem::path& file);

}  // namespace larkspire

#endif  // LARKSPIRE_DEMO_LOCAL_COPY_H_
