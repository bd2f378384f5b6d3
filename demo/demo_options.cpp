#include "demo/demo_options.h"

#include <charconv>

namespace larkspire {
namespace {

constexpr const char* kUsage =
    "usage: larkspire-demo [--host HOST] [--port PORT] [--screenshot DIR]\n"
    "  --host HOST       the server's host (LARKSPIRE_HOST; default 127.0.0.1)\n"
    "  --port PORT       the server's port (LARKSPIRE_PORT; default 18008)\n"
    "  LARKSPIRE_TLS=1 connects with TLS; LARKSPIRE_TLS_CA names the CA file that signs the\n"
    "  server's certificate (default: the system's store, and TLS on)\n"
    "  --screenshot DIR  run offscreen, perform each page's main action and save the pictures\n"
    "                    of the pages, the product dialog and the wait window into DIR\n"
    "LARKSPIRE_USER and LARKSPIRE_PASSWORD give the user to log in as and the password.\n";

bool ParsePort(const std::string& text, int& port) {
  int value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || ptr != end || value < 1 || value > 65535) return false;
  port = value;
  return true;
}

TDemoOptions Fail(TDemoOptions options, const std::string& message) {
  options.Exit = true;
  options.ExitCode = 2;
  options.Output = "larkspire-demo: " + message + "\n" + kUsage;
  return options;
}

}  // namespace

TDemoOptions ParseDemoOptions(const std::vector<std::string>& args,
                              const std::function<const char*(const char*)>& env) {
  TDemoOptions options;
  if (const char* host = env("LARKSPIRE_HOST"); host != nullptr && *host != '\0') {
    options.Server.Host = host;
  }
  if (const char* port = env("LARKSPIRE_PORT"); port != nullptr && *port != '\0') {
    if (!ParsePort(port, options.Server.Port)) {
      return Fail(options, "LARKSPIRE_PORT \"" + std::string(port) + "\" is not a port number");
    }
  }
  if (const char* tls = env("LARKSPIRE_TLS"); tls != nullptr && *tls != '\0') {
    const std::string text = tls;
    if (text == "1" || text == "true" || text == "yes" || text == "on") {
      options.Server.UseTls = true;
    } else if (text != "0" && text != "false" && text != "no" && text != "off") {
      return Fail(options, "LARKSPIRE_TLS \"" + text + "\" is neither 1 nor 0");
    }
  }
  if (const char* ca = env("LARKSPIRE_TLS_CA"); ca != nullptr && *ca != '\0') {
    options.Server.TlsCaFile = ca;
    options.Server.UseTls = true;
  }
  if (const char* user = env("LARKSPIRE_USER"); user != nullptr) options.Server.User = user;
  if (const char* password = env("LARKSPIRE_PASSWORD"); password != nullptr) {
    options.Server.Password = password;
  }
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      options.Exit = true;
      options.Output = kUsage;
      return options;
    }
    std::string name = arg;
    std::string value;
    bool has_value = false;
    if (auto equals = arg.find('='); arg.rfind("--", 0) == 0 && equals != std::string::npos) {
      name = arg.substr(0, equals);
      value = arg.substr(equals + 1);
      has_value = true;
    }
    if (name != "--host" && name != "--port" && name != "--screenshot") {
      return Fail(options, "unknown argument \"" + arg + "\"");
    }
    if (!has_value) {
      if (i + 1 >= args.size()) return Fail(options, name + " needs a value");
      value = args[++i];
    }
    if (name == "--host") {
      if (value.empty()) return Fail(options, "--host needs a host name");
      options.Server.Host = value;
    } else if (name == "--port") {
      if (!ParsePort(value, options.Server.Port)) {
        return Fail(options, "--port \"" + value + "\" is not a port number");
      }
    } else {
      if (value.empty()) return Fail(options, "--screenshot needs a folder");
      options.ScreenshotDir = value;
    }
  }
  return options;
}

}  // namespace larkspire
