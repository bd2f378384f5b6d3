#include "platform/codepage.h"

#include <iconv.h>

#include <cerrno>
#include <mutex>
#include <shared_mutex>

#include "platform/exception.h"

namespace larkspire {
namespace {

std::shared_mutex g_mutex;
std::string g_code_page = "UTF-8";

bool IsUtf8(const std::string& name) {
  return name == "UTF-8" || name == "utf-8" || name == "UTF8" || name == "utf8";
}

// Length of the UTF-8 sequence that starts with this byte (1 for a stray byte).
size_t Utf8Length(unsigned char c) {
  if (c >= 0xF0 && c < 0xF8) return 4;
  if (c >= 0xE0) return c < 0xF0 ? 3 : 1;
  if (c >= 0xC0) return 2;
  return 1;
}

class TIconv {
 public:
  TIconv(const std::string& from, const std::string& to)
      : handle_(iconv_open(to.c_str(), from.c_str())) {
    if (handle_ == reinterpret_cast<iconv_t>(-1))
      throw Exception("Unknown code page conversion from \"" + from + "\" to \"" + to + "\"");
  }
  ~TIconv() { iconv_close(handle_); }
  TIconv(const TIconv&) = delete;
  TIconv& operator=(const TIconv&) = delete;
  iconv_t get() const { return handle_; }

 private:
  iconv_t handle_;
};

}  // namespace

std::string ConvertCodePage(const std::string& text, const std::string& from,
                            const std::string& to) {
  if (text.empty()) return text;
  bool ascii = true;
  for (unsigned char c : text)
    if (c >= 0x80) {
      ascii = false;
      break;
    }
  // ASCII reads the same in every code page we speak.
  if (ascii) return text;
  TIconv cd(from, to);
  const bool from_utf8 = IsUtf8(from);
  std::string out;
  out.reserve(text.size() * 2 + 8);
  char* in = const_cast<char*>(text.data());
  size_t in_left = text.size();
  char buffer[4096];
  while (in_left > 0) {
    char* o = buffer;
    size_t o_left = sizeof buffer;
    const size_t r = iconv(cd.get(), &in, &in_left, &o, &o_left);
    out.append(buffer, o - buffer);
    if (r != static_cast<size_t>(-1)) continue;
    if (errno == E2BIG) continue;
    // A character the target lacks, or input that is not valid: write the substitute and
    // skip one character of the input.
    size_t skip = from_utf8 ? Utf8Length(static_cast<unsigned char>(*in)) : 1;
    if (skip > in_left) skip = in_left;
    in += skip;
    in_left -= skip;
    out.push_back('?');
    iconv(cd.get(), nullptr, nullptr, nullptr, nullptr);
  }
  char* o = buffer;
  size_t o_left = sizeof buffer;
  iconv(cd.get(), nullptr, nullptr, &o, &o_left);
  out.append(buffer, o - buffer);
  return out;
}

void SetAnsiCodePage(const std::string& name) {
  TIconv probe(name, "UTF-8");  // raises for an unknown name
  std::unique_lock lock(g_mutex);
  g_code_page = name;
}

std::string AnsiCodePage() {
  std::shared_lock lock(g_mutex);
  return g_code_page;
}

std::string WideToAnsi(const std::string& utf8) {
  const std::string page = AnsiCodePage();
  if (IsUtf8(page)) return ConvertCodePage(utf8, "UTF-8", "UTF-8");
  return ConvertCodePage(utf8, "UTF-8", page);
}

std::string AnsiToWide(const std::string& bytes) {
  const std::string page = AnsiCodePage();
  if (IsUtf8(page)) return ConvertCodePage(bytes, "UTF-8", "UTF-8");
  return ConvertCodePage(bytes, page, "UTF-8");
}

}  // namespace larkspire
