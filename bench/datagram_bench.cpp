// The reliable datagram transport on loopback: a 64 MiB message between two engines against a
// raw TCP copy of the same bytes, and against the ceiling that its system calls set.
//
// Engine64MiB links two TSuperUdpSocket engines and sends one 64 MiB message through the
// sending window; it counts the datagram system calls (sendto and recvmsg) of both engines.
// RawTcp64MiB copies the same bytes through one loopback TCP connection in 64 KiB pieces.
// UdpCeiling moves as many 1049-byte datagrams with one 56-byte answer each as the engine
// does, with no protocol work at all: one thread sends while fewer than 100 are unanswered and
// reads answers, another reads datagrams and answers each; this is the rate the system calls
// allow. Direct5MiB sends 5 MiB engine to engine; LossFree5MiB and Lossy5MiB send it through a
// relay (one thread, both directions) that passes everything or drops 5%, duplicates 1% and
// reorders 5% of the datagrams.
//
// The summary prints the throughput of each, Engine / RawTcp, Engine / UdpCeiling, the windows
// reached, CPU time per megabyte and system calls per packet, and Lossy / LossFree (target: at
// most 3) and Lossy / Direct. LaterMessages sends 200 messages of 1 MiB over one link through
// the lossy relay and prints the 200th against the first (target: at most 1.2). On a machine shared
// with other work the CPU time per megabyte is the steadier figure.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/datagram_doubles.h"
#include "transport/datagram_socket.h"
#include "transport/sending_window.h"

namespace larkspire {
namespace {

constexpr int64_t kBigMessage = int64_t{64} << 20;
constexpr int64_t kSmallMessage = int64_t{5} << 20;

double ProcessCpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct TFigures {
  double seconds = 0;  // best wall time
  double cpu = 0;      // CPU seconds of that run
  double syscalls = 0;
  uint32_t final_window = 0;
  uint32_t largest_window = 0;
  uint64_t resends = 0;
};

std::map<std::string, TFigures>& Results() {
  static std::map<std::string, TFigures> results;
  return results;
}

void Record(const std::string& name, const TFigures& figures) {
  TFigures& best = Results()[name];
  if (best.seconds == 0 || figures.seconds < best.seconds) best = figures;
}

const std::string& Bytes() {
  static const std::string bytes = [] {
    std::string b(static_cast<size_t>(kBigMessage), '\0');
    std::mt19937 random(5);
    for (size_t i = 0; i + 4 <= b.size(); i += 4) {
      const uint32_t v = random();
      std::memcpy(&b[i], &v, 4);
    }
    return b;
  }();
  return bytes;
}

// Sends size bytes from a to b (directly or through a relay); true when they arrived intact.
bool SendBetweenEngines(int64_t size, const test::TRelayFaults* faults, TFigures& figures,
                        test::TFaultDatagramApi& api) {
  // Declared before the engines, which wait for their deliveries when they go.
  std::atomic<bool> intact{false};
  std::atomic<bool> arrived{false};
  TSuperUdpSocket a("127.0.0.1", 0, 0), b("127.0.0.1", 0, 0);
  b.OnRecvStream = [&](const std::string&, int, TStream& stream, TDataProcessModule*) {
    auto& memory = static_cast<TMemoryStream&>(stream);
    intact = memory.Size() == size && std::memcmp(memory.Memory(), Bytes().data(), size) == 0;
    arrived = true;
  };
  std::unique_ptr<test::TLossyRelay> relay;
  if (faults != nullptr) relay = std::make_unique<test::TLossyRelay>(b.Port(), *faults);
  if (!a.OpenLink("127.0.0.1", relay ? relay->ClientPort() : b.Port(), "bench")) return false;
  TMemoryStream source;
  source.WriteBuffer(Bytes().data(), size);
  source.SetPosition(0);
  const int calls_before = api.SendCalls() + api.ReceiveCalls();
  const double cpu_before = ProcessCpuSeconds();
  const auto started = std::chrono::steady_clock::now();
  TSendReport report;
  const bool sent = a.SendStream(source, &report);
  while (sent && !arrived) std::this_thread::sleep_for(std::chrono::microseconds(200));
  figures.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  figures.cpu = ProcessCpuSeconds() - cpu_before;
  figures.syscalls = api.SendCalls() + api.ReceiveCalls() - calls_before;
  figures.final_window = report.FinalWindow;
  figures.largest_window = report.LargestWindow;
  figures.resends = report.Resends;
  return sent && intact;
}

void RunEngine(benchmark::State& state, const std::string& name, int64_t size,
               const test::TRelayFaults* faults) {
  test::TFaultDatagramApi api;
  test::TDatagramApiGuard guard(api);
  for (auto _ : state) {
    TFigures figures;
    if (!SendBetweenEngines(size, faults, figures, api)) {
      state.SkipWithError("the message did not arrive intact");
      return;
    }
    state.SetIterationTime(figures.seconds);
    Record(name, figures);
  }
  state.SetBytesProcessed(state.iterations() * size);
}

void Engine64MiB(benchmark::State& state) {
  RunEngine(state, "Engine", kBigMessage, nullptr);
}

void Direct5MiB(benchmark::State& state) {
  RunEngine(state, "Direct", kSmallMessage, nullptr);
}

void LossFree5MiB(benchmark::State& state) {
  test::TRelayFaults none;
  RunEngine(state, "LossFree", kSmallMessage, &none);
}

void Lossy5MiB(benchmark::State& state) {
  test::TRelayFaults faults;
  faults.drop = 0.05;
  faults.duplicate = 0.01;
  faults.reorder = 0.05;
  faults.seed = static_cast<uint32_t>(state.iterations() + 11);
  RunEngine(state, "Lossy", kSmallMessage, &faults);
}

// 200 messages of 1 MiB one after another over one link through the lossy relay: tickets go
// on counting over the messages, and a later message must be as quick as the first.
void LaterMessages(benchmark::State& state) {
  constexpr int kMessages = 200;
  constexpr int64_t kSize = int64_t{1} << 20;
  test::TRelayFaults faults;
  faults.drop = 0.05;
  faults.duplicate = 0.01;
  faults.reorder = 0.05;
  for (auto _ : state) {
    std::atomic<int> arrived{0};
    std::atomic<bool> intact{true};
    TSuperUdpSocket a("127.0.0.1", 0, 0);
    TSuperUdpSocket b("127.0.0.1", 0, 0, TDatagramTiming{}, [&](TSuperUdpSocket& socket) {
      socket.OnRecvStream = [&](const std::string&, int, TStream& stream, TDataProcessModule*) {
        auto& memory = static_cast<TMemoryStream&>(stream);
        if (memory.Size() != kSize || std::memcmp(memory.Memory(), Bytes().data(), kSize) != 0) {
          intact = false;
        }
        ++arrived;
      };
    });
    test::TLossyRelay relay(b.Port(), faults);
    if (!a.OpenLink("127.0.0.1", relay.ClientPort(), "bench")) {
      state.SkipWithError("no link");
      return;
    }
    std::vector<double> seconds;
    double total = 0;
    for (int i = 0; i < kMessages; ++i) {
      TMemoryStream source;
      source.WriteBuffer(Bytes().data(), kSize);
      source.SetPosition(0);
      const auto started = std::chrono::steady_clock::now();
      const bool sent = a.SendStream(source);
      while (sent && arrived.load() <= i)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      if (!sent || !intact) {
        state.SkipWithError("a message did not arrive intact");
        return;
      }
      seconds.push_back(
          std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
      total += seconds.back();
    }
    state.SetIterationTime(total);
    TFigures first, later, first10, last10;
    first.seconds = seconds.front();
    later.seconds = seconds.back();
    for (int i = 0; i < 10; ++i) {
      first10.seconds += seconds[i] / 10;
      last10.seconds += seconds[kMessages - 1 - i] / 10;
    }
    Results()["LaterFirst"] = first;
    Results()["Later200th"] = later;
    Results()["LaterFirst10"] = first10;
    Results()["LaterLast10"] = last10;
  }
}

int LoopbackSocket(int type, sockaddr_in& address) {
  const int fd = ::socket(AF_INET, type, 0);
  address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  const int buffer = 4 * 1024 * 1024;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
  return fd;
}

void RawTcp64MiB(benchmark::State& state) {
  for (auto _ : state) {
    sockaddr_in address{};
    const int listener = LoopbackSocket(SOCK_STREAM, address);
    ::listen(listener, 1);
    const double cpu_before = ProcessCpuSeconds();
    const auto started = std::chrono::steady_clock::now();
    std::thread sender([&] {
      const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
      ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
      for (int64_t done = 0; done < kBigMessage;) {
        const ssize_t n =
            ::send(fd, Bytes().data() + done,
                   static_cast<size_t>(std::min<int64_t>(65536, kBigMessage - done)), MSG_NOSIGNAL);
        if (n <= 0) break;
        done += n;
      }
      ::close(fd);
    });
    const int peer = ::accept(listener, nullptr, nullptr);
    std::string copy(static_cast<size_t>(kBigMessage), '\0');
    int64_t received = 0;
    for (;;) {
      const ssize_t n =
          ::recv(peer, copy.data() + received,
                 static_cast<size_t>(std::min<int64_t>(65536, kBigMessage - received)), 0);
      if (n <= 0) break;
      received += n;
    }
    sender.join();
    TFigures figures;
    figures.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    figures.cpu = ProcessCpuSeconds() - cpu_before;
    ::close(peer);
    ::close(listener);
    if (received != kBigMessage || copy != Bytes()) {
      state.SkipWithError("the copy differs");
      return;
    }
    state.SetIterationTime(figures.seconds);
    Record("RawTcp", figures);
  }
  state.SetBytesProcessed(state.iterations() * kBigMessage);
}

void UdpCeiling(benchmark::State& state) {
  constexpr int64_t kPackets = kBigMessage / 1024;
  for (auto _ : state) {
    sockaddr_in a_address{}, b_address{};
    const int a = LoopbackSocket(SOCK_DGRAM, a_address);
    const int b = LoopbackSocket(SOCK_DGRAM, b_address);
    char packet[kDataPacketSize] = {5};
    const double cpu_before = ProcessCpuSeconds();
    const auto started = std::chrono::steady_clock::now();
    std::thread answerer([&] {
      char buffer[8192];
      char answer[kAckSize] = {6};
      for (int64_t i = 0; i < kPackets; ++i) {
        sockaddr_in from{};
        socklen_t length = sizeof from;
        if (::recvfrom(b, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length) <=
            0)
          break;
        ::sendto(b, answer, sizeof answer, 0, reinterpret_cast<sockaddr*>(&from), length);
      }
    });
    int64_t sent = 0, answered = 0;
    char buffer[8192];
    while (answered < kPackets) {
      while (sent < kPackets && sent - answered < static_cast<int64_t>(kMaxWindow)) {
        ::sendto(a, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&b_address),
                 sizeof b_address);
        ++sent;
      }
      if (::recv(a, buffer, sizeof buffer, 0) <= 0) break;
      ++answered;
    }
    answerer.join();
    TFigures figures;
    figures.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    figures.cpu = ProcessCpuSeconds() - cpu_before;
    figures.syscalls = 4.0 * kPackets;
    ::close(a);
    ::close(b);
    state.SetIterationTime(figures.seconds);
    Record("UdpCeiling", figures);
  }
  state.SetBytesProcessed(state.iterations() * kBigMessage);
}

BENCHMARK(Engine64MiB)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(RawTcp64MiB)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(UdpCeiling)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(Direct5MiB)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(LossFree5MiB)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(Lossy5MiB)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(LaterMessages)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);

void PrintSummary() {
  auto& r = Results();
  auto mbps = [](const TFigures& f, int64_t size) { return size / f.seconds / 1e6; };
  const TFigures& engine = r["Engine"];
  const TFigures& tcp = r["RawTcp"];
  const TFigures& ceiling = r["UdpCeiling"];
  if (engine.seconds > 0 && tcp.seconds > 0 && ceiling.seconds > 0) {
    const double packets = kBigMessage / 1024.0;
    std::printf("\n64 MiB on loopback (best of 5):\n");
    std::printf(
        "  engine      %7.1f MB/s  %5.2f ms CPU/MB  window %u at the end, %u largest, %llu "
        "resends\n",
        mbps(engine, kBigMessage), engine.cpu * 1e3 / (kBigMessage / 1e6), engine.final_window,
        engine.largest_window, static_cast<unsigned long long>(engine.resends));
    std::printf("  raw TCP     %7.1f MB/s  %5.2f ms CPU/MB\n", mbps(tcp, kBigMessage),
                tcp.cpu * 1e3 / (kBigMessage / 1e6));
    std::printf(
        "  UDP ceiling %7.1f MB/s  %5.2f ms CPU/MB  (4 system calls per packet, no protocol "
        "work)\n",
        mbps(ceiling, kBigMessage), ceiling.cpu * 1e3 / (kBigMessage / 1e6));
    std::printf("  engine / raw TCP:     %.3f\n",
                mbps(engine, kBigMessage) / mbps(tcp, kBigMessage));
    std::printf("  engine / UDP ceiling: %.3f\n",
                mbps(engine, kBigMessage) / mbps(ceiling, kBigMessage));
    std::printf(
        "  engine system calls: %.2f per packet, %.0f per second (ceiling: %.0f per second)\n",
        engine.syscalls / packets, engine.syscalls / engine.seconds,
        ceiling.syscalls / ceiling.seconds);
  }
  const TFigures& clean = r["LossFree"];
  const TFigures& lossy = r["Lossy"];
  if (clean.seconds > 0 && lossy.seconds > 0) {
    std::printf(
        "\n5 MiB through the relay (best of 5): loss-free %.1f ms, lossy %.1f ms (%llu resends)\n",
        clean.seconds * 1e3, lossy.seconds * 1e3, static_cast<unsigned long long>(lossy.resends));
    std::printf("  lossy / loss-free: %.2f (target: at most 3)\n", lossy.seconds / clean.seconds);
    const TFigures& direct = r["Direct"];
    if (direct.seconds > 0) {
      std::printf("  without the relay %.1f ms; lossy / direct: %.2f\n", direct.seconds * 1e3,
                  lossy.seconds / direct.seconds);
    }
  }
  const TFigures& first = r["LaterFirst"];
  const TFigures& later = r["Later200th"];
  if (first.seconds > 0 && later.seconds > 0) {
    std::printf(
        "\n200 messages of 1 MiB on one link through the lossy relay: first %.1f ms, 200th %.1f "
        "ms\n",
        first.seconds * 1e3, later.seconds * 1e3);
    std::printf("  200th / first: %.2f (target: at most 1.2); last 10 / first 10: %.2f\n",
                later.seconds / first.seconds,
                r["LaterLast10"].seconds / r["LaterFirst10"].seconds);
  }
}

}  // namespace
}  // namespace larkspire

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  larkspire::PrintSummary();
  return 0;
}
