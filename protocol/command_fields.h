// The command message's field block laid out once for every encoder (TRemoteCommand and the
// server's reply compressor): the small fields gathered into three short runs around the two
// payloads, Data and Params, which an encoder compresses straight from where they lie.
//
//   Head          Code, Password and the length word of Data
//   (Data)
//   ParamsLength  the length word of Params
//   (Params)
//   Tail          ConnectionName, Success, Value, Message, Option and Version
//
// Thread-safety: pure functions.
#ifndef LARKSPIRE_PROTOCOL_COMMAND_FIELDS_H_
#define LARKSPIRE_PROTOCOL_COMMAND_FIELDS_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "protocol/remote_command.h"

namespace larkspire {

// The message's length prefix: U, the field block's length, as 4 bytes little-endian.
inline constexpr size_t kMessagePrefixSize = 4;

struct TCommandFields {
  uint32_t BlockSize = 0;  // U: the field block's whole length, payloads included
  std::string Head;
  std::string ParamsLength;
  std::string Tail;
};

// Lays out command's fields for payloads of data_size and params_size bytes (command.Data and
// command.Params themselves are not read). Raises EStreamError when a field, or the block,
// is too long for its 32-bit length.
TCommandFields LayOutCommandFields(const TRemoteCommand& command, uint64_t data_size,
                                   uint64_t params_size);

void PutMessagePrefix(uint32_t block_size, uint8_t prefix[kMessagePrefixSize]);

}  // namespace larkspire

#endif  // LARKSPIRE_PROTOCOL_COMMAND_FIELDS_H_
