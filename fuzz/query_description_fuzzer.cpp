// Fuzzes the query description that commands 210 and 300 carry, and the paging record after
// it, as the server reads them. A description that reads must write and read back the same.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "platform/exception.h"
#include "protocol/memory_stream.h"
#include "protocol/paging_record.h"
#include "protocol/query_description.h"

namespace {

bool SameBlock(const larkspire::TQueryDescription& a, const larkspire::TQueryDescription& b) {
  return a.CursorLocation == b.CursorLocation && a.CursorType == b.CursorType &&
         a.LockType == b.LockType && a.CacheSize == b.CacheSize && a.MaxRecords == b.MaxRecords &&
         a.CommandType == b.CommandType && a.CommandTimeout == b.CommandTimeout &&
         a.CommandText == b.CommandText && a.Parameters.Count() == b.Parameters.Count();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace larkspire;
  TLarkspireMemoryStream stream;
  stream.Write(data, static_cast<int64_t>(size));
  stream.SetPosition(0);
  TQueryDescription description;
  try {
    description = ReadQueryDescription(stream);
  } catch (const EMalformedData&) {
    return 0;
  }
  try {
    (void)ReadPagingRecord(stream);
  } catch (const EMalformedData&) {
  }
  TLarkspireMemoryStream written;
  try {
    WriteQueryDescription(description, written);
  } catch (const EVariantError&) {
    return 0;  // a parameter value its type cannot carry is refused, not written wrongly
  }
  written.SetPosition(0);
  try {
    if (SameBlock(description, ReadQueryDescription(written))) return 0;
  } catch (const EMalformedData&) {
  }
  std::fprintf(stderr, "a query description does not read back as it was written\n");
  std::abort();
}
