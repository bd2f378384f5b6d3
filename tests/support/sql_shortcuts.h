// One-line statements for end-to-end tests: the first value of a query as text, or a statement
// run for its effect, on a connection of the test's.
//
// Thread-safety: as the connection's; one call at a time per connection.
#ifndef LARKSPIRE_TESTS_SUPPORT_SQL_SHORTCUTS_H_
#define LARKSPIRE_TESTS_SUPPORT_SQL_SHORTCUTS_H_

#include <cstdint>
#include <string>

namespace larkspire {
class TLarkspireConnection;
}  // namespace larkspire

namespace larkspire::test {

// The first value of the first row of sql, as text. Raises what the query raises.
std::string ValueOf(TLarkspireConnection& connection, const std::string& sql,
                    int32_t timeout_seconds = 30);
// Runs sql, which returns no rows. Raises what the statement raises.
void Exec(TLarkspireConnection& connection, const std::string& sql);

}  // namespace larkspire::test

#endif  // LARKSPIRE_TESTS_SUPPORT_SQL_SHORTCUTS_H_
