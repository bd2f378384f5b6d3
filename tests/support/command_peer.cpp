#include "support/command_peer.h"

#include "platform/exception.h"
#include "platform/stream.h"
#include "protocol/param_encoding.h"
#include "support/dataset_fixtures.h"

namespace larkspire::test {

TCommandPeer::TCommandPeer(TAnswer answer, std::string handshake)
    : answer_(std::move(answer)),
      peer_(TScriptedPeer::ServeWith(std::move(handshake), [this](const std::string& body) {
        TRemoteCommand request;
        TMemoryStream in;
        in.WriteBuffer(body.data(), static_cast<int64_t>(body.size()));
        request.LoadFromStream(in);
        {
          std::lock_guard lock(mutex_);
          seen_.push_back({request.Code, request.Option, request.Value, request.Success,
                           request.Data.Bytes(), request.Params.Bytes()});
        }
        TRemoteCommand reply;
        answer_(request, reply);
        return EncodeCommand(reply);
      })) {}

std::vector<TSeenCommand> TCommandPeer::Seen() const {
  std::lock_guard lock(mutex_);
  return seen_;
}

size_t TCommandPeer::Count() const {
  std::lock_guard lock(mutex_);
  return seen_.size();
}

std::string EncodeCommand(TRemoteCommand& command) {
  TMemoryStream stream;
  command.SaveToStream(stream);
  return stream.Bytes();
}

void AnswerRows(TRemoteCommand& reply, const std::string& document) {
  reply.Success = true;
  reply.SetDataText(document);
}

std::string ProductsXml(int count) {
  return testing::MakeProducts(count)->SaveToString();
}

TSeenDescription ReadDescription(const std::string& data) {
  TSeenDescription d;
  if (data.size() < 16) throw EMalformedData("query description shorter than its block");
  d.Block = data.substr(0, 16);
  TMemoryStream stream;
  stream.WriteBuffer(data.data(), static_cast<int64_t>(data.size()));
  stream.SetPosition(16);
  d.Text = ReadText(stream, "query description: text");
  ReadParameterList(d.Parameters, stream);
  const int64_t at = stream.Position();
  d.Rest = data.substr(static_cast<size_t>(at));
  return d;
}

}  // namespace larkspire::test
