// Fuzzes the reliable datagram engine with every datagram kind: link and unlink requests and
// replies, data packets and their acknowledgements, keep-alives, load queries and records, and
// raw datagrams, from two peers, through TSuperUdpProctol::ProcessDatagram (no socket).
//
// An input is a sequence of datagrams, each a flag byte, a 2-byte little-endian length and the
// bytes. Flag bit 0 addresses the datagram to the channel the engine keeps for its peer (its
// receiver field is overwritten with that channel's id, which the fuzzer cannot guess); bit 1
// sends it from the second peer; bits 2 to 4 add 0 to 7 to the port, so one address can ask
// for more channels than it may hold; bit 5 sends it from a second address.
//
// The engine runs with small caps (4 channels an address, 256 KiB of reassembly memory an
// address, 384 KiB in all, 1 MiB a message); a sequence that leaves more memory taken than the
// caps allow, or memory taken by a channel that has none, aborts.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/stream.h"
#include "transport/datagram_engine.h"
#include "transport/datagram_packets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace larkspire;
  TSuperUdpProctol engine;
  engine.OnLinkRequest = [](const std::string&, int, const std::string& text) -> int32_t {
    return text == "refuse" ? 100021 : 0;
  };
  engine.OnQueryLoad = [] { return 7; };
  engine.OnRecvText = [](const std::string&, int, const std::string& text, TDataProcessModule*) {
    volatile size_t seen = text.size();
    (void)seen;
  };
  engine.OnRecvStream = [](const std::string&, int, TStream& stream, TDataProcessModule*) {
    volatile int64_t seen = stream.Size();
    (void)seen;
  };
  engine.OnRawData = [](const std::string&, int, const uint8_t*, size_t) {};
  TDatagramLimits limits;
  limits.MaxChannelsPerAddress = 4;
  limits.MaxAddressReassemblyBytes = 256 * 1024;
  limits.MaxReassemblyBytes = 384 * 1024;
  limits.MaxMessageBytes = 1 << 20;
  engine.SetLimits(limits);
  engine.OnRecvRecord = [](const std::string&, int, const uint8_t*) {};

  std::vector<uint8_t> datagram;
  size_t at = 0;
  while (at + 3 <= size) {
    const uint8_t flags = data[at];
    const size_t length = std::min<size_t>(data[at + 1] | data[at + 2] << 8, size - at - 3);
    datagram.assign(data + at + 3, data + at + 3 + length);
    at += 3 + length;
    const int port = ((flags & 2) ? 40002 : 40001) + 2 * ((flags >> 2) & 7);
    const char* ip = (flags & 32) ? "127.0.0.2" : "127.0.0.1";
    if ((flags & 1) && datagram.size() >= kDatagramHeaderSize) {
      PutU32(datagram.data() + datagram_offset::kReceiverChannel, engine.FindChannel(ip, port));
    }
    engine.ProcessDatagram(ip, port, datagram.data(), datagram.size());
    if (engine.ReassemblyBytes() > static_cast<int64_t>(limits.MaxReassemblyBytes) ||
        engine.ReassemblyBytesOf(ip) > static_cast<int64_t>(limits.MaxAddressReassemblyBytes)) {
      __builtin_trap();
    }
  }
  return 0;
}
