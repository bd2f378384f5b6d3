// The server's side of the frames on a connection: a 4-byte big-endian body length, then the
// body. Reading is bounded in time as well as in size, so that a peer sending slowly cannot
// hold a session:
//   - a frame's first byte may be awaited until a deadline (the handshake's, or the idle
//     limit), or for ever;
//   - once the first byte is in, the whole frame must be in within the frame time;
//   - an absolute deadline (the handshake's) bounds all of it, however the bytes trickle in.
// The body grows as its bytes arrive, so a length that the peer never sends costs nothing.
//
// Thread-safety: the functions keep no state; one thread reads and writes a stream.
#ifndef LARKSPIRE_SERVER_FRAMING_H_
#define LARKSPIRE_SERVER_FRAMING_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "protocol/memory_stream.h"
#include "server/net/conn_stream.h"

namespace larkspire::server {

using TDeadline = std::chrono::steady_clock::time_point;
constexpr TDeadline kNoDeadline = TDeadline::max();

enum class TFrameStatus {
  fsOk,
  fsClosed,    // the peer closed (or the server shut the socket down)
  fsIdle,      // no frame began before its first byte was due
  fsTimedOut,  // a frame began but was not whole in time
  fsTooLarge,  // the announced length is over the limit; the body is still unread
  fsRefused,   // the admit check refused the announced length; the body is still unread
  fsError,
};

struct TFrameTimes {
  TDeadline FirstByte = kNoDeadline;   // when the frame's first byte must have come
  std::chrono::milliseconds Frame{0};  // from the first byte to the last; 0: no limit
  TDeadline Last = kNoDeadline;        // when the whole frame must be in, at the latest
};

// What a receive ended with, for the log ("timed out", "closed by the client").
std::string FrameStatusText(TFrameStatus status);

// Reads one frame into body (emptied first) and leaves its position at 0. length reports the
// announced length (also for fsTooLarge); frame_end the deadline of the rest of the frame,
// for DiscardBody.
// admit, when given, is asked about the announced length before the body is read (a memory
// budget, say); false gives fsRefused.
TFrameStatus ReceiveFrame(TConnStream& stream, const TFrameTimes& times, uint32_t max_length,
                          TMemoryStream& body, uint32_t& length, TDeadline& frame_end,
                          const std::function<bool(uint32_t)>& admit = {});
// Reads and drops length bytes (the body of a frame too long to keep) by deadline, so the
// connection stays in step.
TFrameStatus DiscardBody(TConnStream& stream, uint32_t length, TDeadline deadline);

// Sends the length prefix and body in one call, so that a small reply is one segment and does
// not wait for the acknowledgement of its length. False when the connection failed.
bool SendFrame(TConnStream& stream, const void* body, size_t length);

}  // namespace larkspire::server

#endif  // LARKSPIRE_SERVER_FRAMING_H_
