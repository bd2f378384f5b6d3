// Fuzzes the parameter list of a payload (ReadParameterList), which the server reads from every
// query description and the client from every stored procedure's reply. A list that reads must
// write and read again to as many parameters of the same names, types and directions.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "platform/exception.h"
#include "platform/parameters.h"
#include "protocol/memory_stream.h"
#include "protocol/param_encoding.h"

namespace {

bool Read(larkspire::TStream& stream, larkspire::TParameters& parameters) {
  try {
    larkspire::ReadParameterList(parameters, stream);
    return true;
  } catch (const larkspire::EMalformedData&) {
    return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace larkspire;
  TLarkspireMemoryStream stream;
  stream.Write(data, static_cast<int64_t>(size));
  stream.SetPosition(0);
  TParameters parameters;
  if (!Read(stream, parameters)) return 0;
  TLarkspireMemoryStream written;
  try {
    WriteParameterList(parameters, written);
  } catch (const EVariantError&) {
    return 0;  // a value its type cannot carry is refused, not written wrongly
  }
  written.SetPosition(0);
  TParameters again;
  bool same = Read(written, again) && again.Count() == parameters.Count();
  for (int i = 0; same && i < parameters.Count(); ++i) {
    same = again[i].Name == parameters[i].Name && again[i].DataType == parameters[i].DataType &&
           again[i].Direction == parameters[i].Direction;
  }
  if (!same) {
    std::fprintf(stderr, "a parameter list does not read back as it was written\n");
    std::abort();
  }
  return 0;
}
