// A 256 MiB file download over loopback against a raw TCP copy of the same bytes, and the same
// download over TLS against it in plaintext (target: at most 1.3).
//
// Download runs TLarkspireUpdateFile::DownloadFile against an in-process server serving a
// folder that holds the file (information exchange, block packets, the local file written).
// RawCopy sends the same 256 MiB from memory through one loopback socket to another and writes
// what arrives, 1 MiB at a time, into a file in the same local folder (overwriting the copy of
// the previous round, as the download does). Both are measured in wall time; the summary prints
// Download / RawCopy (target: at most 1.3), and the same ratio of the CPU time that every thread
// of the process spent, which a busy machine disturbs less. LK_BENCH_LOCAL names another local
// file for the download (one on a memory file system, say, to leave the disk's write-back out);
// the raw copy then writes beside it.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "components/update_file.h"
#include "server/net/server.h"

namespace larkspire {
namespace {

namespace fs = std::filesystem;

constexpr int64_t kFileSize = int64_t{256} << 20;

// CPU seconds of the whole process (every thread: the client, the in-process server or the
// sending thread).
double ProcessCpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::map<std::string, double>& Seconds() {
  static std::map<std::string, double> seconds;
  return seconds;
}

struct TBenchFiles {
  fs::path folder;
  std::string bytes;
  std::unique_ptr<server::TServer> server;
  // The same folder served over TLS (a certificate made by the openssl command, its own CA);
  // null when the certificate could not be made.
  std::unique_ptr<server::TServer> tls_server;
  std::string tls_ca;

  TBenchFiles() {
    folder = fs::temp_directory_path() / ("lk-download-bench-" + std::to_string(::getpid()));
    fs::create_directories(folder / "served");
    bytes.resize(static_cast<size_t>(kFileSize));
    uint64_t state = 88172645463325252ull;
    for (size_t i = 0; i < bytes.size(); i += 8) {
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      std::memcpy(&bytes[i], &state, 8);
    }
    std::ofstream(folder / "served" / "big.bin", std::ios::binary) << bytes;
    server::TServerOptions options;
    options.Port = 0;
    options.DataDir = (folder / "data").string();
    options.FilesDir = (folder / "served").string();
    server = std::make_unique<server::TServer>(options);
    server->Start();
    tls_ca = (folder / "tls.pem").string();
    const std::string make_certificate =
        "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost -addext "
        "subjectAltName=IP:127.0.0.1 -keyout " +
        (folder / "tls.key").string() + " -out " + tls_ca + " >/dev/null 2>&1";
    if (std::system(make_certificate.c_str()) == 0) {
      options.TlsCert = tls_ca;
      options.TlsKey = (folder / "tls.key").string();
      tls_server = std::make_unique<server::TServer>(options);
      tls_server->Start();
    }
  }
  ~TBenchFiles() {
    server.reset();
    tls_server.reset();
    fs::remove_all(folder);
  }
};

TBenchFiles& Files() {
  static TBenchFiles files;
  return files;
}

// Where the download writes its file; the raw copy writes "raw.bin" in the same folder.
std::string LocalPath(const TBenchFiles& bench) {
  const char* shm = std::getenv("LK_BENCH_LOCAL");
  return shm ? std::string(shm) : (bench.folder / "local" / "big.bin").string();
}

// tls: through the TLS server.
void RunDownload(benchmark::State& state, bool tls) {
  TBenchFiles& bench = Files();
  TLarkspireConnection connection;
  if (tls && !bench.tls_server) {
    state.SkipWithError("no TLS certificate (the openssl command failed)");
    return;
  }
  connection.SetRemotePort(tls ? bench.tls_server->Port() : bench.server->Port());
  connection.SetUseTls(tls);
  connection.SetTlsCaFile(bench.tls_ca);
  TLarkspireUpdateFile files;
  files.SetConnection(&connection);
  const std::string local = LocalPath(bench);
  double total = 0;
  const double cpu_start = ProcessCpuSeconds();
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    if (!files.DownloadFile("big.bin", local)) state.SkipWithError("download failed");
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    state.SetIterationTime(took.count());
    total += took.count();
  }
  if (fs::file_size(local) != static_cast<uintmax_t>(kFileSize))
    state.SkipWithError("the local file has the wrong size");
  state.SetBytesProcessed(state.iterations() * kFileSize);
  const std::string name = tls ? "DownloadTls" : "Download";
  Seconds()[name] = total / static_cast<double>(state.iterations());
  Seconds()[name + "Cpu"] =
      (ProcessCpuSeconds() - cpu_start) / static_cast<double>(state.iterations());
}

void Download(benchmark::State& state) {
  RunDownload(state, false);
}

void DownloadTls(benchmark::State& state) {
  RunDownload(state, true);
}

void RawCopy(benchmark::State& state) {
  TBenchFiles& bench = Files();
  const fs::path local = fs::path(LocalPath(bench)).parent_path() / "raw.bin";
  fs::create_directories(local.parent_path());
  double total = 0;
  const double cpu_start = ProcessCpuSeconds();
  for (auto _ : state) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener, 1);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    const int receiver = ::socket(AF_INET, SOCK_STREAM, 0);

    const auto start = std::chrono::steady_clock::now();
    const int file = ::open(local.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ::connect(receiver, reinterpret_cast<sockaddr*>(&address), sizeof address);
    std::thread sender([&] {
      const int peer = ::accept(listener, nullptr, nullptr);
      size_t sent = 0;
      while (sent < bench.bytes.size()) {
        const size_t part = std::min<size_t>(1 << 20, bench.bytes.size() - sent);
        const ssize_t n = ::send(peer, bench.bytes.data() + sent, part, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
      }
      ::close(peer);
    });
    std::vector<char> buffer(1 << 20);
    int64_t received = 0;
    bool written = file >= 0;
    while (received < kFileSize) {
      const ssize_t n = ::recv(receiver, buffer.data(), buffer.size(), 0);
      if (n <= 0) break;
      if (written && ::write(file, buffer.data(), static_cast<size_t>(n)) != n) written = false;
      received += n;
    }
    if (file >= 0) ::close(file);
    sender.join();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    ::close(receiver);
    ::close(listener);
    if (received != kFileSize || !written) state.SkipWithError("the raw copy came up short");
    state.SetIterationTime(took.count());
    total += took.count();
  }
  state.SetBytesProcessed(state.iterations() * kFileSize);
  Seconds()["RawCopy"] = total / static_cast<double>(state.iterations());
  Seconds()["RawCopyCpu"] =
      (ProcessCpuSeconds() - cpu_start) / static_cast<double>(state.iterations());
}

BENCHMARK(Download)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(8);
BENCHMARK(RawCopy)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(8);
BENCHMARK(DownloadTls)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(8);

void PrintSummary() {
  auto& s = Seconds();
  if (s.count("Download") && s.count("RawCopy")) {
    std::printf(
        "\n256 MiB download / raw loopback copy into a file, wall time (target: at most 1.3)\n");
    std::printf("  download %.1f ms  raw %.1f ms  ratio %.2f\n", s["Download"] * 1000,
                s["RawCopy"] * 1000, s["Download"] / s["RawCopy"]);
    std::printf("  CPU of every thread: download %.1f ms  raw %.1f ms  ratio %.2f\n",
                s["DownloadCpu"] * 1000, s["RawCopyCpu"] * 1000,
                s["DownloadCpu"] / s["RawCopyCpu"]);
  }
  if (s.count("Download") && s.count("DownloadTls")) {
    std::printf("256 MiB download, TLS / plain (target: at most 1.3)\n");
    std::printf("  TLS %.1f ms  plain %.1f ms  ratio %.2f\n", s["DownloadTls"] * 1000,
                s["Download"] * 1000, s["DownloadTls"] / s["Download"]);
    std::printf("  CPU of every thread: TLS %.1f ms  plain %.1f ms  ratio %.2f\n",
                s["DownloadTlsCpu"] * 1000, s["DownloadCpu"] * 1000,
                s["DownloadTlsCpu"] / s["DownloadCpu"]);
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
