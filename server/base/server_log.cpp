#include "server/base/server_log.h"

#include <cstdio>
#include <mutex>

namespace larkspire::server {

namespace {

std::mutex& LogMutex() {
  static std::mutex mutex;
  return mutex;
}

// The length of the UTF-8 sequence starting at text[i], or 0 when the bytes there are none.
size_t Utf8SequenceAt(const std::string& text, size_t i) {
  const auto byte = static_cast<unsigned char>(text[i]);
  const size_t length = byte >= 0xF0 && byte < 0xF5 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC2 ? 2 : 0;
  if (length == 0 || i + length > text.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return 0;
  }
  return length;
}

}  // namespace

void ServerLog(const std::string& line) {
  std::lock_guard<std::mutex> lock(LogMutex());
  std::fputs((line + "\n").c_str(), stderr);
  std::fflush(stderr);
}

std::string LogSafe(const std::string& text, size_t prefix) {
  std::string safe;
  size_t i = 0;
  auto escape = [&safe](unsigned char byte) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\x%02X", byte);
    safe += hex;
  };
  while (i < text.size() && i < prefix) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x20 || byte == 0x7F || byte == '\\') {
      escape(byte);
      ++i;
    } else if (byte < 0x80) {
      safe.push_back(static_cast<char>(byte));
      ++i;
    } else if (const size_t length = Utf8SequenceAt(text, i); length > 0) {
      safe.append(text, i, length);
      i += length;
    } else {
      escape(byte);
      ++i;
    }
  }
  if (i < text.size()) safe += "\xE2\x80\xA6 (" + std::to_string(text.size()) + " bytes)";
  return safe;
}

}  // namespace larkspire::server
