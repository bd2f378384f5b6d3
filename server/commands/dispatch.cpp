#include "server/commands/dispatch.h"

#include <new>
#include <optional>

#include "platform/codepage.h"
#include "platform/exception.h"
#include "server/base/server_errors.h"
#include "server/commands/apply_updates.h"
#include "server/commands/query_commands.h"
#include "server/files/file_service.h"
#include "server/net/session.h"
#include "server/notify/notify_commands.h"
#include "server/notify/notify_link_command.h"
#include "server/plugins/plugin_host.h"

namespace larkspire::server {

namespace {

// What a request that does not decode raises: its bytes, their compression, a value in them.
bool IsMalformedRequest(const std::exception& e) {
  return dynamic_cast<const EMalformedData*>(&e) != nullptr ||
         dynamic_cast<const EZLibError*>(&e) != nullptr ||
         dynamic_cast<const EStreamError*>(&e) != nullptr ||
         dynamic_cast<const EVariantError*>(&e) != nullptr;
}

// 120: the request's Data text is the client's new name.
void HandleClientName(TSession& session, TRemoteCommand& request, TRemoteCommand& reply) {
  std::string name = AnsiToWide(request.GetDataText());
  if (session.IsDenied(name)) {
    throw EServerError(kErrClientNameRefused,
                       "The client name \"" + name + "\" is refused by this server");
  }
  ServerLog("session " + session.Peer() + ": client name \"" + LogSafe(session.ClientName()) +
            "\" -> \"" + LogSafe(name) + "\"");
  session.SetClientName(name);
}

// 220: opens one more level on the request's database; Value is the new level.
void HandleBeginTransaction(TSession& session, TRemoteCommand& request, TRemoteCommand& reply) {
  reply.Value = session.DatabaseFor(request.ConnectionName).Transactions.Begin();
}

// 221 and 222: end the innermost level; Value is the level left.
void HandleCommitTransaction(TSession& session, TRemoteCommand& request, TRemoteCommand& reply) {
  reply.Value = session.DatabaseFor(request.ConnectionName).Transactions.Commit();
  if (reply.Value == 0) session.TransactionEnded(request.ConnectionName, true);
}

void HandleRollbackTransaction(TSession& session, TRemoteCommand& request, TRemoteCommand& reply) {
  reply.Value = session.DatabaseFor(request.ConnectionName).Transactions.Rollback();
  if (reply.Value == 0) session.TransactionEnded(request.ConnectionName, false);
}

// 602: Data is the user name, Password the user's password.
void HandleLogIn(TSession& session, TRemoteCommand& request, TRemoteCommand& reply) {
  const TUsers* users = session.Users();
  if (users == nullptr) {
    throw EServerError(kErrUnknownCommand, "This server takes no log-ins (it has no users file)");
  }
  if (session.TlsConfigured() && !session.UnderTls() && !session.Options().AllowPlainLogin) {
    throw EServerError(kErrPlainLogInRefused,
                       "Log-ins over a plaintext connection are refused here: connect with TLS");
  }
  const std::string name = AnsiToWide(request.GetDataText());
  const std::string password = AnsiToWide(request.Password);
  const std::optional<TUser> user = users->CheckLogIn(name, password);
  if (!user) {
    ServerLog("session " + session.Peer() + ": log-in as \"" + LogSafe(name) + "\" refused");
    throw EServerError(kErrWrongPassword, "Invalid user name or password");
  }
  session.LogIn(*user, password);
  ServerLog("session " + session.Peer() + ": logged in as \"" + LogSafe(name) + "\"" +
            (user->Role.empty() ? "" : " (role \"" + LogSafe(user->Role) + "\")"));
}

}  // namespace

const THandler* TDispatchTable::Find(uint16_t code) const {
  auto found = handlers_.find(code);
  return found == handlers_.end() ? nullptr : &found->second;
}

std::vector<uint16_t> TDispatchTable::Codes() const {
  std::vector<uint16_t> codes;
  for (const auto& [code, handler] : handlers_) codes.push_back(code);
  return codes;
}

TDispatchTable BuildDispatchTable() {
  TDispatchTable table;
  table.Register(cmdClientName, HandleClientName);
  table.Register(cmdBeginTrans, HandleBeginTransaction);
  table.Register(cmdCommitTrans, HandleCommitTransaction);
  table.Register(cmdRollbackTrans, HandleRollbackTransaction);
  RegisterFileService(table);
  RegisterQueryCommands(table);
  RegisterApplyUpdates(table);
  table.Register(cmdCallPlugin, HandleCallPlugin);
  table.Register(cmdLogIn, HandleLogIn);
  RegisterNotifyCommands(table);
  RegisterNotifyLinkCommand(table);
  return table;
}

void FailReply(TRemoteCommand& reply, int32_t code, const std::string& message) {
  reply.Success = false;
  reply.Value = code;
  reply.Message = WideToAnsi(message);
  reply.Data.Clear();
  reply.Params.Clear();
}

void DispatchCommand(const TDispatchTable& table, TSession& session, TRemoteCommand& request,
                     TRemoteCommand& reply) {
  reply.Reset();
  reply.Code = cmdReply;
  if (session.Users() != nullptr) {
    // The log-in checks its own password; every other command needs one and carries its
    // password again, compared with the log-in's without a new derivation.
    if (request.Code != cmdLogIn && session.User() == nullptr) {
      FailReply(reply, kErrLogInRequired, "This server requires a log-in before other commands");
      return;
    }
    if (request.Code != cmdLogIn && !session.PasswordMatchesLogIn(AnsiToWide(request.Password))) {
      FailReply(reply, kErrWrongPassword, "Invalid password");
      return;
    }
  } else if (!session.CheckPassword(request.Password, reply)) {
    return;
  }
  // The client sends its in-transaction flag with every command but a begin. When the flag is
  // set and this session has no transaction, the one the client opened was on a connection
  // that is gone, and rolled back with it: running the command in autocommit would pass it off
  // as part of a transaction. The client drops its level on this code.
  if (request.Success && request.Code != cmdBeginTrans &&
      !session.InTransaction(request.ConnectionName)) {
    FailReply(reply, kErrTransactionLost,
              "The transaction was lost: the connection to the server was closed.");
    return;
  }
  const THandler* handler = table.Find(request.Code);
  if (!handler) {
    FailReply(reply, kErrUnknownCommand, "Unknown command " + std::to_string(request.Code));
    return;
  }
  try {
    reply.Success = true;
    (*handler)(session, request, reply);
  } catch (...) {
    FailReplyForException(session, reply);
  }
}

void FailReplyForException(TSession& session, TRemoteCommand& reply) {
  try {
    throw;
  } catch (const EServerError& e) {
    FailReply(reply, e.Code(), e.what());
  } catch (const EMessageTooLarge& e) {
    FailReply(reply, kErrMessageTooLarge,
              "The request inflates to more than this server accepts (--max-message " +
                  std::to_string(e.Limit()) + " bytes)");
  } catch (const EServerDatabaseBusy& e) {
    FailReply(reply, kErrDatabaseBusy, e.what());
  } catch (const EServerDatabaseLost& e) {
    // A transaction that was open on the broken connection is gone: the client must hear that
    // rather than a plain "try again", which would retry its last statement alone.
    if (session.TransactionLost()) {
      FailReply(reply, kErrTransactionLost,
                std::string(e.what()) + " (the transaction was lost with the connection)");
    } else {
      FailReply(reply, kErrDatabaseLost, e.what());
    }
  } catch (const EDatabaseError& e) {
    if (session.TransactionLost()) {
      FailReply(reply, kErrTransactionLost,
                std::string(e.what()) + " (the transaction was rolled back)");
    } else {
      FailReply(reply, kErrDatabase, e.what());
    }
  } catch (const std::bad_alloc&) {
    FailReply(reply, kErrInternal, "The server ran out of memory for this command");
  } catch (const std::exception& e) {
    if (IsMalformedRequest(e)) {
      FailReply(reply, kErrMalformedRequest, std::string("Malformed request: ") + e.what());
    } else {
      FailReply(reply, kErrInternal, std::string("Internal server error: ") + e.what());
    }
  }
}

}  // namespace larkspire::server
