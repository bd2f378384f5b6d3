#include "components/plugin_call.h"

#include "platform/codepage.h"

namespace larkspire {

TLarkspirePluginCall::TLarkspirePluginCall(TComponent* owner) : TComponent(owner) {}

TLarkspirePluginCall::~TLarkspirePluginCall() {
  SetConnection(nullptr);
}

void TLarkspirePluginCall::SetConnection(TLarkspireConnection* connection) {
  if (connection == connection_) return;
  if (connection_ != nullptr) connection_->RemoveFreeNotification(this);
  connection_ = connection;
  if (connection_ != nullptr) connection_->FreeNotification(this);
}

void TLarkspirePluginCall::Notification(TComponent* component, TOperation operation) {
  TComponent::Notification(component, operation);
  if (operation == TOperation::opRemove && component == connection_) connection_ = nullptr;
}

void TLarkspirePluginCall::CheckConnection() {
  TLarkspireConnection::Required(connection_, *this);
}

bool TLarkspirePluginCall::Execute(const std::string& plugin_name) {
  CheckConnection();
  if (connection_->Busy()) return false;
  bool result = false;
  std::string failure;  // UTF-8
  try {
    TRemoteCommand request;
    request.Code = cmdCallPlugin;
    request.SetDataText(WideToAnsi(plugin_name));
    request_.WriteToStream(request.Params);
    const TLarkspireReply reply = connection_->Exchange(request);
    result = reply->Success;
    if (result) {
      // Loaded aside first, so a malformed answer leaves the previous one in place.
      // A success without any container bytes is an empty answer.
      TLarkspirePluginData answer;
      if (reply->Params.Size() > 0) answer.ReadFromStream(reply->Params);
      response_.Clear();
      response_.Swap(answer);
    } else {
      failure = AnsiToWide(reply->Message);
    }
  } catch (...) {
    RethrowAtComponentBoundary(Name());
  }
  if (!failure.empty()) connection_->RaiseError(kNoErrorCode, failure, this);
  return result;
}

}  // namespace larkspire
