// Encoding and decoding of command messages against plain zlib on the same field block.
//
// Each size runs these benchmarks: Encode (SaveToStream), RawDeflate (deflate level 1 of the
// uncompressed field block into a buffer), Decode (LoadFromStream into a reply object that is
// reused), DecodeIntoResetReply (the same after Reset, which frees the payload memory, as the
// connection does between commands) and RawInflate (inflate into a buffer that is reused). A
// summary at the end prints our time over raw zlib time for each size.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "protocol/remote_command.h"

namespace larkspire {
namespace {

// Rows of an ADO XML rowset mixed with runs of pseudo-random bytes, about 3:1 compressible.
std::string RealisticData(size_t size) {
  std::mt19937 random(42);
  std::string bytes;
  bytes.reserve(size + 256);
  int id = 0;
  while (bytes.size() < size) {
    char row[200];
    std::snprintf(row, sizeof row,
                  "<z:row ProID='%d' ProName='Product %u' Price='%u.%02u' "
                  "Stock='%u' Updated='2026-01-%02uT10:%02u:00'/>\r\n",
                  ++id, static_cast<unsigned>(random() % 100000),
                  static_cast<unsigned>(random() % 1000), static_cast<unsigned>(random() % 100),
                  static_cast<unsigned>(random() % 5000), static_cast<unsigned>(1 + random() % 28),
                  static_cast<unsigned>(random() % 60));
    bytes += row;
    const int noise = static_cast<int>(random() % 48);
    for (int i = 0; i < noise; ++i) bytes.push_back(static_cast<char>(random()));
  }
  bytes.resize(size);
  return bytes;
}

struct TCase {
  TRemoteCommand command;
  std::string block;      // the uncompressed field block
  TMemoryStream message;  // the encoded message
};

std::map<size_t, TCase*>& Cases() {
  static std::map<size_t, TCase*> cases;
  return cases;
}

TCase& CaseOf(size_t size) {
  TCase*& c = Cases()[size];
  if (c != nullptr) return *c;
  c = new TCase;
  c->command.Code = cmdOpenQuery;
  c->command.Password = "password";
  c->command.ConnectionName = "Main";
  const std::string data = RealisticData(size);
  c->command.Data.WriteBuffer(data.data(), static_cast<int64_t>(data.size()));
  const std::string params = RealisticData(1000);
  c->command.Params.WriteBuffer(params.data(), static_cast<int64_t>(params.size()));
  c->command.SaveToStream(c->message);
  // The field block, recovered through zlib itself.
  const uint8_t* m = c->message.Memory();
  const uint32_t u = m[0] | m[1] << 8 | m[2] << 16 | static_cast<uint32_t>(m[3]) << 24;
  c->block.resize(u);
  uLongf length = u;
  if (uncompress(reinterpret_cast<Bytef*>(c->block.data()), &length, m + 4,
                 static_cast<uLong>(c->message.Size() - 4)) != Z_OK ||
      length != u)
    std::abort();
  return *c;
}

std::map<std::string, double>& Timings() {
  static std::map<std::string, double> timings;
  return timings;
}

// CPU time of this thread: the machine is shared, and wall time counts other processes too.
double ThreadSeconds() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

template <typename F>
void Timed(benchmark::State& state, const char* kind, size_t size, F body) {
  double total = 0;
  for (auto _ : state) {
    const double start = ThreadSeconds();
    body();
    total += ThreadSeconds() - start;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
  // Google Benchmark reruns a function with growing iteration counts; the last run counts.
  Timings()[std::string(kind) + "/" + std::to_string(size)] = total / state.iterations();
}

void Encode(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  TCase& c = CaseOf(size);
  TLarkspireMemoryStream out;
  Timed(state, "Encode", size, [&] {
    c.command.SaveToStream(out);
    benchmark::DoNotOptimize(out.Memory());
  });
  state.counters["compressed"] = static_cast<double>(out.Size());
}

void RawDeflate(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  TCase& c = CaseOf(size);
  std::vector<uint8_t> out(compressBound(c.block.size()) + 4);
  Timed(state, "RawDeflate", size, [&] {
    z_stream z{};
    deflateInit(&z, 1);
    z.next_in = reinterpret_cast<Bytef*>(c.block.data());
    z.avail_in = static_cast<uInt>(c.block.size());
    z.next_out = out.data() + 4;
    z.avail_out = static_cast<uInt>(out.size() - 4);
    if (deflate(&z, Z_FINISH) != Z_STREAM_END) std::abort();
    deflateEnd(&z);
    benchmark::DoNotOptimize(out.data());
  });
}

void Decode(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  TCase& c = CaseOf(size);
  TRemoteCommand reply;
  Timed(state, "Decode", size, [&] {
    reply.LoadFromStream(c.message);
    benchmark::DoNotOptimize(reply.Data.Memory());
  });
}

// The same with the reply reset before each decode, so its payload memory is fresh each time.
void DecodeIntoResetReply(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  TCase& c = CaseOf(size);
  TRemoteCommand reply;
  Timed(state, "DecodeReset", size, [&] {
    reply.Reset();
    reply.LoadFromStream(c.message);
    benchmark::DoNotOptimize(reply.Data.Memory());
  });
}

void RawInflate(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  TCase& c = CaseOf(size);
  std::vector<uint8_t> out(c.block.size());
  Timed(state, "RawInflate", size, [&] {
    z_stream z{};
    inflateInit(&z);
    z.next_in = c.message.Memory() + 4;
    z.avail_in = static_cast<uInt>(c.message.Size() - 4);
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    if (inflate(&z, Z_FINISH) != Z_STREAM_END) std::abort();
    inflateEnd(&z);
    benchmark::DoNotOptimize(out.data());
  });
}

constexpr int64_t kSizes[] = {64 << 10, 1 << 20, 8 << 20};

void Sizes(benchmark::internal::Benchmark* b) {
  for (int64_t size : kSizes) b->Arg(size);
  b->Unit(benchmark::kMillisecond);
}

BENCHMARK(Encode)->Apply(Sizes);
BENCHMARK(RawDeflate)->Apply(Sizes);
BENCHMARK(Decode)->Apply(Sizes);
BENCHMARK(DecodeIntoResetReply)->Apply(Sizes);
BENCHMARK(RawInflate)->Apply(Sizes);

void PrintSummary() {
  std::printf("\nour CPU time / raw zlib CPU time (target: at most 1.15)\n");
  for (int64_t size : kSizes) {
    const std::string s = std::to_string(size);
    auto& t = Timings();
    if (!t.count("Encode/" + s) || !t.count("RawDeflate/" + s) || !t.count("Decode/" + s) ||
        !t.count("RawInflate/" + s))
      continue;
    std::printf("  %5lld KiB  encode %.3f  decode %.3f", static_cast<long long>(size >> 10),
                t["Encode/" + s] / t["RawDeflate/" + s], t["Decode/" + s] / t["RawInflate/" + s]);
    if (t.count("DecodeReset/" + s))
      std::printf("  (decode into a reset reply %.3f)",
                  t["DecodeReset/" + s] / t["RawInflate/" + s]);
    std::printf("\n");
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
