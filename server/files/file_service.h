// The server's file service: listing (400), file information (401) and download (402) over one
// served root folder.
//
// Remote paths are code-page text with "\" (or "/") between folders; the empty path is the
// root. Every path is resolved inside the root: a ".." part, an absolute path, a drive letter
// or any ":" and a symbolic link whose target lies outside are refused with a clear message
// (kErrPathRefused), never served.
//
// Listing (Data of the reply): one line per entry, joined by "\r\n": "full path=F,size" for a
// file, "full path=D," for a folder, the full path relative to the root with "\" separators.
// Folders come first, then files, each sorted by name. Option 1 lists each sub-folder's
// entries right after its line; option 0 lists one level. Entries whose names the listing
// cannot carry (a "\", ":", "=" or a line break in the name, or characters the code page
// lacks) and symbolic links leading outside the root are left out; recursion never follows a
// symbolic link.
//
// File information: the 28-byte record of protocol/file_transfer.h with the size, the block
// count, Stamp1 the modification time and Stamp2 the size, both as date-number doubles.
//
// Download: no reply frame; the session writes one 32776-byte packet per block from the
// request's Value to the last block. A download that cannot start (refused path, missing
// file, Value below 1) or that breaks (the file shrank, the client went away) closes the
// connection, since the client is reading packets and could not take a reply.
//
// Thread-safety: the functions read the file system only and may run on every session at once.
#ifndef LARKSPIRE_SERVER_FILE_SERVICE_H_
#define LARKSPIRE_SERVER_FILE_SERVICE_H_

#include <cstdint>
#include <filesystem>
#include <string>

#include "protocol/error_codes.h"
#include "protocol/file_transfer.h"
#include "server/config/server_options.h"

namespace larkspire::server {

class TDispatchTable;

// The folder served: --files, or "files" in the data folder.
std::string FilesRootOf(const TServerOptions& options);
// Makes the served root ready at start: with --files the folder must exist; the default
// folder is created on first start with a few sample files and folders. Returns its
// canonical path. Raises Exception naming the folder.
std::string PrepareFilesRoot(const TServerOptions& options);

class TFileRoot {
 public:
  // root must exist; it is made canonical here.
  explicit TFileRoot(const std::string& root);

  const std::filesystem::path& Root() const { return root_; }

  // The remote path (UTF-8) in its normal form: its parts joined by "\" ("" for the root).
  // Raises EServerError kErrPathRefused for a refused path.
  std::string Normalize(const std::string& remote) const;
  // The local path of a remote path (UTF-8), inside the root. Raises EServerError kErrPathRefused
  // for a refused path; the path need not exist.
  std::filesystem::path Resolve(const std::string& remote) const;

  // The listing of a folder (UTF-8 lines; the caller converts to the code page).
  std::string List(const std::string& remote, bool recursive) const;
  // Raises EServerError kErrNoSuchPath when the path is not a file, kErrFileUnreadable when it
  // cannot be read or is too large for the block count.
  TRemoteFileInfo Info(const std::string& remote) const;

  // Whether a local path lies inside the root (after resolving its links).
  bool Inside(const std::filesystem::path& path) const;

 private:
  void ListInto(const std::filesystem::path& folder, const std::string& prefix, bool recursive,
                std::string& out, int depth) const;

  std::filesystem::path root_;
};

// Registers 400, 401 and 402.
void RegisterFileService(TDispatchTable& table);

}  // namespace larkspire::server

#endif  // LARKSPIRE_SERVER_FILE_SERVICE_H_
