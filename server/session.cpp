#include "server/session.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/codepage.h"
#include "platform/exception.h"
#include "protocol/frame.h"
#include "protocol/handshake.h"
#include "protocol/memory_stream.h"
#include "protocol/remote_command.h"
#include "server/dispatch.h"
#include "server/server_errors.h"

namespace larkspire::server {

namespace {

constexpr uint32_t kMaxHandshakeFrame = 64 * 1024;
constexpr size_t kChunk = 64 * 1024;

enum class TFrameStatus { fsOk, fsClosed, fsTimedOut, fsTooLarge, fsError };

// Receives exactly count bytes; fsClosed when the peer closed before the first byte or in
// the middle.
TFrameStatus ReceiveAll(int socket, void* buffer, size_t count) {
  auto* bytes = static_cast<uint8_t*>(buffer);
  size_t done = 0;
  while (done < count) {
    ssize_t got = ::recv(socket, bytes + done, count - done, 0);
    if (got > 0) {
      done += static_cast<size_t>(got);
    } else if (got == 0) {
      return TFrameStatus::fsClosed;
    } else if (errno == EINTR) {
      continue;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      return TFrameStatus::fsTimedOut;
    } else {
      return TFrameStatus::fsError;
    }
  }
  return TFrameStatus::fsOk;
}

// Reads one frame into body (emptied first). The body grows as its bytes arrive, so a
// length that the peer never sends costs nothing. length reports the announced length.
TFrameStatus ReceiveFrame(int socket, uint32_t max_length, TMemoryStream& body, uint32_t& length) {
  uint8_t prefix[kFramePrefixSize];
  TFrameStatus status = ReceiveAll(socket, prefix, sizeof prefix);
  if (status != TFrameStatus::fsOk) return status;
  length = DecodeFramePrefix(prefix);
  if (length > max_length) return TFrameStatus::fsTooLarge;
  body.Clear();
  uint8_t chunk[kChunk];
  uint32_t left = length;
  while (left > 0) {
    size_t part = std::min<size_t>(left, sizeof chunk);
    status = ReceiveAll(socket, chunk, part);
    if (status != TFrameStatus::fsOk) return status;
    body.WriteBuffer(chunk, static_cast<int64_t>(part));
    left -= static_cast<uint32_t>(part);
  }
  body.SetPosition(0);
  return TFrameStatus::fsOk;
}

// The length and the body leave in one call, so that a small reply is one segment and
// does not wait for the acknowledgement of its length.
bool SendFrame(int socket, const void* body, size_t length) {
  uint8_t prefix[kFramePrefixSize];
  EncodeFramePrefix(static_cast<uint32_t>(length), prefix);
  iovec parts[2] = {{prefix, sizeof prefix}, {const_cast<void*>(body), length}};
  size_t total = sizeof prefix + length;
  size_t done = 0;
  while (done < total) {
    msghdr message{};
    iovec rest[2];
    int count = 0;
    size_t skip = done;
    for (const iovec& part : parts) {
      if (skip >= part.iov_len) {
        skip -= part.iov_len;
        continue;
      }
      rest[count++] = {static_cast<uint8_t*>(part.iov_base) + skip, part.iov_len - skip};
      skip = 0;
    }
    message.msg_iov = rest;
    message.msg_iovlen = static_cast<size_t>(count);
    ssize_t sent = ::sendmsg(socket, &message, MSG_NOSIGNAL);
    if (sent > 0) {
      done += static_cast<size_t>(sent);
    } else if (sent < 0 && errno == EINTR) {
      continue;
    } else {
      return false;
    }
  }
  return true;
}

void SetReceiveTimeout(int socket, uint32_t milliseconds) {
  timeval timeout{};
  timeout.tv_sec = milliseconds / 1000;
  timeout.tv_usec = static_cast<suseconds_t>((milliseconds % 1000) * 1000);
  ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}

std::string StatusText(TFrameStatus status) {
  switch (status) {
    case TFrameStatus::fsOk:
      return "ok";
    case TFrameStatus::fsClosed:
      return "closed by the client";
    case TFrameStatus::fsTimedOut:
      return "timed out";
    case TFrameStatus::fsTooLarge:
      return "frame too large";
    case TFrameStatus::fsError:
      return std::string("receive failed: ") + std::strerror(errno);
  }
  return "ended";
}

std::mutex& LogMutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace

void ServerLog(const std::string& line) {
  std::lock_guard<std::mutex> lock(LogMutex());
  std::fputs((line + "\n").c_str(), stderr);
  std::fflush(stderr);
}

std::string LogSafe(const std::string& text) {
  std::string safe;
  size_t i = 0;
  auto escape = [&safe](unsigned char byte) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\x%02X", byte);
    safe += hex;
  };
  while (i < text.size()) {
    auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x20 || byte == 0x7F || byte == '\\') {
      escape(byte);
      ++i;
      continue;
    }
    if (byte < 0x80) {
      safe.push_back(static_cast<char>(byte));
      ++i;
      continue;
    }
    size_t length = byte >= 0xF0 && byte < 0xF5 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC2 ? 2 : 0;
    bool valid = length > 0 && byte < 0xF5 && i + length <= text.size();
    for (size_t k = 1; valid && k < length; ++k) {
      valid = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
    }
    if (!valid) {
      escape(byte);
      ++i;
      continue;
    }
    safe.append(text, i, length);
    i += length;
  }
  return safe;
}

TSession::TSession(const TServerContext& context, int socket, std::string peer)
    : context_(context), socket_(socket), peer_(std::move(peer)) {}

TSession::~TSession() = default;

bool TSession::IsDenied(const std::string& name) const {
  const auto& deny = context_.Options.Deny;
  return std::find(deny.begin(), deny.end(), name) != deny.end();
}

TSessionDatabase& TSession::DatabaseFor(const std::string& connection_name) {
  std::string name = AnsiToWide(connection_name);
  auto open = databases_.find(name);
  if (open != databases_.end()) return *open->second;
  auto locator = context_.Catalog.Find(name);
  if (!locator) {
    throw EServerError(kErrNoSuchDatabase, "No database named \"" + name + "\" is served here");
  }
  auto database = std::make_unique<TSessionDatabase>(OpenDatabase(*locator));
  TSessionDatabase& result = *database;
  databases_.emplace(name, std::move(database));
  return result;
}

bool TSession::TransactionLost() {
  bool lost = false;
  for (auto& [name, database] : databases_) {
    if (database->Transactions.SyncWithDatabase()) lost = true;
  }
  return lost;
}

bool TSession::InTransaction(const std::string& connection_name) const {
  auto open = databases_.find(AnsiToWide(connection_name));
  return open != databases_.end() && open->second->Transactions.Level() > 0;
}

bool TSession::DiscardBody(uint32_t length) {
  uint8_t chunk[kChunk];
  uint32_t left = length;
  while (left > 0) {
    const size_t part = std::min<size_t>(left, sizeof chunk);
    if (ReceiveAll(socket_, chunk, part) != TFrameStatus::fsOk) return false;
    left -= static_cast<uint32_t>(part);
  }
  return true;
}

std::string TSession::Describe() const {
  return "peer " + peer_ + " identity \"" + LogSafe(identity_) + "\" name \"" +
         LogSafe(client_name_) + "\"";
}

TSession::THandshake TSession::Handshake(bool over_limit) {
  SetReceiveTimeout(socket_, context_.Options.HandshakeTimeoutMs);
  TMemoryStream body;
  uint32_t length = 0;
  TFrameStatus status = ReceiveFrame(socket_, kMaxHandshakeFrame, body, length);
  if (status != TFrameStatus::fsOk) {
    ending_ = "no handshake: " + StatusText(status);
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
  if (over_limit) {
    reply_status = kHandshakeRefused;
    code = kErrConnectionsLimit;
    outcome_ = "refused (connections limit)";
  } else if (IsDenied(identity_) || IsDenied(client_name_)) {
    reply_status = kHandshakeRefused;
    code = kErrConnectionRefused;
    outcome_ = "refused (denied)";
  } else {
    outcome_ = "accepted";
  }
  std::string reply = EncodeHandshakeReply(reply_status, code);
  if (!SendFrame(socket_, reply.data(), reply.size())) {
    ending_ = "handshake reply could not be sent";
    return THandshake::hsFailed;
  }
  SetReceiveTimeout(socket_, 0);
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
    uint32_t length = 0;
    TFrameStatus status = ReceiveFrame(socket_, options.MaxFrame, body, length);
    const bool too_large = status == TFrameStatus::fsTooLarge;
    if (too_large && !context_.Stopping) {
      // The client is still sending the body: take it in and drop it, then answer, so the
      // client reads a refusal instead of a broken connection (which it would send again).
      ServerLog("session " + peer_ + ": request of " + std::to_string(length) +
                " bytes refused (--max-frame " + std::to_string(options.MaxFrame) + ")");
      if (!DiscardBody(length)) {
        ending_ = "closed by the client during a request of " + std::to_string(length) +
                  " bytes over --max-frame " + std::to_string(options.MaxFrame);
        return;
      }
    } else if (status != TFrameStatus::fsOk) {
      ending_ = context_.Stopping ? "server stopping" : StatusText(status);
      return;
    }
    TRemoteCommand request;
    TRemoteCommand reply;
    bool decoded = false;
    if (too_large) {
      FailReply(reply, kErrRequestTooLarge,
                "The request of " + std::to_string(length) +
                    " bytes is longer than this server accepts (--max-frame " +
                    std::to_string(options.MaxFrame) + " bytes)");
    } else {
      try {
        request.LoadFromStream(body, options.MaxMessage);
        decoded = true;
      } catch (...) {
        FailReplyForException(*this, reply);
      }
    }
    body.Clear();
    if (decoded) {
      DispatchCommand(context_.Dispatch, *this, request, reply);
    } else {
      reply.Code = cmdReply;
      if (!too_large) ServerLog("session " + peer_ + ": " + LogSafe(AnsiToWide(reply.Message)));
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
    bool sent = SendFrame(socket_, out.Memory(), static_cast<size_t>(out.Size()));
    out.Clear();
    ++commands_;
    if (!sent) {
      ending_ = context_.Stopping ? "server stopping" : "reply could not be sent";
      return;
    }
  }
}

void TSession::Run() {
  try {
    if (Handshake(false) == THandshake::hsAccepted) ServeCommands();
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
  databases_.clear();
  ServerLog(Describe() + " " + outcome_ + ", " + std::to_string(commands_) + " commands, " +
            ending_);
}

void TSession::RefuseOverLimit() {
  try {
    Handshake(true);
  } catch (const std::exception& e) {
    ending_ = std::string("failed: ") + e.what();
  }
  ServerLog(Describe() + " " + outcome_ + ", 0 commands, " + ending_);
}

}  // namespace larkspire::server
