// The description of a query that commands 210 and 300 carry in Data: a 16-byte packed block
// of cursor settings, the SQL text (a 32-bit byte count and code-page bytes) and the parameter
// list with every parameter of every direction.
//
//   offset 0  CursorLocation (1)   1 CursorType (1)   2 LockType (1)   3 CacheSize (4)
//   offset 7  MaxRecords (4)      11 CommandType (1) 12 CommandTimeout (4)
//   offset 16 TextLength (4), then the text, then the parameter list
//
// Command 300 may carry a 16-byte paging record after the description; the reader leaves the
// stream positioned just after the parameter list so that a caller can read it.
//
// Thread-safety: plain values and free functions over a stream used by one thread.
#ifndef LARKSPIRE_SERVER_QUERY_DESCRIPTION_H_
#define LARKSPIRE_SERVER_QUERY_DESCRIPTION_H_

#include <cstdint>
#include <string>

#include "platform/parameters.h"
#include "platform/stream.h"

namespace larkspire::server {

// TCommandType ordinals as they travel.
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
  uint8_t CursorType = 2;      // 0 unspecified ... 4 static (the client's ordinals)
  uint8_t LockType = 4;        // 0 unspecified ... 4 batch optimistic
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
// Appends a description (the client's form), for tests and tools.
void WriteQueryDescription(const TQueryDescription& description, TStream& stream);

}  // namespace larkspire::server

#endif  // LARKSPIRE_SERVER_QUERY_DESCRIPTION_H_
