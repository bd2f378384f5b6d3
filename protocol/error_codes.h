// Every error code of the system in one table: the codes the client components set in
// ErrorCode and raise with ELarkspireException, and the codes the server puts in a failed
// reply's Value next to a text in Message. A code means one thing only; the table is checked
// for duplicates when it is compiled.
//
// Client side (10001..10009, 100021..100023): set by the components themselves, except 10004,
// which the server sends when a transaction is gone and on which the client sets its
// transaction level back to 0. The handshake's refusal codes travel in the handshake reply,
// not in a command. Server side (2xxxx): the server's own.
//
// Thread-safety: constants only.
#ifndef LARKSPIRE_PROTOCOL_ERROR_CODES_H_
#define LARKSPIRE_PROTOCOL_ERROR_CODES_H_

#include <cstddef>
#include <cstdint>

namespace larkspire {

// No failure; also the code a component passes when its message needs no wording.
inline constexpr int32_t kNoErrorCode = -1;

// --- Client side ---
inline constexpr int32_t kErrMissingConnection = 10001;
inline constexpr int32_t kErrCouldNotConnect = 10002;
inline constexpr int32_t kErrTransactionLost = 10004;
inline constexpr int32_t kErrNoReply = 10005;
inline constexpr int32_t kErrClosedDuringCommand = 10006;
inline constexpr int32_t kErrReplyTooLarge = 10007;
inline constexpr int32_t kErrMergeFailed = 10008;
inline constexpr int32_t kErrTlsFailed = 10009;
inline constexpr int32_t kErrConnectionRefused = 100021;
inline constexpr int32_t kErrConnectionsLimit = 100022;
inline constexpr int32_t kErrTlsRequired = 100023;

// --- Server side ---
inline constexpr int32_t kErrUnknownCommand = 20001;
inline constexpr int32_t kErrWrongPassword = 20002;
inline constexpr int32_t kErrMalformedRequest = 20003;
inline constexpr int32_t kErrDatabase = 20004;
inline constexpr int32_t kErrNoSuchDatabase = 20005;
inline constexpr int32_t kErrNotInTransaction = 20006;
inline constexpr int32_t kErrInternal = 20007;
inline constexpr int32_t kErrClientNameRefused = 20008;
inline constexpr int32_t kErrTransactionTooDeep = 20009;
inline constexpr int32_t kErrDeltaRefused = 20010;
inline constexpr int32_t kErrUpdateConflict = 20011;
inline constexpr int32_t kErrFileUnreadable = 20012;
inline constexpr int32_t kErrPathRefused = 20013;
inline constexpr int32_t kErrNoSuchPath = 20014;
inline constexpr int32_t kErrRequestTooLarge = 20015;
inline constexpr int32_t kErrMessageTooLarge = 20016;
inline constexpr int32_t kErrDatabaseBusy = 20030;
inline constexpr int32_t kErrResultTooLarge = 20031;
inline constexpr int32_t kErrTooManyGuesses = 20040;
inline constexpr int32_t kErrServerBusy = 20041;
inline constexpr int32_t kErrDatabaseLost = 20042;
inline constexpr int32_t kErrLogInRequired = 20032;
inline constexpr int32_t kErrPlainLogInRefused = 20033;
inline constexpr int32_t kErrTooManySubscriptions = 20050;
inline constexpr int32_t kErrUnknownPlugin = 20501;
inline constexpr int32_t kErrPluginFailed = 20502;
inline constexpr int32_t kErrPluginTimeout = 20503;
inline constexpr int32_t kErrPluginBroken = 20504;
inline constexpr int32_t kErrPluginHost = 20505;

struct TErrorCodeInfo {
  int32_t Code;
  const char* Meaning;
};

inline constexpr TErrorCodeInfo kErrorCodes[] = {
    {kErrMissingConnection, "a dataset or service component has no connection"},
    {kErrCouldNotConnect,
     "the connect or the handshake failed without a reason, or a transfer broke; retried once"},
    {kErrTransactionLost,
     "the server's transaction is gone (rolled back by the database, or the connection was "
     "closed); the client drops its transaction level to 0"},
    {kErrNoReply, "no reply within the connection's receive time-out; never retried"},
    {kErrClosedDuringCommand,
     "the connection was closed (Connected := false) while a command waited for its reply"},
    {kErrReplyTooLarge,
     "the reply inflates past the connection's MaxMessageSize, or its frame is too long to hold "
     "such a reply; the command fails and is not retried"},
    {kErrMergeFailed,
     "the server committed the changes, but the rows it returned could not be merged; the "
     "changes stand and a refresh shows the server's rows"},
    {kErrTlsFailed,
     "the TLS handshake failed or the server's certificate was refused (the text says why); "
     "never retried"},
    {kErrConnectionRefused, "the server refused this client in the handshake"},
    {kErrConnectionsLimit, "the server serves as many connections as it allows"},
    {kErrTlsRequired, "the server's port speaks TLS only and this client connected without it"},
    {kErrUnknownCommand, "the command code is not served"},
    {kErrWrongPassword,
     "the request's Password is not the server's, or a log-in names an unknown user or a wrong "
     "password (the two are not told apart)"},
    {kErrMalformedRequest, "the request body does not decode, or its payload is wrong"},
    {kErrDatabase, "the database reported an error; Message has its text"},
    {kErrNoSuchDatabase, "the request's ConnectionName names no database"},
    {kErrNotInTransaction, "commit or roll back without an open transaction"},
    {kErrInternal, "the server failed inside a handler"},
    {kErrClientNameRefused, "the new client name is on the server's deny list"},
    {kErrTransactionTooDeep, "transactions are nested deeper than the server allows"},
    {kErrDeltaRefused, "a delta cannot be applied: no base table or key columns"},
    {kErrUpdateConflict, "a row of a delta was changed or deleted by another client"},
    {kErrFileUnreadable, "a file or folder cannot be read, or is too large to be sent"},
    {kErrPathRefused, "a remote path leads outside the served root"},
    {kErrNoSuchPath, "no such file or folder"},
    {kErrRequestTooLarge, "the request frame is longer than the server's --max-frame"},
    {kErrMessageTooLarge,
     "the request inflates to more than the server's --max-message; it is not decoded"},
    {kErrDatabaseBusy,
     "the database stayed locked by another client past the busy time-out, or no pooled "
     "database connection came free within the command's time-out; retry"},
    {kErrResultTooLarge, "the compressed reply would be longer than the server's --max-reply"},
    {kErrTooManyGuesses,
     "so many wrong passwords came from the client's address that the password was not even "
     "checked; retry after a few seconds"},
    {kErrServerBusy,
     "the memory the server gives all requests in flight (--max-inflight) is spent; the request "
     "was dropped whole, retry"},
    {kErrDatabaseLost,
     "the server's connection to the database broke (the database server stopped, a standby took "
     "over) or none can be made now; retry: the next connection goes to whichever host accepts. "
     "A statement that was cut may or may not have taken effect"},
    {kErrLogInRequired, "the server has a users file: the session must log in (602) first"},
    {kErrPlainLogInRefused,
     "a log-in over a plaintext connection to a server with TLS (without --allow-plain-login)"},
    {kErrTooManySubscriptions, "a session subscribes to at most 256 notification channels"},
    {kErrUnknownPlugin, "no plug-in has the name"},
    {kErrPluginFailed, "the plug-in reported an error: its own text"},
    {kErrPluginTimeout, "the plug-in did not answer in time"},
    {kErrPluginBroken, "the plug-in crashed, ended without an answer, or answered malformed data"},
    {kErrPluginHost, "the plug-in runner cannot be started"},
};

// The meaning of a code, or null for a code that is not in the table.
constexpr const char* ErrorCodeMeaning(int32_t code) {
  for (const TErrorCodeInfo& info : kErrorCodes)
    if (info.Code == code) return info.Meaning;
  return nullptr;
}

namespace error_codes_detail {
constexpr bool AllDistinct() {
  constexpr size_t count = sizeof kErrorCodes / sizeof kErrorCodes[0];
  for (size_t i = 0; i < count; ++i)
    for (size_t j = i + 1; j < count; ++j)
      if (kErrorCodes[i].Code == kErrorCodes[j].Code) return false;
  return true;
}
}  // namespace error_codes_detail

static_assert(error_codes_detail::AllDistinct(), "an error code is used twice");

}  // namespace larkspire

#endif  // LARKSPIRE_PROTOCOL_ERROR_CODES_H_
