#include "server/net/framing.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "protocol/frame.h"

namespace larkspire::server {

namespace {

constexpr size_t kChunk = 64 * 1024;

// Waits until the socket can be read (data, end of stream or an error) or the deadline
// passes.
TFrameStatus WaitReadable(int socket, TDeadline deadline, TFrameStatus on_time_out) {
  while (true) {
    int timeout_ms = -1;
    if (deadline != kNoDeadline) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return on_time_out;
      timeout_ms = static_cast<int>(std::min<int64_t>(left.count(), 60 * 60 * 1000));
    }
    pollfd entry{socket, POLLIN, 0};
    const int ready = ::poll(&entry, 1, timeout_ms);
    if (ready > 0) return TFrameStatus::fsOk;
    if (ready < 0 && errno != EINTR) return TFrameStatus::fsError;
  }
}

// Receives exactly count bytes by deadline.
TFrameStatus ReceiveAll(TConnStream& stream, void* buffer, size_t count, TDeadline deadline,
                        TFrameStatus on_time_out = TFrameStatus::fsTimedOut) {
  auto* bytes = static_cast<uint8_t*>(buffer);
  size_t done = 0;
  while (done < count) {
    // Bytes a TLS stream has already decrypted do not show on the socket.
    if (!stream.HasBuffered()) {
      const TFrameStatus ready = WaitReadable(stream.Fd(), deadline, on_time_out);
      if (ready != TFrameStatus::fsOk) return ready;
    }
    const ssize_t got = stream.ReadSome(bytes + done, count - done);
    if (got > 0) {
      done += static_cast<size_t>(got);
    } else if (got == 0) {
      return TFrameStatus::fsClosed;
    } else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
      return TFrameStatus::fsError;
    }
  }
  return TFrameStatus::fsOk;
}

}  // namespace

std::string FrameStatusText(TFrameStatus status) {
  switch (status) {
    case TFrameStatus::fsOk:
      return "ok";
    case TFrameStatus::fsClosed:
      return "closed by the client";
    case TFrameStatus::fsIdle:
      return "idle too long";
    case TFrameStatus::fsTimedOut:
      return "timed out";
    case TFrameStatus::fsTooLarge:
      return "frame too large";
    case TFrameStatus::fsRefused:
      return "frame refused";
    case TFrameStatus::fsError:
      return std::string("receive failed: ") + std::strerror(errno);
  }
  return "ended";
}

TFrameStatus ReceiveFrame(TConnStream& stream, const TFrameTimes& times, uint32_t max_length,
                          TMemoryStream& body, uint32_t& length, TDeadline& frame_end,
                          const std::function<bool(uint32_t)>& admit) {
  uint8_t prefix[kFramePrefixSize];
  TFrameStatus status =
      ReceiveAll(stream, prefix, 1, std::min(times.FirstByte, times.Last), TFrameStatus::fsIdle);
  if (status != TFrameStatus::fsOk) return status;
  frame_end = times.Last;
  if (times.Frame.count() > 0) {
    frame_end = std::min(frame_end, std::chrono::steady_clock::now() + times.Frame);
  }
  status = ReceiveAll(stream, prefix + 1, sizeof prefix - 1, frame_end);
  if (status != TFrameStatus::fsOk) return status;
  length = DecodeFramePrefix(prefix);
  if (length > max_length) return TFrameStatus::fsTooLarge;
  if (admit && !admit(length)) return TFrameStatus::fsRefused;
  body.Clear();
  uint8_t chunk[kChunk];
  uint32_t left = length;
  while (left > 0) {
    const size_t part = std::min<size_t>(left, sizeof chunk);
    status = ReceiveAll(stream, chunk, part, frame_end);
    if (status != TFrameStatus::fsOk) return status;
    body.WriteBuffer(chunk, static_cast<int64_t>(part));
    left -= static_cast<uint32_t>(part);
  }
  body.SetPosition(0);
  return TFrameStatus::fsOk;
}

TFrameStatus DiscardBody(TConnStream& stream, uint32_t length, TDeadline deadline) {
  uint8_t chunk[kChunk];
  uint32_t left = length;
  while (left > 0) {
    const size_t part = std::min<size_t>(left, sizeof chunk);
    const TFrameStatus status = ReceiveAll(stream, chunk, part, deadline);
    if (status != TFrameStatus::fsOk) return status;
    left -= static_cast<uint32_t>(part);
  }
  return TFrameStatus::fsOk;
}

bool SendFrame(TConnStream& stream, const void* body, size_t length) {
  uint8_t prefix[kFramePrefixSize];
  EncodeFramePrefix(static_cast<uint32_t>(length), prefix);
  if (stream.IsTls()) {
    // The prefix leaves in the same record as the start of the body.
    return stream.WriteAll(prefix, sizeof prefix, true) && stream.WriteAll(body, length);
  }
  const int socket = stream.Fd();
  iovec parts[2] = {{prefix, sizeof prefix}, {const_cast<void*>(body), length}};
  const size_t total = sizeof prefix + length;
  size_t done = 0;
  while (done < total) {
    msghdr message{};
    iovec rest[2];
    int count = 0;
    size_t skip = done;
    for (const iovec& part : parts) {
      if (skip >= part.iov_len) {
        skip -= part.iov_len;
        continue;
      }
      rest[count++] = {static_cast<uint8_t*>(part.iov_base) + skip, part.iov_len - skip};
      skip = 0;
    }
    message.msg_iov = rest;
    message.msg_iovlen = static_cast<size_t>(count);
    const ssize_t sent = ::sendmsg(socket, &message, MSG_NOSIGNAL);
    if (sent > 0) {
      done += static_cast<size_t>(sent);
      stream.WroteDirectly(static_cast<size_t>(sent));
    } else if (sent < 0 && errno == EINTR) {
      continue;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace larkspire::server
