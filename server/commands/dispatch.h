// The commands the server serves: a table from command code to handler, and the step that
// runs one request through it.
//
// A handler reads the request and fills the reply; it fails the command by raising
// EServerError (its code and text go to the reply's Value and Message), a database error
// (code 20004) or a decoding error on the payload (code 20003).
//
// Thread-safety: the table is built once and then only read, by every session.
#ifndef LARKSPIRE_SERVER_DISPATCH_H_
#define LARKSPIRE_SERVER_DISPATCH_H_

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "protocol/remote_command.h"

namespace larkspire::server {

class TSession;

using THandler = std::function<void(TSession&, TRemoteCommand& request, TRemoteCommand& reply)>;

class TDispatchTable {
 public:
  void Register(uint16_t code, THandler handler) { handlers_[code] = std::move(handler); }
  const THandler* Find(uint16_t code) const;
  // The codes served, in increasing order.
  std::vector<uint16_t> Codes() const;

 private:
  std::map<uint16_t, THandler> handlers_;
};

// Every command served: 120 client name, 210/300 SQL, 301 applying a delta, 220/221/222
// transactions.
TDispatchTable BuildDispatchTable();

// Fills reply for request: refuses a wrong password (20002), a request that expects a
// transaction the session no longer has (10004, without running it) and unknown codes (20001),
// runs the handler and turns whatever it raises into a failed reply. Never throws.
void DispatchCommand(const TDispatchTable& table, TSession& session, TRemoteCommand& request,
                     TRemoteCommand& reply);

// Fails reply for the exception being handled; call it only inside a catch block. EServerError
// gives its own code; a request past --max-message 20016; a database error 20004 (10004 when
// the session's transaction went with it); bytes, compression or a value that do not decode
// 20003 "Malformed request: ..."; anything else 20007. What is not a std::exception is raised
// again.
void FailReplyForException(TSession& session, TRemoteCommand& reply);

// Fails reply with a code and a UTF-8 text (sent in the code page), dropping any payload.
void FailReply(TRemoteCommand& reply, int32_t code, const std::string& message);

}  // namespace larkspire::server

#endif  // LARKSPIRE_SERVER_DISPATCH_H_
