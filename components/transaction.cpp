#include "components/transaction.h"

#include <string>

namespace larkspire {

TLarkspireTransaction::TLarkspireTransaction(TLarkspireConnection& connection)
    : connection_(connection), level_(connection.StartTransaction()) {
  // A refusal with a text has raised already; one without a text is raised here.
  if (level_ <= 0) {
    const std::string text = "Cannot begin a transaction.";
    ThrowLarkspireException(connection.ErrorCode(), connection.ErrorCode(), text, text);
  }
}

TLarkspireTransaction::~TLarkspireTransaction() {
  if (!Active() || !connection_.Connected()) return;
  try {
    connection_.RollbackTransaction();
  } catch (...) {
    // A destructor raises nothing; the server drops the transaction with the session.
  }
}

bool TLarkspireTransaction::Active() const {
  return !ended_ && level_ > 0 && connection_.TransactionLevel() >= level_;
}

void TLarkspireTransaction::CheckActive(const char* operation) const {
  if (Active()) return;
  const std::string text = std::string("Cannot ") + operation +
                           ": the transaction has already ended (committed, rolled back or lost).";
  throw ELarkspireException(kNoErrorCode, text, text);
}

void TLarkspireTransaction::Commit() {
  CheckActive("commit");
  connection_.CommitTransaction();
  ended_ = true;
}

void TLarkspireTransaction::Rollback() {
  CheckActive("roll back");
  connection_.RollbackTransaction();
  ended_ = true;
}

}  // namespace larkspire
