// The error codes the server puts in a failed reply's Value, next to a text in Message.
//
// Codes 2xxxx are the server's own. 10004 is the code the client knows as "the transaction
// is gone": on it the client sets its transaction level back to 0, so the server uses it
// when the database ended a transaction by itself. The handshake's refusal codes (100021,
// 100022) travel in the handshake reply, not in a command.
//
// Thread-safety: constants and a plain exception type.
#ifndef LARKSPIRE_SERVER_SERVER_ERRORS_H_
#define LARKSPIRE_SERVER_SERVER_ERRORS_H_

#include <cstdint>
#include <stdexcept>
#include <string>

namespace larkspire::server {

// | code   | meaning                                                   |
// |--------|-----------------------------------------------------------|
// | 20001  | the command code is not served ("Unknown command 777")     |
// | 20002  | the request's Password is not the server's                 |
// | 20003  | the request body does not decode, or its payload is wrong  |
// | 20004  | the database reported an error; Message has its text       |
// | 20005  | the request's ConnectionName names no database              |
// | 20006  | commit or roll back without an open transaction            |
// | 20007  | the server failed inside a handler (a fault of ours)       |
// | 20008  | the new client name is on the server's deny list           |
// | 20009  | transactions are nested deeper than the server allows      |
// | 20010  | a delta cannot be applied: no base table or key columns    |
// | 20011  | a row of a delta was changed or deleted by another client  |
// | 10004  | the transaction was lost; the client drops its level to 0  |
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
inline constexpr int32_t kErrTransactionLost = 10004;

// Handshake reply: status byte and refusal codes.
inline constexpr uint8_t kHandshakeAccepted = 1;
inline constexpr uint8_t kHandshakeRefused = 3;
inline constexpr int32_t kRefusedClient = 100021;
inline constexpr int32_t kConnectionsLimit = 100022;

// Raised by a handler to fail the command with a code and a UTF-8 message.
class TServerError : public std::runtime_error {
 public:
  TServerError(int32_t code, const std::string& message)
      : std::runtime_error(message), code_(code) {}
  int32_t Code() const { return code_; }

 private:
  int32_t code_;
};

}  // namespace larkspire::server

#endif  // LARKSPIRE_SERVER_SERVER_ERRORS_H_
