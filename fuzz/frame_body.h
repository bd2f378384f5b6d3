// The body of a request frame made from a fuzz input, and the other way round for the seeds.
//
// The first byte of an input says how the rest becomes a body: 0, the rest is the body as it
// came off the wire (length header and zlib stream); 1, the rest is the uncompressed field
// block, compressed here behind its true length; 2, the next 4 bytes are the length header to
// send and the rest is the field block. The compressed forms let the fuzzer reach the field
// block's decoder instead of spending its time on zlib's checksum.
//
// Thread-safety: pure functions.
#ifndef LARKSPIRE_FUZZ_FRAME_BODY_H_
#define LARKSPIRE_FUZZ_FRAME_BODY_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "protocol/remote_command.h"

namespace larkspire::fuzz {

enum TBodyForm : uint8_t { bfRaw = 0, bfFieldBlock = 1, bfFieldBlockWithLength = 2 };

// The frame body an input stands for.
std::string FrameBodyFromInput(const uint8_t* data, size_t size);

// The fuzz input of each form for a message (what the seed generator writes).
std::string InputOfCommand(TRemoteCommand& command, TBodyForm form);

}  // namespace larkspire::fuzz

#endif  // LARKSPIRE_FUZZ_FRAME_BODY_H_
