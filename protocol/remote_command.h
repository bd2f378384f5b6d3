// TRemoteCommand: the one message of the protocol, for every request and every reply.
//
// Encoded form (the body of one frame): U, the length of the uncompressed field block, as 4
// bytes little-endian, then the field block compressed as one zlib stream at level 1. The field
// block holds ten fields, each a 4-byte little-endian length and its bytes: Code (2), Password,
// Data, Params, ConnectionName, Success (1), Value (4), Message, Option (1), Version (7).
//
// Thread-safety: used by one thread at a time.
#ifndef LARKSPIRE_PROTOCOL_REMOTE_COMMAND_H_
#define LARKSPIRE_PROTOCOL_REMOTE_COMMAND_H_

#include <cstdint>
#include <string>

#include "platform/exception.h"
#include "platform/parameters.h"
#include "protocol/memory_stream.h"

namespace larkspire {

// Command codes.
enum : uint16_t {
  cmdClientName = 120,
  cmdExecSQL = 210,
  cmdBeginTrans = 220,
  cmdCommitTrans = 221,
  cmdRollbackTrans = 222,
  cmdOpenQuery = 300,
  cmdApplyUpdates = 301,
  cmdListFiles = 400,
  cmdFileInfo = 401,
  cmdDownload = 402,
  cmdCallPlugin = 500,
  // Subscribes the session to the channel named by Data (UTF-8, 1..255 bytes, no NUL).
  cmdSubscribe = 600,
  // Ends the session's subscription to the channel named by Data; one not held succeeds too.
  cmdUnsubscribe = 601,
  // Binds the session to a user of the server's users file: Data holds the user name, Password
  // the user's password; every later command carries the same password.
  cmdLogIn = 602,
  // Publishes a notification: Data holds the notify request (protocol/notification.h).
  cmdNotify = 603,
  // Waits at most Value milliseconds (the server caps it at 60000) for notifications of the
  // session's subscriptions; the reply's Data holds the records queued (zero or more), Value
  // their count. Answered as soon as one is queued, or empty after the wait.
  cmdWaitNotifications = 604,
  // Asks for datagram delivery of notifications: the reply's Data holds the 16-byte link token,
  // Value the server's UDP port (0: no datagram endpoint, keep to 604).
  cmdNotifyLink = 605,
  cmdReply = 900,
};

inline constexpr const char* kProtocolVersion = "4.1.0.0";

// The most bytes a message may inflate to unless its reader says otherwise (256 MiB).
inline constexpr uint64_t kDefaultMaxMessageSize = uint64_t{256} << 20;

// A message whose field block inflates past the reader's bound. Decoding stops at the bound:
// no more than that is ever inflated or allocated.
class EMessageTooLarge : public EMalformedData {
 public:
  explicit EMessageTooLarge(uint64_t limit);
  // The bound that was passed, in bytes.
  uint64_t Limit() const { return limit_; }

 private:
  uint64_t limit_;
};

class TRemoteCommand {
 public:
  TRemoteCommand() { Reset(); }
  TRemoteCommand(const TRemoteCommand&) = delete;
  TRemoteCommand& operator=(const TRemoteCommand&) = delete;

  uint16_t Code = 0;
  TLarkspireMemoryStream Data;
  TLarkspireMemoryStream Params;
  std::string ConnectionName;  // code-page bytes
  bool Success = false;
  int32_t Value = 0;
  std::string Password;  // code-page bytes
  std::string Message;   // code-page bytes
  uint8_t Option = 0;
  std::string Version = kProtocolVersion;

  void Reset();
  // Clears Data and writes the text's bytes into it.
  void SetDataText(const std::string& text);
  // Rewinds Data and returns all its bytes.
  std::string GetDataText();
  void SetParamsText(const std::string& text);
  // Appends the 16 bytes of a paging record to Data at its position.
  void WritePaging(const void* record16);
  // Clears the collection and decodes Params into it.
  void ReadParameters(TParameters& parameters);

  // Encodes the message into stream, replacing its content, and rewinds it. Sets Version to
  // "4.1.0.0" on the way.
  void SaveToStream(TStream& stream);
  // Decodes a message from stream (from its start). A body that is not a zlib stream raises
  // EZLibError with the library's text; a malformed field block (a fixed-width field of the
  // wrong length, a block that ends before Option, a length past the end) raises
  // EMalformedData. The zlib stream is read to its end, so a damaged checksum or a truncated
  // body raises EZLibError too. A field block that inflates to more than max_message_size
  // bytes (its fields, or bytes after them) raises EMessageTooLarge the moment it passes the
  // bound. Fields decoded before the fault keep their new values.
  void LoadFromStream(TStream& stream, uint64_t max_message_size = kDefaultMaxMessageSize);
};

}  // namespace larkspire

#endif  // LARKSPIRE_PROTOCOL_REMOTE_COMMAND_H_
