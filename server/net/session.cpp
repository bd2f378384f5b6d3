#include "server/net/session.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/codepage.h"
#include "platform/exception.h"
#include "protocol/frame.h"
#include "protocol/handshake.h"
#include "protocol/memory_stream.h"
#include "protocol/remote_command.h"
#include "server/base/server_errors.h"
#include "server/commands/dispatch.h"
#include "server/metrics/server_metrics.h"
#include "server/net/command_watch.h"
#include "server/net/framing.h"
#include "server/net/guess_guard.h"
#include "server/net/inflight_budget.h"
#include "server/notify/notification_hub.h"

namespace larkspire::server {

namespace {

constexpr uint32_t kMaxHandshakeFrame = 64 * 1024;
// What a request is granted to inflate to at the least before it waits for the budget.
constexpr uint64_t kSmallMessage = 1024 * 1024;

}  // namespace

TSession::TSession(const TServerContext& context, TConnStream& stream, std::string peer)
    : context_(context), stream_(stream), peer_(std::move(peer)) {}

TSession::~TSession() {
  if (mailbox_ && context_.Notifications != nullptr) context_.Notifications->Unregister(mailbox_);
}

bool TSession::PeerGone() const {
  pollfd entry{stream_.Fd(), POLLRDHUP, 0};
  return ::poll(&entry, 1, 0) > 0 && (entry.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

std::shared_ptr<TNotificationMailbox> TSession::NotificationMailbox() {
  if (!mailbox_ && context_.Notifications != nullptr) {
    mailbox_ = context_.Notifications->Register();
  }
  return mailbox_;
}

bool TSession::CheckPassword(const std::string& given, TRemoteCommand& reply) {
  const auto& password = context_.Options.Password;
  if (!password) return true;
  TGuessGuard* guard = context_.Guesses;
  const std::string address = PeerAddress(peer_);
  if (guard != nullptr && !authenticated_) {
    const auto slot = guard->Admit(address);
    if (slot == TGuessGuard::TClock::time_point::max()) {
      FailReply(reply, kErrTooManyGuesses,
                "Too many wrong passwords came from this address; try again in a few seconds");
      return false;
    }
    // The turn is awaited in short steps, so that a stopping server is not held up.
    while (!context_.Stopping) {
      const auto left = slot - TGuessGuard::TClock::now();
      if (left <= TGuessGuard::TClock::duration::zero()) break;
      std::this_thread::sleep_for(
          std::min<TGuessGuard::TClock::duration>(left, std::chrono::milliseconds(50)));
    }
  }
  if (SamePassword(AnsiToWide(given), *password)) {
    authenticated_ = true;
    return true;
  }
  ++wrong_passwords_;
  FailReply(reply, kErrWrongPassword, "Invalid password");
  const bool last = wrong_passwords_ >= kMaxWrongPasswords;
  if (guard != nullptr) {
    guard->Failed(address, "wrong password from " + Describe() + " (" +
                               std::to_string(wrong_passwords_) + " on this connection" +
                               (last ? ", which is closed" : "") + ")");
  }
  if (last) {
    end_after_reply_ = "closed after " + std::to_string(wrong_passwords_) + " wrong passwords";
  }
  return false;
}

bool TSession::IsDenied(const std::string& name) const {
  const auto& deny = context_.Options.Deny;
  return std::find(deny.begin(), deny.end(), name) != deny.end();
}

TSessionDatabase& TSession::DatabaseFor(const std::string& connection_name,
                                        int32_t timeout_seconds) {
  std::string name = AnsiToWide(connection_name);
  auto open = databases_.find(name);
  if (open != databases_.end()) return *open->second;
  TConnectionPool* pool = context_.Pools.Find(name);
  if (pool == nullptr) {
    throw EServerError(kErrNoSuchDatabase, "No database named \"" + name + "\" is served here");
  }
  const auto wait = timeout_seconds > 0 ? std::chrono::milliseconds(int64_t{timeout_seconds} * 1000)
                                        : std::chrono::milliseconds(context_.Options.PoolTimeoutMs);
  TPooledConnection connection = pool->Borrow(wait);
  // The role holds until the connection goes back, whose reset drops it.
  if (user_ && !user_->Role.empty()) connection->SetRole(user_->Role);
  auto database = std::make_unique<TSessionDatabase>(std::move(connection));
  TSessionDatabase& result = *database;
  std::lock_guard lock(databases_mutex_);
  databases_.emplace(name, std::move(database));
  return result;
}

void TSession::InterruptDatabases() {
  std::lock_guard lock(databases_mutex_);
  for (auto& [name, database] : databases_) database->Database->Interrupt();
}

void TSession::ReleaseIdleConnections() {
  std::lock_guard lock(databases_mutex_);
  for (auto it = databases_.begin(); it != databases_.end();) {
    it = it->second->Transactions.Level() == 0 ? databases_.erase(it) : std::next(it);
  }
}

void TSession::LogIn(const TUser& user, const std::string& password) {
  // Connections held under another user's role would keep it.
  std::lock_guard lock(databases_mutex_);
  for (auto& [name, database] : databases_) database->Transactions.RollbackAll();
  databases_.clear();
  pending_changes_.DropAll();
  user_ = user;
  password_digest_ = DigestPassword(password);
}

bool TSession::PasswordMatchesLogIn(const std::string& password) const {
  return user_ && DigestsEqual(DigestPassword(password), password_digest_);
}

bool TSession::TransactionLost() {
  bool lost = false;
  for (auto& [name, database] : databases_) {
    if (database->Transactions.SyncWithDatabase()) {
      lost = true;
      pending_changes_.Drop(name);
    }
  }
  return lost;
}

void TSession::TableChanged(const std::string& connection_name, const std::string& table,
                            const TTableChange& change) {
  if (context_.Notifications == nullptr || change.Empty()) return;
  if (InTransaction(connection_name)) {
    pending_changes_.Add(AnsiToWide(connection_name), table, change);
  } else {
    context_.Notifications->Publish(TableChannel(table), TableChangePayload(change));
  }
}

void TSession::TransactionEnded(const std::string& connection_name, bool committed) {
  if (context_.Notifications == nullptr) return;
  if (committed) {
    pending_changes_.Publish(AnsiToWide(connection_name), *context_.Notifications);
  } else {
    pending_changes_.Drop(AnsiToWide(connection_name));
  }
}

bool TSession::InTransaction(const std::string& connection_name) const {
  auto open = databases_.find(AnsiToWide(connection_name));
  return open != databases_.end() && open->second->Transactions.Level() > 0;
}

bool TSession::AnyTransactionOpen() const {
  for (const auto& [name, database] : databases_) {
    if (database->Transactions.Level() > 0) return true;
  }
  return false;
}

std::string TSession::Describe() const {
  return "peer " + peer_ + (stream_.IsTls() ? " (TLS)" : "") + " identity \"" + LogSafe(identity_) +
         "\" name \"" + LogSafe(client_name_) + "\"" +
         (user_ ? " user \"" + LogSafe(user_->Name) + "\"" : "");
}

bool TSession::OpenStream() {
  const TDeadline deadline = std::chrono::steady_clock::now() +
                             std::chrono::milliseconds(context_.Options.HandshakeTimeoutMs);
  std::string failure;
  switch (stream_.Open(deadline, failure)) {
    case TConnStream::TOpen::osReady:
      return true;
    case TConnStream::TOpen::osFailed:
      ending_ = failure;
      return false;
    case TConnStream::TOpen::osPlaintextPeer:
      break;
  }
  // A client without TLS: its handshake is read in plaintext (so that closing does not reset
  // the connection under the answer) and refused in plaintext, so it fails at once with a
  // reason instead of waiting for a TLS answer that never comes.
  outcome_ = "refused (no TLS on the TLS port)";
  if (context_.Metrics != nullptr) context_.Metrics->SessionRefused(TRefusal::rfTlsRequired);
  TConnStream plain(stream_.Fd());
  TFrameTimes times;
  times.Last = deadline;
  times.FirstByte = deadline;
  TMemoryStream body;
  uint32_t length = 0;
  TDeadline frame_end;
  if (ReceiveFrame(plain, times, kMaxHandshakeFrame, body, length, frame_end) ==
      TFrameStatus::fsOk) {
    std::string identity, client_name;
    if (DecodeHandshakeRequest(body.Bytes(), identity, client_name)) {
      identity_ = AnsiToWide(identity);
      client_name_ = AnsiToWide(client_name);
    }
  }
  const std::string reply = EncodeHandshakeReply(kHandshakeRefused, kErrTlsRequired);
  SendFrame(plain, reply.data(), reply.size());
  ending_ = "closed after the refusal";
  return false;
}

TSession::THandshake TSession::Handshake() {
  // One deadline for the whole handshake, however its bytes trickle in.
  TFrameTimes times;
  times.Last = std::chrono::steady_clock::now() +
               std::chrono::milliseconds(context_.Options.HandshakeTimeoutMs);
  times.FirstByte = times.Last;
  TMemoryStream body;
  uint32_t length = 0;
  TDeadline frame_end;
  TFrameStatus status = ReceiveFrame(stream_, times, kMaxHandshakeFrame, body, length, frame_end);
  if (status != TFrameStatus::fsOk) {
    ending_ = "no handshake: " +
              (status == TFrameStatus::fsIdle ? std::string("timed out") : FrameStatusText(status));
    if (status == TFrameStatus::fsTooLarge) {
      ending_ += " (" + std::to_string(length) + " bytes)";
    }
    return THandshake::hsFailed;
  }
  std::string identity, client_name;
  if (!DecodeHandshakeRequest(body.Bytes(), identity, client_name)) {
    ending_ = "first frame is not a handshake";
    return THandshake::hsFailed;
  }
  identity_ = AnsiToWide(identity);
  client_name_ = AnsiToWide(client_name);

  uint8_t reply_status = kHandshakeAccepted;
  int32_t code = 0;
  if (IsDenied(identity_) || IsDenied(client_name_)) {
    reply_status = kHandshakeRefused;
    code = kErrConnectionRefused;
    outcome_ = "refused (denied)";
    if (context_.Metrics != nullptr) context_.Metrics->SessionRefused(TRefusal::rfDenied);
  } else {
    outcome_ = "accepted";
  }
  std::string reply = EncodeHandshakeReply(reply_status, code);
  if (!SendFrame(stream_, reply.data(), reply.size())) {
    ending_ = "handshake reply could not be sent";
    return THandshake::hsFailed;
  }
  if (reply_status != kHandshakeAccepted) {
    ending_ = "closed after the refusal";
    return THandshake::hsRefused;
  }
  return THandshake::hsAccepted;
}

void TSession::ServeCommands() {
  const TServerOptions& options = context_.Options;
  TLarkspireMemoryStream body;
  TLarkspireMemoryStream out;
  while (true) {
    // A frame must be whole within --frame-timeout of its first byte; with --idle-timeout, a
    // session with no transaction open may wait that long for the next one.
    TFrameTimes times;
    times.Frame = std::chrono::milliseconds(options.FrameTimeoutMs);
    const bool may_idle_out = options.IdleTimeoutMs > 0 && !AnyTransactionOpen();
    if (may_idle_out) {
      times.FirstByte =
          std::chrono::steady_clock::now() + std::chrono::milliseconds(options.IdleTimeoutMs);
    }
    uint32_t length = 0;
    TDeadline frame_end;
    // The request's share of --max-inflight: its body while it is read, then what it inflates
    // to until its reply is out.
    TInflightBudget* const budget = context_.Inflight;
    TInflightShare share(budget);
    const auto admit = [&](uint32_t announced) {
      if (budget == nullptr) return true;
      if (!budget->Acquire(announced)) return false;
      share.Add(announced);
      return true;
    };
    TFrameStatus status =
        ReceiveFrame(stream_, times, options.MaxFrame, body, length, frame_end, admit);
    const bool too_large = status == TFrameStatus::fsTooLarge;
    bool busy = status == TFrameStatus::fsRefused;
    if (busy && !context_.Stopping) {
      ServerLog("session " + peer_ + ": request of " + std::to_string(length) +
                " bytes refused (--max-inflight " + std::to_string(options.MaxInflight) +
                " in use)");
      const TFrameStatus discarded = DiscardBody(stream_, length, frame_end);
      if (discarded != TFrameStatus::fsOk) {
        ending_ = FrameStatusText(discarded) + " during a request refused for --max-inflight";
        return;
      }
    } else if (too_large && !context_.Stopping) {
      // The client is still sending the body: take it in and drop it, then answer, so the
      // client reads a refusal instead of a broken connection (which it would send again).
      ServerLog("session " + peer_ + ": request of " + std::to_string(length) +
                " bytes refused (--max-frame " + std::to_string(options.MaxFrame) + ")");
      const TFrameStatus discarded = DiscardBody(stream_, length, frame_end);
      if (discarded != TFrameStatus::fsOk) {
        ending_ = FrameStatusText(discarded) + " during a request of " + std::to_string(length) +
                  " bytes over --max-frame " + std::to_string(options.MaxFrame);
        return;
      }
    } else if (status == TFrameStatus::fsIdle) {
      ending_ = "closed after " + std::to_string(options.IdleTimeoutMs) +
                " ms idle with no transaction open (--idle-timeout)";
      return;
    } else if (status == TFrameStatus::fsTimedOut) {
      ending_ = "closed: a request was not whole within " + std::to_string(options.FrameTimeoutMs) +
                " ms of its first byte (--frame-timeout)";
      return;
    } else if (status != TFrameStatus::fsOk) {
      ending_ = context_.Stopping ? "server stopping" : FrameStatusText(status);
      return;
    }
    // Counts the request and its time when this turn of the loop ends.
    TRequestMeter meter(context_.Metrics);
    TRemoteCommand request;
    TRemoteCommand reply;
    bool decoded = false;
    // What the request may inflate to: --max-message, or what the budget has free now when
    // that is less (a request that needs more is then refused as busy, not as too large).
    uint64_t grant = options.MaxMessage;
    if (budget != nullptr && !busy && !too_large) {
      grant = budget->AcquireUpTo(std::min<uint64_t>(kSmallMessage, budget->Limit() / 4),
                                  options.MaxMessage);
      share.Add(grant);
      busy = grant == 0;
    }
    if (busy) {
      FailReply(reply, kErrServerBusy,
                "The server is short of memory for requests now (--max-inflight " +
                    std::to_string(options.MaxInflight) + " bytes); try again");
    } else if (too_large) {
      FailReply(reply, kErrRequestTooLarge,
                "The request of " + std::to_string(length) +
                    " bytes is longer than this server accepts (--max-frame " +
                    std::to_string(options.MaxFrame) + " bytes)");
    } else {
      try {
        request.LoadFromStream(body, grant);
        decoded = true;
      } catch (const EMessageTooLarge&) {
        if (grant < options.MaxMessage) {
          FailReply(reply, kErrServerBusy,
                    "The server is short of memory for a request this large now (--max-inflight " +
                        std::to_string(options.MaxInflight) + " bytes); try again");
        } else {
          FailReplyForException(*this, reply);
        }
      } catch (...) {
        FailReplyForException(*this, reply);
      }
    }
    body.Clear();
    // The share shrinks to what the request holds now that its compressed body is gone.
    share.ShrinkTo(decoded ? static_cast<uint64_t>(request.Data.Size() + request.Params.Size()) +
                                 request.Message.size()
                           : 0);
    if (decoded) {
      // While the command runs, a client that goes away stops its statements.
      struct TWatching {
        TCommandWatch* Watch;
        int Socket;
        ~TWatching() {
          if (Watch != nullptr) Watch->Unwatch(Socket);
        }
      } watching{context_.Watch, stream_.Fd()};
      if (watching.Watch != nullptr)
        watching.Watch->Watch(stream_.Fd(), [this] { InterruptDatabases(); });
      meter.SetCommand(request.Code);
      DispatchCommand(context_.Dispatch, *this, request, reply);
      if (context_.Pools.Mode() == TPoolMode::pmTransaction) ReleaseIdleConnections();
    } else {
      reply.Code = cmdReply;
      if (!too_large)
        ServerLog("session " + peer_ + ": " + LogSafe(AnsiToWide(reply.Message), 256));
    }
    if (skip_reply_) {
      skip_reply_ = false;
      reply_payload_.Clear();
      ++commands_;
      if (!end_reason_.empty()) {
        ending_ = end_reason_;
        return;
      }
      continue;
    }
    EncodeReply(reply, reply_payload_, out);
    bool sent = SendFrame(stream_, out.Memory(), static_cast<size_t>(out.Size()));
    out.Clear();
    ++commands_;
    if (sent) meter.Replied(reply.Success, reply.Value);
    if (sent && !end_after_reply_.empty()) {
      ending_ = end_after_reply_;
      return;
    }
    if (!sent) {
      if (context_.Stopping) {
        ending_ = "server stopping";
      } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
        ending_ = "closed: the client took no byte of a reply for " +
                  std::to_string(options.FrameTimeoutMs) + " ms (--frame-timeout)";
      } else {
        ending_ = "reply could not be sent";
      }
      return;
    }
  }
}

void TSession::Run() {
  try {
    if (OpenStream() && Handshake() == THandshake::hsAccepted) ServeCommands();
  } catch (const std::exception& e) {
    ending_ = std::string("failed: ") + e.what();
  } catch (...) {
    ending_ = "failed: unknown error";
  }
  try {
    for (auto& [name, database] : databases_) database->Transactions.RollbackAll();
  } catch (const std::exception& e) {
    ending_ += std::string("; rolling back failed: ") + e.what();
  }
  {
    std::lock_guard lock(databases_mutex_);
    databases_.clear();
  }
  // Nothing is kept for a client that has gone.
  if (mailbox_ && context_.Notifications != nullptr) {
    context_.Notifications->Unregister(mailbox_);
    mailbox_.reset();
  }
  ServerLog(Describe() + " " + outcome_ + ", " + std::to_string(commands_) + " commands, " +
            ending_);
}

}  // namespace larkspire::server
