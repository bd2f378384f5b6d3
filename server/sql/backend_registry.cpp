#include "server/sql/backend_registry.h"

namespace larkspire::server {

// The backends built into the server, one line each: the function in the backend's folder
// that answers its entry.
#define LARKSPIRE_SERVER_BACKENDS(X) \
  X(SQLiteBackend)                   \
  X(PostgresBackend)

#define LARKSPIRE_DECLARE_BACKEND(entry) const TBackend& entry();
LARKSPIRE_SERVER_BACKENDS(LARKSPIRE_DECLARE_BACKEND)
#undef LARKSPIRE_DECLARE_BACKEND

const std::vector<const TBackend*>& RegisteredBackends() {
#define LARKSPIRE_LIST_BACKEND(entry) &entry(),
  static const std::vector<const TBackend*> backends = {
      LARKSPIRE_SERVER_BACKENDS(LARKSPIRE_LIST_BACKEND)};
#undef LARKSPIRE_LIST_BACKEND
  return backends;
}

const TBackend* FindBackend(const std::string& locator_text) {
  for (const TBackend* backend : RegisteredBackends()) {
    for (const std::string& prefix : backend->Prefixes) {
      if (locator_text.compare(0, prefix.size(), prefix) == 0) return backend;
    }
  }
  for (const TBackend* backend : RegisteredBackends()) {
    if (backend->Claims != nullptr && backend->Claims(locator_text)) return backend;
  }
  return nullptr;
}

}  // namespace larkspire::server
