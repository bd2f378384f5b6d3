// larkspire udp listen|send|load: the reliable datagram transport from the command line, so
// that other peers can be tried against ours.
#include <openssl/evp.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <string>

#include "cli/commands.h"
#include "platform/stream.h"
#include "transport/datagram_socket.h"
#include "transport/tcp_client.h"

namespace larkspire::cli {
namespace {

struct TUdpOptions {
  std::string bind = "0.0.0.0";
  int port = 0;
  int count = 0;
  std::string host;
  int peer_port = 0;
  std::string file;
  TDatagramLimits limits;
};

std::string Sha256Hex(const uint8_t* bytes, size_t size) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes, size, digest, &length, EVP_sha256(), nullptr);
  std::string hex;
  char pair[3];
  for (unsigned int i = 0; i < length; ++i) {
    std::snprintf(pair, sizeof pair, "%02x", digest[i]);
    hex += pair;
  }
  return hex;
}

// "ip:port", an IPv6 address in brackets.
std::string PeerText(const std::string& ip, int port) {
  const bool v6 = ip.find(':') != std::string::npos;
  return (v6 ? "[" + ip + "]" : ip) + ":" + std::to_string(port);
}

// The local address that reaches host: every IPv4 interface, or both families for an IPv6 peer.
std::string LocalAddressFor(const std::string& host) {
  return ResolveHost(host).find(':') != std::string::npos ? "::" : "0.0.0.0";
}

// Prints one line at a time from whichever thread an event runs on.
class TPrinter {
 public:
  void Line(const std::string& text) {
    std::lock_guard lock(mutex_);
    std::cout << text << std::endl;
  }

 private:
  std::mutex mutex_;
};

int RunListen(const TUdpOptions& options) {
  TPrinter out;
  std::mutex mutex;
  std::condition_variable done;
  int messages = 0;
  auto message = [&](const std::string& ip, int port, const uint8_t* bytes, size_t size,
                     const char* kind) {
    out.Line(std::string(kind) + " message from " + PeerText(ip, port) + ": " +
             std::to_string(size) + " bytes, sha256 " + Sha256Hex(bytes, size));
    std::lock_guard lock(mutex);
    ++messages;
    done.notify_all();
  };
  // The events and caps are in place before the first datagram is received.
  TSuperUdpSocket socket(
      options.bind, options.port, 0, TDatagramTiming{}, [&](TSuperUdpSocket& socket) {
        socket.SetLimits(options.limits);
        socket.OnRecvStream = [&](const std::string& ip, int port, TStream& stream,
                                  TDataProcessModule*) {
          auto& memory = static_cast<TMemoryStream&>(stream);
          message(ip, port, memory.Memory(), static_cast<size_t>(memory.Size()), "stream");
        };
        socket.OnRecvText = [&](const std::string& ip, int port, const std::string& text,
                                TDataProcessModule*) {
          message(ip, port, reinterpret_cast<const uint8_t*>(text.data()), text.size(), "text");
        };
        socket.OnLinkRequest = [&](const std::string& ip, int port, const std::string& text) {
          out.Line("channel opened for " + PeerText(ip, port) + " \"" + text + "\"");
          return 0;
        };
        socket.OnChannelClosed = [&](TDataProcessModule* module, int reason) {
          out.Line("channel closed for " + PeerText(module->PeerIP(), module->PeerPort()) +
                   (reason == 0 ? " (unlinked)" : " (expired)"));
        };
      });
  out.Line("listening on " + std::to_string(socket.Port()));
  std::unique_lock lock(mutex);
  done.wait(lock, [&] { return options.count > 0 && messages >= options.count; });
  return 0;
}

int RunSend(const TUdpOptions& options) {
  TFileStream file(options.file, TFileMode::fmOpenRead);
  TSuperUdpSocket socket(LocalAddressFor(options.host), 0, 0);
  if (!socket.OpenLink(options.host, options.peer_port, "larkspire udp send")) {
    std::cerr << "could not link to " << options.host << ":" << options.peer_port;
    if (socket.LinkState() == lsRefused)
      std::cerr << " (refused, code " << socket.RefuseCode() << ")";
    std::cerr << "\n";
    return 1;
  }
  TSendReport report;
  const bool sent = socket.SendStream(file, &report);
  const double seconds = report.Seconds > 0 ? report.Seconds : 0.001;
  char line[256];
  std::snprintf(line, sizeof line,
                "%s %llu bytes in %.3f s: %.1f MB/s, final window %u (largest %u), %llu resends",
                sent ? "sent" : "failed after", static_cast<unsigned long long>(report.Bytes),
                seconds, report.Bytes / seconds / 1e6, report.FinalWindow, report.LargestWindow,
                static_cast<unsigned long long>(report.Resends));
  std::cout << line << "\n";
  return sent ? 0 : 1;
}

int RunLoad(const TUdpOptions& options) {
  TSuperUdpSocket socket(LocalAddressFor(options.host), 0, 0);
  if (!socket.QueryLoad(options.host, options.peer_port, 2000)) {
    std::cerr << "no answer from " << options.host << ":" << options.peer_port << "\n";
    return 1;
  }
  std::cout << "load " << socket.RemoteLoad() << "\n";
  return 0;
}

}  // namespace

void AddUdpCommand(CLI::App& app, TRunFunction& run) {
  static TUdpOptions options;
  CLI::App* udp = app.add_subcommand("udp", "The reliable datagram transport");
  udp->require_subcommand(1);

  CLI::App* listen = udp->add_subcommand(
      "listen", "Answer peers; print each complete message (size, SHA-256) and channel");
  listen->add_option("--bind", options.bind, "Local address")->capture_default_str();
  listen->add_option("--port", options.port, "Local port (0: any free one)")
      ->check(CLI::Range(0, 65535));
  listen->add_option("--count", options.count, "Stop after this many messages (0: never)")
      ->check(CLI::NonNegativeNumber);
  listen
      ->add_option("--max-message", options.limits.MaxMessageBytes,
                   "The largest message a channel assembles, in bytes")
      ->capture_default_str()
      ->check(CLI::Range(uint64_t{1}, uint64_t{kMaxMessagePackets} * kPacketPayloadSize));
  listen
      ->add_option("--max-channels-per-address", options.limits.MaxChannelsPerAddress,
                   "Channels one address may hold")
      ->capture_default_str();
  listen
      ->add_option("--max-reassembly", options.limits.MaxReassemblyBytes,
                   "Memory of the messages being assembled or handed over, in bytes")
      ->capture_default_str();
  listen
      ->add_option("--max-address-reassembly", options.limits.MaxAddressReassemblyBytes,
                   "... of the messages of one address, in bytes")
      ->capture_default_str();
  listen->callback([&run] { run = [] { return RunListen(options); }; });

  CLI::App* send = udp->add_subcommand("send", "Link to a peer and send a file as one message");
  send->add_option("HOST", options.host)->required();
  send->add_option("PORT", options.peer_port)->required()->check(CLI::Range(1, 65535));
  send->add_option("FILE", options.file)->required()->check(CLI::ExistingFile);
  send->callback([&run] { run = [] { return RunSend(options); }; });

  CLI::App* load = udp->add_subcommand("load", "Ask a peer for its load");
  load->add_option("HOST", options.host)->required();
  load->add_option("PORT", options.peer_port)->required()->check(CLI::Range(1, 65535));
  load->callback([&run] { run = [] { return RunLoad(options); }; });
}

}  // namespace larkspire::cli
