// TLarkspireTransaction: a server transaction bound to a scope. Making one begins a transaction
// on the connection (StartTransaction); Commit commits it; leaving the scope without Commit
// rolls it back, so an exception or an early return never leaves a transaction open.
//
//   TLarkspireTransaction transaction(connection);
//   query.ExecSQL();
//   other.ExecSQL();
//   transaction.Commit();  // without this line both statements are rolled back
//
// Guards nest as the server's transactions do. The rollback at the end of the scope raises
// nothing: when it fails, or the connection is closed (the server then drops the transaction
// with its session), the transaction is given up silently. A transaction the server reports as
// lost (the connection's level falls below the guard's) is not rolled back again.
//
// Thread-safety: as the connection: the thread that issues its commands.
#ifndef LARKSPIRE_COMPONENTS_TRANSACTION_H_
#define LARKSPIRE_COMPONENTS_TRANSACTION_H_

#include <cstdint>

#include "components/connection.h"

namespace larkspire {

class TLarkspireTransaction {
 public:
  // Begins the transaction; a refusal raises ELarkspireException and no guard is made.
  explicit TLarkspireTransaction(TLarkspireConnection& connection);
  ~TLarkspireTransaction();
  TLarkspireTransaction(const TLarkspireTransaction&) = delete;
  TLarkspireTransaction& operator=(const TLarkspireTransaction&) = delete;

  // End the transaction. Either raises ELarkspireException (-1) once the transaction has ended;
  // a refused commit or rollback raises the server's error and leaves the transaction open, so
  // the end of the scope rolls it back.
  void Commit();
  void Rollback();
  // Begun, and neither committed nor rolled back (nor lost).
  bool Active() const;
  // The server's nesting level this transaction holds (1 for the outermost).
  int32_t Level() const { return level_; }

 private:
  void CheckActive(const char* operation) const;

  TLarkspireConnection& connection_;
  int32_t level_ = 0;
  bool ended_ = false;
};

}  // namespace larkspire

#endif  // LARKSPIRE_COMPONENTS_TRANSACTION_H_
