// Text from the server made safe to print on a terminal. Column names, values, file names,
// plug-in answers and error texts come from a peer; printed raw, an escape sequence in them
// would drive the user's terminal (clear the screen, retitle the window, hide or fake lines).
//
// TerminalSafe shows every control character as an escape: C0 bytes as "\x1b", DEL as "\x7f",
// the C1 controls (U+0080 to U+009F) as "\u009b", and a byte that is not part of valid UTF-8
// as "\xHH" (on an 8-bit terminal a lone 0x9B is a control sequence introducer). Line feeds
// and tabs stay as they are (an error text may span lines); everything else, UTF-8 included,
// passes unchanged.
//
// Thread-safety: a pure function.
#ifndef LARKSPIRE_CLI_TERMINAL_TEXT_H_
#define LARKSPIRE_CLI_TERMINAL_TEXT_H_

#include <string>

namespace larkspire::cli {

std::string TerminalSafe(const std::string& text);

}  // namespace larkspire::cli

#endif  // LARKSPIRE_CLI_TERMINAL_TEXT_H_
