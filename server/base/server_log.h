// The server's log: one line per call on stderr (which --log-file may point at a file), and
// the form in which a peer's text goes into a line.
//
// A peer decides how long its texts are (a client name can be megabytes), so a line carries at
// most a short prefix of each, escaped, followed by its full length: whatever a client sends,
// its log line stays a few hundred bytes.
//
// Thread-safety: ServerLog may be called from any thread; a line is never interleaved with
// another. LogSafe is a pure function.
#ifndef LARKSPIRE_SERVER_SERVER_LOG_H_
#define LARKSPIRE_SERVER_SERVER_LOG_H_

#include <cstddef>
#include <string>

namespace larkspire::server {

// How many bytes of a text LogSafe shows before it cuts it short.
constexpr size_t kLogTextPrefix = 96;

// Writes one line to the server's log, whole.
void ServerLog(const std::string& line);

// A text made safe for one log line: control characters, "\" and bytes that are not UTF-8 are
// shown as \xNN. A text longer than prefix bytes is cut after the character that reaches
// prefix, and "… (N bytes)" tells its whole length.
std::string LogSafe(const std::string& text, size_t prefix = kLogTextPrefix);

}  // namespace larkspire::server

#endif  // LARKSPIRE_SERVER_SERVER_LOG_H_
