#include "protocol/paging_record.h"

#include <algorithm>
#include <string>

#include "platform/exception.h"
#include "protocol/param_encoding.h"

namespace larkspire {

TPagingRecord ReadPagingRecord(TStream& stream, const char* place) {
  const int64_t left = stream.Size() - stream.Position();
  if (left < kPagingRecordSize) {
    throw EMalformedData("paging record: " + std::to_string(std::max<int64_t>(left, 0)) +
                         " bytes " + place + ", " + std::to_string(kPagingRecordSize) + " needed");
  }
  TPagingRecord record;
  record.RecordCount = ReadInt32(stream, "paging record: record count");
  record.Reserved = ReadInt32(stream, "paging record: second field");
  record.PageSize = ReadInt32(stream, "paging record: page size");
  record.PageIndex = ReadInt32(stream, "paging record: page index");
  return record;
}

void WritePagingRecord(const TPagingRecord& record, TStream& stream) {
  WriteInt32(stream, record.RecordCount);
  WriteInt32(stream, record.Reserved);
  WriteInt32(stream, record.PageSize);
  WriteInt32(stream, record.PageIndex);
}

}  // namespace larkspire
