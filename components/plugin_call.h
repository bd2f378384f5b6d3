// TLarkspirePluginCall: calls a plug-in that runs inside the server. The application fills the
// request container with named, typed values, calls Execute with the plug-in's name, and on
// success reads the plug-in's answer from the response container.
//
//   call.RequestData().Clear();
//   call.RequestData().Param("ReqType").SetAsInteger(0);
//   if (call.Execute("PluginSample"))
//     if (auto* result = call.ResponseData().FindParam("Result")) ... result->GetAsInteger() ...
//
// One call is one command 500: Data carries the plug-in's name in the code page, Params the
// request container; the reply's Params carries the answer. Failures:
//
// | situation                                   | effect                                        |
// |---------------------------------------------|-----------------------------------------------|
// | no Connection                               | ELarkspireException 10001 "Name:Missing        |
// |                                             | Connection.." before anything is sent          |
// | the connection is busy                      | false; nothing sent, containers unchanged      |
// | a failed reply with a text (a plug-in error,| ELarkspireException -1 "Name:" + the text; the |
// | an unknown plug-in, a connection failure)   | response keeps its previous content            |
// | a failed reply without a text               | false; no exception                            |
// | errors while running the command            | propagate unchanged                            |
//
// The request container keeps its parameters after a call; the response container is replaced
// only by a successful call.
//
// Thread-safety: Execute runs entirely on the calling thread (the application's main thread)
// and blocks it until the reply arrives.
#ifndef LARKSPIRE_COMPONENTS_PLUGIN_CALL_H_
#define LARKSPIRE_COMPONENTS_PLUGIN_CALL_H_

#include <string>

#include "components/connection.h"
#include "platform/component.h"
#include "protocol/plugin_data.h"

namespace larkspire {

class TLarkspirePluginCall : public TComponent {
 public:
  explicit TLarkspirePluginCall(TComponent* owner = nullptr);
  ~TLarkspirePluginCall() override;

  TLarkspireConnection* Connection() const { return connection_; }
  // Stores the connection and asks to be told when it is freed (Connection then becomes null).
  void SetConnection(TLarkspireConnection* connection);

  // The two containers; they live as long as the component.
  ILarkspirePluginData& RequestData() { return request_; }
  ILarkspirePluginData& ResponseData() { return response_; }
  // The same containers with their iteration and stream methods.
  TLarkspirePluginData& Request() { return request_; }
  TLarkspirePluginData& Response() { return response_; }

  // Calls the plug-in named plugin_name (UTF-8) with the request container. True when the
  // server reports success; the response container then holds the answer.
  bool Execute(const std::string& plugin_name);
  // Raises ELarkspireException 10001 when there is no connection.
  void CheckConnection();

 protected:
  void Notification(TComponent* component, TOperation operation) override;

 private:
  TLarkspireConnection* connection_ = nullptr;
  TLarkspirePluginData request_;
  TLarkspirePluginData response_;
};

}  // namespace larkspire

#endif  // LARKSPIRE_COMPONENTS_PLUGIN_CALL_H_
