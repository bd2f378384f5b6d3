#include "protocol/memory_stream.h"

#include <limits>

#include "platform/exception.h"

namespace larkspire {
namespace {

constexpr int64_t kGrowthMask = 524288 - 1;  // steps of 512 KiB

}  // namespace

int64_t TLarkspireMemoryStream::GrowthStep(int64_t requested_capacity, int64_t current_size) const {
  if (requested_capacity > 0 && requested_capacity != current_size) {
    if (requested_capacity > std::numeric_limits<int64_t>::max() - kGrowthMask)
      throw EStreamError("Out of memory while expanding memory stream");
    return (requested_capacity + kGrowthMask) & ~kGrowthMask;
  }
  return requested_capacity;
}

}  // namespace larkspire
