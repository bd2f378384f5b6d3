// TLarkspireMemoryStream: the memory stream that carries every payload. It grows in steps of
// 512 KiB, so a payload built from many small writes reallocates once per 512 KiB.
//
// Thread-safety: used by one thread at a time.
#ifndef LARKSPIRE_PROTOCOL_MEMORY_STREAM_H_
#define LARKSPIRE_PROTOCOL_MEMORY_STREAM_H_

#include "platform/stream.h"

namespace larkspire {

class TLarkspireMemoryStream : public TMemoryStream {
 protected:
  // A request above 0 that differs from the current size is rounded up to a multiple of
  // 524288 bytes; a request equal to the current size stays exact.
  int64_t GrowthStep(int64_t requested_capacity, int64_t current_size) const override;
};

}  // namespace larkspire

#endif  // LARKSPIRE_PROTOCOL_MEMORY_STREAM_H_
