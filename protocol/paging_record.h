// The paging record of command 300: with Option 1 the request's Data holds it right after the
// query description, and the reply's Params holds it (after the parameter list when the query
// is a stored procedure).
//
//   four signed 32-bit little-endian fields
//   offset 0  request: 0          reply: the total number of rows of the query
//   offset 4  request: 0          reply: 0
//   offset 8  request: PageSize   reply: the page size served
//   offset 12 request: PageIndex  reply: the page index served (counted from 1)
//
// Thread-safety: a plain value and free functions over a stream used by one thread.
#ifndef LARKSPIRE_PROTOCOL_PAGING_RECORD_H_
#define LARKSPIRE_PROTOCOL_PAGING_RECORD_H_

#include <cstdint>

#include "platform/stream.h"

namespace larkspire {

inline constexpr int kPagingRecordSize = 16;

struct TPagingRecord {
  int32_t RecordCount = 0;
  int32_t Reserved = 0;
  int32_t PageSize = 0;
  int32_t PageIndex = 0;
};

// Reads the record at the stream's position. Fewer than 16 bytes left raise EMalformedData
// "paging record: <n> bytes <place>, 16 needed", where place says where the record was looked
// for ("in the reply").
TPagingRecord ReadPagingRecord(TStream& stream,
                               const char* place = "left after the query description");
// Appends the record at the stream's position.
void WritePagingRecord(const TPagingRecord& record, TStream& stream);

}  // namespace larkspire

#endif  // LARKSPIRE_PROTOCOL_PAGING_RECORD_H_
