// The description of a query that commands 210 and 300 carry in Data: a 16-byte packed block
// of cursor settings, the SQL text (a 32-bit byte count and code-page bytes) and the parameter
// list with every parameter of every direction.
//
//   offset 0  CursorLocation (1)   1 CursorType (1)   2 LockType (1)   3 CacheSize (4)
//   offset 7  MaxRecords (4)      11 CommandType (1) 12 CommandTimeout (4)
//   offset 16 TextLength (4), then the text, then the parameter list
//
// Command 300 may carry a 16-byte paging record after the description (protocol/paging_record.h);
// the reader leaves the stream positioned just after the parameter list so that a caller can
// read it. The client's datasets write descriptions and the server reads them, both through
// these functions.
//
// Thread-safety: plain values and free functions over a stream used by one thread.
#ifndef LARKSPIRE_PROTOCOL_QUERY_DESCRIPTION_H_
#define LARKSPIRE_PROTOCOL_QUERY_DESCRIPTION_H_

#include <cstdint>
#include <string>

#include "platform/parameters.h"
#include "platform/stream.h"

namespace larkspire {

// How the command text is to be understood; the ordinals travel in the description.
enum TCommandType : uint8_t {
  cmdUnknown = 0,
  cmdText = 1,
  cmdTable = 2,
  cmdStoredProc = 3,
  cmdFile = 4,
  cmdTableDirect = 5,
};

struct TQueryDescription {
  uint8_t CursorLocation = 1;  // 0 clUseServer, 1 clUseClient
  // 0 unspecified, 1 forward-only, 2 keyset, 3 dynamic, 4 static.
  uint8_t CursorType = 2;
  // 0 unspecified, 1 read-only, 2 pessimistic, 3 optimistic, 4 batch optimistic.
  uint8_t LockType = 4;
  int32_t CacheSize = 1;
  int32_t MaxRecords = 0;  // 0: every row
  uint8_t CommandType = cmdText;
  int32_t CommandTimeout = 30;  // seconds
  std::string CommandText;      // UTF-8
  TParameters Parameters;
};

// The size of the packed block before the text's length.
inline constexpr int kQueryBlockSize = 16;

// Reads a description at the stream's position. Every length is checked against the bytes
// left: a truncated block, a negative or oversized text length, or a malformed parameter
// list raises EMalformedData saying what and where.
TQueryDescription ReadQueryDescription(TStream& stream);
// Appends a description at the stream's position. A parameter whose value cannot be encoded
// raises the conversion error (EVariantError).
void WriteQueryDescription(const TQueryDescription& description, TStream& stream);
// The same with the parameter list given apart (description.Parameters is not read), for a
// caller that keeps its parameters elsewhere.
void WriteQueryDescription(const TQueryDescription& description, const TParameters& parameters,
                           TStream& stream);

}  // namespace larkspire

#endif  // LARKSPIRE_PROTOCOL_QUERY_DESCRIPTION_H_
