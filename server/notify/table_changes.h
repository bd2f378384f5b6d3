// The notifications of table changes: after a successful 210 (a plain INSERT, UPDATE or DELETE)
// or 301 that changed rows, the server publishes on "table:NAME" (the table's own name,
// lower-case, without its schema) the payload {"inserted":I,"updated":U,"deleted":D}. A change
// made inside a client's transaction waits for the transaction's commit, and is dropped when
// the transaction is rolled back or lost.
//
// Thread-safety: the free functions are pure; a TPendingTableChanges belongs to one session.
#ifndef LARKSPIRE_SERVER_NOTIFY_TABLE_CHANGES_H_
#define LARKSPIRE_SERVER_NOTIFY_TABLE_CHANGES_H_

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace larkspire::server {

class TNotificationHub;

struct TTableChange {
  int64_t Inserted = 0;
  int64_t Updated = 0;
  int64_t Deleted = 0;
  bool Empty() const { return Inserted == 0 && Updated == 0 && Deleted == 0; }
};

// "table:" and the table's name in lower case.
std::string TableChannel(const std::string& table);
std::string TableChangePayload(const TTableChange& change);

enum class TStatementKind { skInsert, skUpdate, skDelete };
struct TStatementTarget {
  TStatementKind Kind = TStatementKind::skInsert;
  std::string Table;  // unquoted, without its schema
};
// The table a single plain INSERT (REPLACE), UPDATE or DELETE statement writes; nothing for any
// other statement, or for text that holds more than one statement.
std::optional<TStatementTarget> StatementTarget(const std::string& sql);

// The table changes a session made inside open transactions, by database name.
class TPendingTableChanges {
 public:
  void Add(const std::string& database, const std::string& table, const TTableChange& change);
  // The transaction on database committed: what it changed is published.
  void Publish(const std::string& database, TNotificationHub& hub);
  // The transaction on database was rolled back or lost.
  void Drop(const std::string& database) { pending_.erase(database); }
  void DropAll() { pending_.clear(); }

 private:
  // database -> table -> the sum of its changes
  std::map<std::string, std::map<std::string, TTableChange>> pending_;
};

}  // namespace larkspire::server

#endif  // LARKSPIRE_SERVER_NOTIFY_TABLE_CHANGES_H_
