// The notification commands: 600 subscribe, 601 unsubscribe, 603 notify, 604 wait for
// notifications. They reach the server's hub through the session; none of them borrows a
// database connection, so a session waiting in 604 holds none.
//
// Thread-safety: the handlers run on their session's thread.
#ifndef LARKSPIRE_SERVER_NOTIFY_NOTIFY_COMMANDS_H_
#define LARKSPIRE_SERVER_NOTIFY_NOTIFY_COMMANDS_H_

namespace larkspire::server {

class TDispatchTable;

void RegisterNotifyCommands(TDispatchTable& table);

}  // namespace larkspire::server

#endif  // LARKSPIRE_SERVER_NOTIFY_NOTIFY_COMMANDS_H_
