#include "protocol/command_fields.h"

#include <limits>

#include "platform/exception.h"

namespace larkspire {
namespace {

// 40 bytes of length words, 2 + 1 + 4 + 1 fixed bytes and the 7 version bytes.
constexpr uint64_t kFixedBlockSize = 55;

void PutUInt32(std::string& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}

uint32_t FieldLength(uint64_t size, const char* field) {
  if (size > std::numeric_limits<uint32_t>::max())
    throw EStreamError(std::string("command message: field ") + field + " of " +
                       std::to_string(size) + " bytes is too large to encode");
  return static_cast<uint32_t>(size);
}

}  // namespace

TCommandFields LayOutCommandFields(const TRemoteCommand& command, uint64_t data_size,
                                   uint64_t params_size) {
  const uint32_t password_length = FieldLength(command.Password.size(), "Password");
  const uint32_t data_length = FieldLength(data_size, "Data");
  const uint32_t params_length = FieldLength(params_size, "Params");
  const uint32_t name_length = FieldLength(command.ConnectionName.size(), "ConnectionName");
  const uint32_t message_length = FieldLength(command.Message.size(), "Message");
  const uint32_t version_length = FieldLength(command.Version.size(), "Version");

  TCommandFields fields;
  fields.BlockSize =
      FieldLength(kFixedBlockSize - 7 + version_length + password_length + uint64_t{data_length} +
                      params_length + name_length + message_length,
                  "block");
  std::string& head = fields.Head;
  PutUInt32(head, 2);
  head.push_back(static_cast<char>(command.Code & 0xFF));
  head.push_back(static_cast<char>(command.Code >> 8));
  PutUInt32(head, password_length);
  head += command.Password;
  PutUInt32(head, data_length);
  PutUInt32(fields.ParamsLength, params_length);
  std::string& tail = fields.Tail;
  PutUInt32(tail, name_length);
  tail += command.ConnectionName;
  PutUInt32(tail, 1);
  tail.push_back(command.Success ? 1 : 0);
  PutUInt32(tail, 4);
  PutUInt32(tail, static_cast<uint32_t>(command.Value));
  PutUInt32(tail, message_length);
  tail += command.Message;
  PutUInt32(tail, 1);
  tail.push_back(static_cast<char>(command.Option));
  PutUInt32(tail, version_length);
  tail += command.Version;
  return fields;
}

void PutMessagePrefix(uint32_t block_size, uint8_t prefix[kMessagePrefixSize]) {
  for (size_t i = 0; i < kMessagePrefixSize; ++i)
    prefix[i] = static_cast<uint8_t>(block_size >> (8 * i));
}

}  // namespace larkspire
