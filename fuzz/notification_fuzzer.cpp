// Fuzzes what notifications carry: the records of a 604 reply or a datagram (records that
// decode must encode back to the same bytes), the notify request of command 603, and the SQL
// text the server reads for the table a statement changed.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/exception.h"
#include "protocol/notification.h"
#include "server/notify/table_changes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace larkspire;
  std::vector<TNotificationRecord> records;
  bool whole = true;
  try {
    DecodeNotificationRecords(data, size, records);
  } catch (const EMalformedData&) {
    whole = false;
  }
  std::string encoded;
  for (const TNotificationRecord& record : records) EncodeNotificationRecord(record, encoded);
  if (whole && encoded.size() != size) std::abort();
  if (encoded.size() > size) std::abort();

  std::string channel, payload;
  try {
    DecodeNotifyRequest(data, size, channel, payload);
    if (channel.size() + payload.size() + 4 != size) std::abort();
  } catch (const EMalformedData&) {
  }

  const std::string sql(reinterpret_cast<const char*>(data), size);
  if (const auto target = server::StatementTarget(sql)) {
    if (target->Table.empty() || target->Table.size() > size) std::abort();
  }
  return 0;
}
