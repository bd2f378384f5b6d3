// Fuzzes the reading of an ADO XML document with pending changes, as the server reads every
// delta of command 301 and the recordset reads a saved file with edits: the readers must agree,
// the rows must write and read back the same, and the delta a recordset builds from the
// document's pending changes (its pending-records view, as the client sends it) must read too.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "dataset/ado_xml.h"
#include "dataset/recordset.h"
#include "fuzz/ado_xml_check.h"
#include "platform/exception.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace larkspire;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto rows = fuzz::CheckAdoXmlReaders(text);
  if (!rows) return 0;
  fuzz::CheckAdoXmlRoundTrip(*rows);

  TRecordset recordset;
  recordset.OpenFromString(text, ctKeyset, ltBatchOptimistic);
  std::unique_ptr<TRecordset> view = recordset.Clone(ltBatchOptimistic);
  view->SetFilter(TFilterGroup::fgPendingRecords);
  std::string delta;
  try {
    delta = view->SaveToString();
  } catch (const EDatabaseError&) {
    return 0;  // a value its column cannot carry is refused, not written wrongly
  }
  try {
    ReadAdoXml(delta);
  } catch (const EMalformedData& e) {
    std::fprintf(stderr, "the delta of a document does not read: %s\n", e.what());
    std::abort();
  }
  return 0;
}
