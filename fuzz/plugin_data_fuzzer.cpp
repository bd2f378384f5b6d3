// Fuzzes the plug-in parameter container (TLarkspirePluginData::ReadFromStream), which the
// server reads from every plug-in call and the client from every plug-in reply, and every
// getter of the parameters read. A container that reads must write back its own bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/exception.h"
#include "protocol/memory_stream.h"
#include "protocol/plugin_data.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace larkspire;
  TLarkspireMemoryStream stream;
  stream.Write(data, static_cast<int64_t>(size));
  stream.SetPosition(0);
  TLarkspirePluginData container;
  try {
    container.ReadFromStream(stream);
  } catch (const EMalformedData&) {
    return 0;
  }
  for (int i = 0; i < container.Count(); ++i) {
    TLarkspirePluginParam& param = container.Items(i);
    (void)param.Name();
    (void)param.GetAsInteger();
    (void)param.GetAsInt64();
    (void)param.GetAsString();
    (void)param.GetAsBoolean();
    (void)param.GetAsDouble();
    (void)param.GetAsExtended();
    (void)param.GetAsStream().Size();
    (void)container.FindParam(param.Name());
  }
  TLarkspireMemoryStream written;
  container.WriteToStream(written);
  const std::string bytes = written.Bytes();
  if (bytes.size() > size ||
      bytes.compare(0, bytes.size(), reinterpret_cast<const char*>(data), bytes.size()) != 0) {
    std::fprintf(stderr, "a container does not write back the bytes it was read from\n");
    std::abort();
  }
  return 0;
}
