// TCommandPeer: a scripted peer that speaks command messages. It accepts the handshake, decodes
// every request frame into a TRemoteCommand, records what it saw and answers with the command
// the test's answer function fills in.
//
//   TCommandPeer peer([](const TRemoteCommand& request, TRemoteCommand& reply) {
//     reply.Success = true;
//     reply.SetDataText(ProductsXml(3));
//   });
//   connection.SetRemotePort(peer.Port());
//
// Thread-safety: the answer runs on the peer's connection thread; the accessors may be called
// from any thread.
#ifndef LARKSPIRE_TESTS_SUPPORT_COMMAND_PEER_H_
#define LARKSPIRE_TESTS_SUPPORT_COMMAND_PEER_H_

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/parameters.h"
#include "protocol/remote_command.h"
#include "support/scripted_peer.h"

namespace larkspire::test {

// What the peer kept of one request.
struct TSeenCommand {
  uint16_t Code = 0;
  uint8_t Option = 0;
  int32_t Value = 0;
  bool Success = false;
  std::string Data;    // the whole Data payload
  std::string Params;  // the whole Params payload
};

class TCommandPeer {
 public:
  using TAnswer = std::function<void(const TRemoteCommand& request, TRemoteCommand& reply)>;
  explicit TCommandPeer(TAnswer answer, std::string handshake = AcceptedHandshake());

  uint16_t Port() const { return peer_.Port(); }
  std::vector<TSeenCommand> Seen() const;
  size_t Count() const;

 private:
  TAnswer answer_;
  mutable std::mutex mutex_;
  std::vector<TSeenCommand> seen_;
  TScriptedPeer peer_;
};

// The encoded form of a command (the body of one frame).
std::string EncodeCommand(TRemoteCommand& command);

// A successful reply whose Data is the document.
void AnswerRows(TRemoteCommand& reply, const std::string& document);

// The ADO XML document of the products recordset of MakeProducts(count).
std::string ProductsXml(int count);

// The parts of a query description (Data of commands 210 and 300); raises EMalformedData when
// the bytes are not one.
struct TSeenDescription {
  std::string Block;  // the 16 packed bytes
  std::string Text;   // the command text, code-page bytes
  TParameters Parameters;
  std::string Rest;  // whatever follows the parameter list (the paging record)
};
TSeenDescription ReadDescription(const std::string& data);

}  // namespace larkspire::test

#endif  // LARKSPIRE_TESTS_SUPPORT_COMMAND_PEER_H_
