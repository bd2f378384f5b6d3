// The SQLite backend's entry in the registry: "sqlite:PATH[?journal=MODE&create=1]".
#include <algorithm>
#include <iterator>
#include <memory>

#include "platform/exception.h"
#include "server/sql/backend_registry.h"
#include "server/sql/backends/sqlite/sqlite_database.h"
#include "server/sql/database.h"

namespace larkspire::server {

namespace {

constexpr const char* kPrefix = "sqlite:";

// Reads the options after the "?" of a SQLite locator into it.
void ReadSQLiteOptions(const std::string& text, const std::string& options,
                       TDatabaseLocator& locator) {
  static const char* const kJournalModes[] = {"wal",     "delete", "truncate",
                                              "persist", "memory", "off"};
  size_t start = 0;
  while (start <= options.size()) {
    size_t end = options.find('&', start);
    if (end == std::string::npos) end = options.size();
    const std::string option = options.substr(start, end - start);
    const size_t equals = option.find('=');
    const std::string key = option.substr(0, equals);
    const std::string value = equals == std::string::npos ? "" : option.substr(equals + 1);
    if (key == "journal" && std::find(std::begin(kJournalModes), std::end(kJournalModes), value) !=
                                std::end(kJournalModes)) {
      locator.Journal = value;
    } else if (key == "create" && (value == "1" || value == "0")) {
      locator.Create = value == "1";
    } else {
      throw Exception("database \"" + text + "\": unknown option \"" + option +
                      "\" (expected journal=wal|delete|truncate|persist|memory|off or create=1)");
    }
    start = end + 1;
  }
}

void ReadLocator(TDatabaseLocator& locator) {
  const std::string& text = locator.Text;
  locator.Location = text.substr(std::char_traits<char>::length(kPrefix));
  const size_t question = locator.Location.find('?');
  if (question != std::string::npos) {
    ReadSQLiteOptions(text, locator.Location.substr(question + 1), locator);
    locator.Location.resize(question);
  }
  if (locator.Location.empty()) {
    throw Exception("database \"" + text + "\": the SQLite file path is empty");
  }
}

std::unique_ptr<IDatabase> Open(const TDatabaseLocator& locator) {
  return std::make_unique<TSQLiteDatabase>(locator.Location, locator.Journal, locator.Create);
}

}  // namespace

const TBackend& SQLiteBackend() {
  static const TBackend backend{"SQLite", {kPrefix}, "sqlite:PATH", &ReadLocator, &Open, true};
  return backend;
}

}  // namespace larkspire::server
