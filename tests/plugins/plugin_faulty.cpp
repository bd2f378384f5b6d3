// PluginFaulty: a plug-in for the plug-in host's tests that misbehaves on request. Its
// integer "ReqType" says how:
//   0 crash (SIGSEGV)           1 never answer          2 fail with a text
//   3 answer the request back   4 answer malformed data 5 fail without a text
//   6 answer nothing            7 throw an exception    8 exit without an answer
//   9 answer the request back after two seconds
#include <signal.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

#include "server/plugins/larkspire_plugin.h"

namespace {

int Call(const LarkspirePluginCall* call) {
  LarkspirePluginEntry entry;
  int kind = -1;
  if (larkspire_plugin_find(call->request, call->request_size, "ReqType", &entry) == 1 &&
      entry.size == 4) {
    kind = entry.data[0];
  }
  switch (kind) {
    case 0:
      ::raise(SIGSEGV);
      return 1;
    case 1:
      for (;;) ::pause();
    case 2:
      call->reply->set_error(call->reply, "PluginFaulty: asked to fail");
      return 1;
    case 3:
      call->reply->set_answer(call->reply, call->request, call->request_size);
      return 0;
    case 4:
      call->reply->set_answer(call->reply, "\x05\0\0\0", 4);
      return 0;
    case 5:
      return 1;
    case 6:
      return 0;
    case 7:
      throw std::runtime_error("thrown on purpose");
    case 8:
      ::_exit(5);
    case 9:
      ::sleep(2);
      call->reply->set_answer(call->reply, call->request, call->request_size);
      return 0;
    default:
      call->reply->set_error(call->reply, "PluginFaulty: no such ReqType");
      return 1;
  }
}

const LarkspirePluginInfo kInfo = {LARKSPIRE_PLUGIN_INTERFACE_VERSION, "PluginFaulty", Call};

}  // namespace

LARKSPIRE_PLUGIN_EXPORT const LarkspirePluginInfo* larkspire_plugin_info(void) {
  return &kInfo;
}
