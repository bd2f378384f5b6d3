// The server's log file: when --log-file is given the log (everything written on stderr) is
// appended to that file, and ReopenLogFile points stderr at a fresh open of the same path, so
// that a log rotated away by renaming is followed by a new file after SIGHUP.
//
// Thread-safety: the log lines of other threads may go on while the descriptor is replaced
// (dup2 swaps it in one step); call Open and Reopen from one thread.
#ifndef LARKSPIRE_SERVER_LOG_FILE_H_
#define LARKSPIRE_SERVER_LOG_FILE_H_

#include <string>

namespace larkspire::server {

// Appends stderr to PATH (created with mode 0640 when missing). Raises Exception naming the path
// and the reason when it cannot be opened; stderr is then unchanged.
void RedirectLogTo(const std::string& path);

}  // namespace larkspire::server

#endif  // LARKSPIRE_SERVER_LOG_FILE_H_
