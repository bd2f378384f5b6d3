#include "cli/terminal_text.h"

#include <cstdint>

namespace larkspire::cli {

namespace {

constexpr char kHex[] = "0123456789abcdef";

void AppendByteEscape(std::string& out, unsigned char byte) {
  out += "\\x";
  out += kHex[byte >> 4];
  out += kHex[byte & 15];
}

// The length of the valid UTF-8 sequence at i, or 0 when the byte there does not start one.
size_t SequenceLength(const std::string& text, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  size_t length = 0;
  uint32_t least = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    least = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    least = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    least = 0x10000;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  uint32_t code_point = lead & (0x7F >> length);
  for (size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    code_point = (code_point << 6) | (byte(i + k) & 0x3F);
  }
  // Overlong forms, surrogates and code points past U+10FFFF are not valid UTF-8.
  if (code_point < least || (code_point >= 0xD800 && code_point <= 0xDFFF) || code_point > 0x10FFFF)
    return 0;
  return length;
}

}  // namespace

std::string TerminalSafe(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x80) {
      if ((byte < 0x20 && byte != '\n' && byte != '\t') || byte == 0x7F)
        AppendByteEscape(out, byte);
      else
        out += static_cast<char>(byte);
      ++i;
      continue;
    }
    const size_t length = SequenceLength(text, i);
    if (length == 0) {
      AppendByteEscape(out, byte);
      ++i;
      continue;
    }
    // U+0080 to U+009F, the C1 controls, are 0xC2 0x80 to 0xC2 0x9F.
    const auto second = static_cast<unsigned char>(text[i + 1]);
    if (byte == 0xC2 && second <= 0x9F) {
      out += "\\u00";
      out += kHex[second >> 4];
      out += kHex[second & 15];
    } else {
      out.append(text, i, length);
    }
    i += length;
  }
  return out;
}

}  // namespace larkspire::cli
