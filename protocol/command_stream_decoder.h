// TCommandStreamDecoder: decodes one command message (protocol/remote_command.h) from the bytes
// of its frame body as they arrive, inflating them piece by piece. Data is not kept: its bytes
// go to a sink as they are inflated, so a reply of any size is read in the memory of one piece;
// every other field lands in the target command, growing only by what actually arrived.
//
// The checks are those of TRemoteCommand::LoadFromStream: a body that is not a zlib stream, a
// damaged or truncated one raises EZLibError; a malformed field block raises EMalformedData; a
// field block that inflates past max_message_size (or a field that announces more than is left
// of that bound) raises EMessageTooLarge at once. Data comes before Success, Value and Message:
// the sink sees Data's bytes before the command says whether it succeeded.
//
// Thread-safety: used by one thread.
#ifndef LARKSPIRE_PROTOCOL_COMMAND_STREAM_DECODER_H_
#define LARKSPIRE_PROTOCOL_COMMAND_STREAM_DECODER_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "protocol/remote_command.h"

namespace larkspire {

class TCommandStreamDecoder {
 public:
  using TDataSink = std::function<void(const char* bytes, size_t count)>;

  // Fields other than Data are decoded into target (reset first).
  TCommandStreamDecoder(TRemoteCommand& target, TDataSink data_sink,
                        uint64_t max_message_size = kDefaultMaxMessageSize);
  ~TCommandStreamDecoder();
  TCommandStreamDecoder(const TCommandStreamDecoder&) = delete;
  TCommandStreamDecoder& operator=(const TCommandStreamDecoder&) = delete;

  // The next bytes of the frame body. Bytes after the end of the zlib stream are dropped.
  void Feed(const uint8_t* bytes, size_t count);
  // The body has ended: raises when the message is incomplete.
  void Finish();
  // How many bytes of Data went to the sink.
  uint64_t DataBytes() const;

 private:
  struct TState;
  std::unique_ptr<TState> state_;
};

}  // namespace larkspire

#endif  // LARKSPIRE_PROTOCOL_COMMAND_STREAM_DECODER_H_
