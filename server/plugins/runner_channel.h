// The channel between the plug-in host and larkspire-plugin-runner, written once for both
// sides: the marks that open what the runner writes, the 8-byte little-endian lengths of the
// serving loop, and the retry of a system call that a signal interrupted.
//
//   describe: "N" and the plug-in's name, or "E" and the reason
//   call:     "A" and the answer container, or "E" and the error text
//   serve:    each request an 8-byte length and the container; each answer the mark ("A" or
//             "E"), an 8-byte length and the bytes
//
// Header-only, since the runner is a program of its own. Thread-safety: constants and pure
// functions.
#ifndef LARKSPIRE_SERVER_PLUGINS_RUNNER_CHANNEL_H_
#define LARKSPIRE_SERVER_PLUGINS_RUNNER_CHANNEL_H_

#include <sys/types.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace larkspire::server {

inline constexpr char kRunnerAnswerMark = 'A';
inline constexpr char kRunnerErrorMark = 'E';
inline constexpr char kRunnerNameMark = 'N';

inline constexpr size_t kRunnerLengthSize = 8;
// A serving runner's answer begins with its mark and its length.
inline constexpr size_t kRunnerAnswerHeaderSize = 1 + kRunnerLengthSize;

inline void PutRunnerLength(char* out, uint64_t length) {
  for (size_t i = 0; i < kRunnerLengthSize; ++i)
    out[i] = static_cast<char>((length >> (8 * i)) & 0xFF);
}

inline uint64_t GetRunnerLength(const char* in) {
  uint64_t length = 0;
  for (size_t i = 0; i < kRunnerLengthSize; ++i)
    length |= uint64_t{static_cast<unsigned char>(in[i])} << (8 * i);
  return length;
}

// Calls call() again for as long as it fails with EINTR; returns its last result.
template <typename TCall>
auto RetryOnInterrupt(TCall call) {
  auto result = call();
  while (result < 0 && errno == EINTR) result = call();
  return result;
}

// Waits for pid to end; its status goes to status.
inline pid_t WaitForProcess(pid_t pid, int& status) {
  return RetryOnInterrupt([&] { return ::waitpid(pid, &status, 0); });
}

}  // namespace larkspire::server

#endif  // LARKSPIRE_SERVER_PLUGINS_RUNNER_CHANNEL_H_
