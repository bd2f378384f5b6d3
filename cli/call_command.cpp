// larkspire call PLUGIN NAME:TYPE=VALUE... [--out FILE]: calls a server plug-in and prints the
// parameters of its answer, one a line, in the same NAME:TYPE=VALUE form.
//
// Types: int, int64, string, bool (true/false, 1/0, yes/no), double, extended, and file (the
// value is a local file whose bytes are sent as a stream). Stream values of the answer are
// written to the file given by --out (with several, to FILE.NAME each) and printed as their size.
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <iostream>
#include <string>
#include <system_error>
#include <vector>

#include "cli/commands.h"
#include "cli/terminal_text.h"
#include "components/connection.h"
#include "components/plugin_call.h"
#include "platform/exception.h"
#include "platform/stream.h"

namespace larkspire::cli {
namespace {

struct TCallArgs {
  std::string plugin;
  std::vector<std::string> params;
  std::string out;
};

std::string Lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

[[noreturn]] void BadParam(const std::string& param, const std::string& why) {
  throw Exception("parameter \"" + param + "\": " + why);
}

template <typename T>
T ParseInteger(const std::string& param, const std::string& text, const char* what) {
  T value{};
  const char* end = text.data() + text.size();
  const char* start = text.data() + (!text.empty() && text[0] == '+' ? 1 : 0);
  auto [ptr, error] = std::from_chars(start, end, value);
  if (text.empty() || error != std::errc() || ptr != end)
    BadParam(param, std::string("not ") + what);
  return value;
}

template <typename T, typename TParse>
T ParseFloat(const std::string& param, const std::string& text, TParse parse, const char* what) {
  errno = 0;
  char* end = nullptr;
  const T value = parse(text.c_str(), &end);
  if (text.empty() || end != text.c_str() + text.size() || errno == ERANGE) {
    BadParam(param, std::string("not ") + what);
  }
  return value;
}

// Stores one NAME:TYPE=VALUE argument into the request.
void AddParam(TLarkspirePluginData& request, const std::string& param) {
  const size_t equals = param.find('=');
  if (equals == std::string::npos) BadParam(param, "expected NAME:TYPE=VALUE");
  const size_t colon = param.rfind(':', equals);
  if (colon == std::string::npos || colon == 0) BadParam(param, "expected NAME:TYPE=VALUE");
  const std::string name = param.substr(0, colon);
  const std::string type = Lower(param.substr(colon + 1, equals - colon - 1));
  const std::string value = param.substr(equals + 1);
  TLarkspirePluginParam& target = request.Param(name);
  if (type == "int") {
    target.SetAsInteger(ParseInteger<int32_t>(param, value, "a 32-bit integer"));
  } else if (type == "int64") {
    target.SetAsInt64(ParseInteger<int64_t>(param, value, "a 64-bit integer"));
  } else if (type == "string") {
    target.SetAsString(value);
  } else if (type == "bool") {
    const std::string v = Lower(value);
    if (v == "true" || v == "1" || v == "yes")
      target.SetAsBoolean(true);
    else if (v == "false" || v == "0" || v == "no")
      target.SetAsBoolean(false);
    else
      BadParam(param, "not true or false");
  } else if (type == "double") {
    target.SetAsDouble(ParseFloat<double>(param, value, std::strtod, "a number"));
  } else if (type == "extended") {
    target.SetAsExtended(ParseFloat<long double>(param, value, std::strtold, "a number"));
  } else if (type == "file") {
    TFileStream file(value, TFileMode::fmOpenRead);
    target.SetAsStream(file);
  } else {
    BadParam(param,
             "unknown type \"" + type + "\" (int, int64, string, bool, double, extended or file)");
  }
}

template <typename T>
std::string Shortest(T value) {
  char buffer[64];
  auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
  return error == std::errc() ? std::string(buffer, end) : std::string("?");
}

// A parameter name from the server as part of a local file name: never a folder separator,
// so the file stays beside --out whatever the name says.
std::string FileNamePart(const std::string& name) {
  std::string part = name;
  for (char& c : part)
    if (c == '/' || c == '\\' || c == '\0') c = '_';
  return part;
}

int RunCall(const TClientOptions& options, const TCallArgs& args) {
  TLarkspireConnection connection;
  options.Configure(connection);
  TLarkspirePluginCall call;
  call.SetName("PluginCall");
  call.SetConnection(&connection);
  for (const std::string& param : args.params) AddParam(call.Request(), param);
  if (!call.Execute(args.plugin)) {
    std::cerr << "error: the call was not carried out\n";
    return 1;
  }
  TLarkspirePluginData& answer = call.Response();
  int streams = 0;
  for (int i = 0; i < answer.Count(); ++i) streams += answer.Items(i).DataType() == pdtStream;
  for (int i = 0; i < answer.Count(); ++i) {
    TLarkspirePluginParam& p = answer.Items(i);
    std::cout << TerminalSafe(p.Name()) << ":";
    switch (p.DataType()) {
      case pdtInteger:
        std::cout << "int=" << p.GetAsInteger();
        break;
      case pdtInt64:
        std::cout << "int64=" << p.GetAsInt64();
        break;
      case pdtString:
        std::cout << "string=" << TerminalSafe(p.GetAsString());
        break;
      case pdtBoolean:
        std::cout << "bool=" << (p.GetAsBoolean() ? "true" : "false");
        break;
      case pdtDouble:
        std::cout << "double=" << Shortest(p.GetAsDouble());
        break;
      case pdtExtended:
        std::cout << "extended=" << Shortest(p.GetAsExtended());
        break;
      case pdtStream: {
        std::cout << "stream=<" << p.DataSize() << " bytes";
        if (args.out.empty()) {
          std::cout << "; --out FILE saves them>";
        } else {
          const std::string path =
              streams == 1 ? args.out : args.out + "." + FileNamePart(p.Name());
          TFileStream file(path, TFileMode::fmCreate);
          file.CopyFrom(p.GetAsStream(), 0);
          std::cout << " written to " << TerminalSafe(path) << ">";
        }
        break;
      }
      default:
        std::cout << "type" << static_cast<int>(p.DataType()) << "=<" << p.DataSize() << " bytes>";
    }
    std::cout << "\n";
  }
  return 0;
}

}  // namespace

void AddCallCommand(CLI::App& app, const TClientOptions& options, TRunFunction& run) {
  auto args = std::make_shared<TCallArgs>();
  CLI::App* call = app.add_subcommand(
      "call", "Call a server plug-in with NAME:TYPE=VALUE parameters and print its answer");
  call->add_option("plugin", args->plugin, "the plug-in's name, e.g. PluginSample")->required();
  call->add_option("params", args->params,
                   "NAME:TYPE=VALUE, TYPE one of int, int64, string, bool, double, extended, "
                   "file");
  call->add_option("--out", args->out, "file for a stream value of the answer");
  call->callback(
      [&options, &run, args] { run = [&options, args] { return RunCall(options, *args); }; });
}

}  // namespace larkspire::cli
