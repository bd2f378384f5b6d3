// The demonstration's command line: where its server is and whether to take pictures instead
// of opening the window.
//
//   larkspire-demo [--host HOST] [--port PORT] [--screenshot DIR]
//
// The host is 127.0.0.1 and the port 18008 unless LARKSPIRE_HOST and LARKSPIRE_PORT say
// otherwise; the options win over both. LARKSPIRE_TLS=1 connects with TLS, and
// LARKSPIRE_TLS_CA names the CA file that signs the server's certificate (TLS on too).
// LARKSPIRE_USER and LARKSPIRE_PASSWORD give the user the connection logs in as and its password.
//
// Thread-safety: none needed (pure functions).
#ifndef LARKSPIRE_DEMO_DEMO_OPTIONS_H_
#define LARKSPIRE_DEMO_DEMO_OPTIONS_H_

#include <functional>
#include <string>
#include <vector>

#include "demo/main_form.h"

namespace larkspire {

struct TDemoOptions {
  TDemoServer Server;
  // Empty: open the window.
  std::string ScreenshotDir;
  // Set when the program should stop at once: with Output on stdout (help) or stderr (an
  // error), and ExitCode.
  bool Exit = false;
  int ExitCode = 0;
  std::string Output;
};

// env looks up an environment variable (null when unset).
TDemoOptions ParseDemoOptions(const std::vector<std::string>& args,
                              const std::function<const char*(const char*)>& env);

}  // namespace larkspire

#endif  // LARKSPIRE_DEMO_DEMO_OPTIONS_H_
