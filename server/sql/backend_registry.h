// The database backends built into the server, found by the prefix of a database locator
// ("sqlite:", "postgresql://"), or by a backend's own test of a locator without one
// (PostgreSQL's "host=... dbname=..." form). Each backend lives in its own folder under
// server/sql/backends/ and is named once in the registry's list (backend_registry.cpp).
//
// Thread-safety: the registry is a constant list; TBackend entries are immutable.
#ifndef LARKSPIRE_SERVER_BACKEND_REGISTRY_H_
#define LARKSPIRE_SERVER_BACKEND_REGISTRY_H_

#include <memory>
#include <string>
#include <vector>

namespace larkspire::server {

class IDatabase;
struct TDatabaseLocator;

struct TBackend {
  std::string Name;                   // for messages: "SQLite"
  std::vector<std::string> Prefixes;  // the locator prefixes it serves: "sqlite:"
  // The form of a locator, for the message that refuses an unknown one: "sqlite:PATH".
  std::string Form;
  // Completes a locator whose Text and Backend are set: Location and the backend's options.
  // Raises Exception with a message naming the text when the locator is not one of its own.
  void (*ReadLocator)(TDatabaseLocator& locator) = nullptr;
  // Opens a session's handle; raises EServerDatabaseError when it cannot.
  std::unique_ptr<IDatabase> (*Open)(const TDatabaseLocator& locator) = nullptr;
  // Whether the server opens the database once at start, so that a wrong locator stops the
  // start (a file); a database on another server may come up later and is left alone.
  bool OpenAtStart = false;
  // Whether a locator without one of the prefixes is the backend's own; null: prefixes only.
  bool (*Claims)(const std::string& locator_text) = nullptr;
};

// Every backend, in the order of the registry's list.
const std::vector<const TBackend*>& RegisteredBackends();

// The backend whose prefix begins the locator text, else the first that claims it, or null.
const TBackend* FindBackend(const std::string& locator_text);

}  // namespace larkspire::server

#endif  // LARKSPIRE_SERVER_BACKEND_REGISTRY_H_
