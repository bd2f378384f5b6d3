// Small helpers for SQL text shared by the backends and the commands: quoting identifiers,
// ASCII case folding (SQL names fold ASCII letters only; other bytes stay as they are) and the
// ":name"/"@name" form of a parameter name.
//
// Thread-safety: pure functions.
#ifndef LARKSPIRE_SERVER_SQL_TEXT_H_
#define LARKSPIRE_SERVER_SQL_TEXT_H_

#include <string>
#include <string_view>

namespace larkspire::server {

// name in double quotes, a double quote inside it doubled: "a""b".
std::string QuoteIdentifier(std::string_view name);

// The text with ASCII letters folded to lower or upper case.
std::string LowerAscii(std::string_view text);
std::string UpperAscii(std::string_view text);

// Whether a and b are equal when ASCII letters are folded.
bool EqualsIgnoringCase(std::string_view a, std::string_view b);

// A parameter name without its leading ':' or '@'.
std::string BareParameterName(const std::string& name);

}  // namespace larkspire::server

#endif  // LARKSPIRE_SERVER_SQL_TEXT_H_
