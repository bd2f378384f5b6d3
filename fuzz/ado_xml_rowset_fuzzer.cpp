// Fuzzes the reading of an ADO XML rowset, as the client reads the rows of every query reply and
// the recordset reads a saved file: the fast reader and the tree reader must agree, and the rows
// read must write and read back the same.
#include <cstdint>
#include <string_view>

#include "fuzz/ado_xml_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace larkspire;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (auto rows = fuzz::CheckAdoXmlReaders(text)) fuzz::CheckAdoXmlRoundTrip(*rows);
  return 0;
}
