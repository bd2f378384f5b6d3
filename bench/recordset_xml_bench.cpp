// Opening and saving a rowset of 10 000 product rows in the ADO XML format, against a bare
// pugixml parse of the same document. After the benchmarks it prints the open/parse ratio.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <pugixml.hpp>
#include <string>

#include "dataset/ado_xml.h"
#include "dataset/recordset.h"

namespace {

using namespace larkspire;

constexpr unsigned kParseOptions = pugi::parse_default & ~pugi::parse_wnorm_attribute &
                                   ~pugi::parse_wconv_attribute & ~pugi::parse_eol;

std::string ProductDocument(int rows) {
  TRecordset rs;
  std::vector<TRecordsetField> fields = {
      TRecordsetField::Make("ProductID", TAdoDataType::adInteger),
      TRecordsetField::Make("ProductCode", TAdoDataType::adVarChar, 20),
      TRecordsetField::Make("ProductName", TAdoDataType::adVarWChar, 80),
      TRecordsetField::Make("Category", TAdoDataType::adVarWChar, 40),
      TRecordsetField::Make("UnitPrice", TAdoDataType::adCurrency),
      TRecordsetField::Make("Quantity", TAdoDataType::adInteger),
      TRecordsetField::Make("Weight", TAdoDataType::adDouble),
      TRecordsetField::Make("InStock", TAdoDataType::adBoolean),
      TRecordsetField::Make("CreatedAt", TAdoDataType::adDBTimeStamp),
  };
  fields[0].KeyColumn = true;
  fields[0].Nullable = false;
  rs.CreateFields(fields);
  static const char* kCategories[] = {"Tools", "Garden", "Kitchen & Bath", "Toys", "Books"};
  for (int i = 1; i <= rows; ++i) {
    rs.AppendRow({TVariant(i), TVariant("P-" + std::to_string(100000 + i)),
                  TVariant("Product number " + std::to_string(i) + " <deluxe>"),
                  TVariant(kCategories[i % 5]), TVariant::FromCurrency(int64_t{i} * 1234 + 99),
                  TVariant(i % 500), TVariant(i * 0.125 + 0.1), TVariant(i % 3 != 0),
                  TVariant::FromDateTime(45000 + i / 24.0)});
  }
  return rs.SaveToString();
}

const std::string& Document() {
  static const std::string document = ProductDocument(10000);
  return document;
}

void BM_PugixmlParse(benchmark::State& state) {
  const std::string& doc = Document();
  for (auto _ : state) {
    pugi::xml_document xml;
    benchmark::DoNotOptimize(xml.load_buffer(doc.data(), doc.size(), kParseOptions));
  }
  state.SetBytesProcessed(state.iterations() * doc.size());
}
BENCHMARK(BM_PugixmlParse)->Unit(benchmark::kMillisecond);

void BM_RecordsetOpen(benchmark::State& state) {
  const std::string& doc = Document();
  for (auto _ : state) {
    TRecordset rs;
    rs.OpenFromString(doc);
    benchmark::DoNotOptimize(rs.RecordCount());
  }
  state.SetBytesProcessed(state.iterations() * doc.size());
}
BENCHMARK(BM_RecordsetOpen)->Unit(benchmark::kMillisecond);

// The reply path: the document in a memory stream, as a reply's data holds it.
void BM_RecordsetOpenFromMemoryStream(benchmark::State& state) {
  const std::string& doc = Document();
  TMemoryStream stream;
  stream.WriteBuffer(doc.data(), static_cast<int64_t>(doc.size()));
  for (auto _ : state) {
    stream.SetPosition(0);
    TRecordset rs;
    rs.Open(stream);
    benchmark::DoNotOptimize(rs.RecordCount());
  }
  state.SetBytesProcessed(state.iterations() * doc.size());
}
BENCHMARK(BM_RecordsetOpenFromMemoryStream)->Unit(benchmark::kMillisecond);

void BM_RecordsetSave(benchmark::State& state) {
  TRecordset rs;
  rs.OpenFromString(Document());
  for (auto _ : state) benchmark::DoNotOptimize(rs.SaveToString());
  state.SetBytesProcessed(state.iterations() * Document().size());
}
BENCHMARK(BM_RecordsetSave)->Unit(benchmark::kMillisecond);

// The mean time of one call over rounds calls, allocator and page-fault costs included.
template <typename F>
double MeanSeconds(F&& f, int rounds) {
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < rounds; ++i) f();
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  return took.count() / rounds;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  const std::string& doc = Document();
  const double parse = MeanSeconds(
      [&] {
        pugi::xml_document xml;
        xml.load_buffer(doc.data(), doc.size(), kParseOptions);
      },
      100);
  const double open = MeanSeconds(
      [&] {
        TRecordset rs;
        rs.OpenFromString(doc);
      },
      100);
  TMemoryStream stream;
  stream.WriteBuffer(doc.data(), static_cast<int64_t>(doc.size()));
  const double open_stream = MeanSeconds(
      [&] {
        stream.SetPosition(0);
        TRecordset rs;
        rs.Open(stream);
      },
      100);
  TRecordset rs;
  rs.OpenFromString(doc);
  const double save = MeanSeconds([&] { benchmark::DoNotOptimize(rs.SaveToString()); }, 100);
  std::printf(
      "10000 product rows, %zu bytes: pugixml parse %.2f ms, recordset open %.2f ms, "
      "save %.2f ms; open/parse ratio %.2f\n",
      doc.size(), parse * 1e3, open * 1e3, save * 1e3, open / parse);
  std::printf("open from a memory stream (a reply's data) %.2f ms; open/parse ratio %.2f\n",
              open_stream * 1e3, open_stream / parse);
  return 0;
}
