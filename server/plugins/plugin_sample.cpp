// PluginSample: the sample plug-in of the demonstration, built with the server and loaded by
// default. It reads the integer "ReqType" and answers "Result":
//
// | ReqType | request           | "Result"                                                  |
// |---------|-------------------|-----------------------------------------------------------|
// | 0       | integers "a", "b" | integer a + b                                             |
// | 1       | integers "a", "b" | integer a × b                                             |
// | 2       |                   | text: the server's local time, "YYYY-MM-DD HH:MM:SS"      |
// | 3       |                   | stream: the server's screen as a BMP file (24 bits a pixel)|
//
// A sum or product outside the 32-bit range, a missing or mistyped parameter, an unknown
// ReqType and a server without a screen (no X display in DISPLAY) fail the call with a text
// that says so. The screen is captured through libx11 where the build found it.
#include <time.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#ifdef LARKSPIRE_HAVE_X11
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#endif

#include "server/plugins/larkspire_plugin.h"

namespace {

constexpr const char* kName = "PluginSample";
constexpr const char* kKinds = "(0 sum, 1 product, 2 server time, 3 screen)";

void PutInt32(std::string& out, int32_t value) {
  const auto bits = static_cast<uint32_t>(value);
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((bits >> (8 * i)) & 0xFF));
}

void PutInt16(std::string& out, uint16_t value) {
  out.push_back(static_cast<char>(value & 0xFF));
  out.push_back(static_cast<char>(value >> 8));
}

// A container with the one entry "Result".
std::string ResultContainer(uint8_t type, const std::string& value) {
  std::string out;
  PutInt32(out, 1);
  PutInt32(out, 6);
  out += "Result";
  out.push_back(static_cast<char>(type));
  PutInt32(out, static_cast<int32_t>(value.size()));
  out += value;
  return out;
}

int Fail(const LarkspirePluginCall* call, const std::string& message) {
  call->reply->set_error(call->reply, message.c_str());
  return 1;
}

int Answer(const LarkspirePluginCall* call, uint8_t type, const std::string& value) {
  const std::string container = ResultContainer(type, value);
  call->reply->set_answer(call->reply, container.data(), container.size());
  return 0;
}

// Reads an integer parameter (pdtInteger, or pdtInt64); false when it is missing or of
// another type.
bool ReadInteger(const LarkspirePluginCall* call, const char* name, int64_t& value) {
  LarkspirePluginEntry entry;
  if (larkspire_plugin_find(call->request, call->request_size, name, &entry) != 1) return false;
  uint64_t bits = 0;
  if (entry.type == LARKSPIRE_PDT_INTEGER && entry.size == 4) {
    for (int i = 0; i < 4; ++i) bits |= uint64_t{entry.data[i]} << (8 * i);
    value = static_cast<int32_t>(static_cast<uint32_t>(bits));
    return true;
  }
  if (entry.type == LARKSPIRE_PDT_INT64 && entry.size == 8) {
    for (int i = 0; i < 8; ++i) bits |= uint64_t{entry.data[i]} << (8 * i);
    value = static_cast<int64_t>(bits);
    return true;
  }
  return false;
}

std::string Text(__int128 value) {
  if (value == 0) return "0";
  const bool negative = value < 0;
  std::string digits;
  while (value != 0) {
    const int digit = static_cast<int>(value % 10);
    digits.insert(digits.begin(), static_cast<char>('0' + (negative ? -digit : digit)));
    value /= 10;
  }
  return negative ? "-" + digits : digits;
}

int Arithmetic(const LarkspirePluginCall* call, bool product) {
  int64_t a = 0;
  int64_t b = 0;
  if (!ReadInteger(call, "a", a) || !ReadInteger(call, "b", b)) {
    return Fail(call, std::string(kName) + ": ReqType " + (product ? "1" : "0") +
                          " needs the integers \"a\" and \"b\"");
  }
  const __int128 result = product ? __int128{a} * b : __int128{a} + b;
  if (result < INT32_MIN || result > INT32_MAX) {
    return Fail(call, std::string(kName) + ": the " + (product ? "product " : "sum ") + Text(a) +
                          (product ? " * " : " + ") + Text(b) + " = " + Text(result) +
                          " does not fit in a 32-bit integer");
  }
  std::string value;
  PutInt32(value, static_cast<int32_t>(result));
  return Answer(call, LARKSPIRE_PDT_INTEGER, value);
}

int ServerTime(const LarkspirePluginCall* call) {
  const time_t now = ::time(nullptr);
  tm local{};
  ::localtime_r(&now, &local);
  char text[32];
  const size_t length = ::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return Answer(call, LARKSPIRE_PDT_STRING, std::string(text, length));
}

// A bottom-up 24-bit BMP file: the 14-byte file header, the 40-byte information header and the
// rows, each padded to a multiple of 4 bytes. pixel(x, y) gives 0xRRGGBB.
template <typename TPixel>
std::string Bitmap(int width, int height, TPixel pixel) {
  const uint32_t stride = (static_cast<uint32_t>(width) * 3 + 3) & ~3u;
  const uint32_t image_size = stride * static_cast<uint32_t>(height);
  std::string out;
  out.reserve(54 + image_size);
  out += "BM";
  PutInt32(out, static_cast<int32_t>(54 + image_size));
  PutInt32(out, 0);
  PutInt32(out, 54);
  PutInt32(out, 40);
  PutInt32(out, width);
  PutInt32(out, height);
  PutInt16(out, 1);
  PutInt16(out, 24);
  PutInt32(out, 0);  // no compression
  PutInt32(out, static_cast<int32_t>(image_size));
  PutInt32(out, 2835);  // 72 dots an inch
  PutInt32(out, 2835);
  PutInt32(out, 0);
  PutInt32(out, 0);
  for (int y = height - 1; y >= 0; --y) {
    const size_t row_start = out.size();
    for (int x = 0; x < width; ++x) {
      const uint32_t rgb = pixel(x, y);
      out.push_back(static_cast<char>(rgb & 0xFF));
      out.push_back(static_cast<char>((rgb >> 8) & 0xFF));
      out.push_back(static_cast<char>((rgb >> 16) & 0xFF));
    }
    out.append(stride - (out.size() - row_start), '\0');
  }
  return out;
}

#ifdef LARKSPIRE_HAVE_X11
int x_errors = 0;

int CountXError(Display*, XErrorEvent*) {
  ++x_errors;
  return 0;
}

// The channel of pixel under mask, scaled to 8 bits.
uint32_t Channel(unsigned long pixel, unsigned long mask) {
  if (mask == 0) return 0;
  int shift = 0;
  while (((mask >> shift) & 1) == 0) ++shift;
  const unsigned long bits = mask >> shift;
  const unsigned long value = (pixel & mask) >> shift;
  return static_cast<uint32_t>(value * 255 / bits);
}
#endif

int Screen(const LarkspirePluginCall* call) {
  const char* display_name = std::getenv("DISPLAY");
  if (display_name == nullptr || display_name[0] == '\0') {
    return Fail(call,
                std::string(kName) + ": the server has no screen to capture (DISPLAY is not set)");
  }
#ifndef LARKSPIRE_HAVE_X11
  return Fail(call, std::string(kName) +
                        ": this server was built without screen capture (libx11 was not found)");
#else
  Display* display = XOpenDisplay(display_name);
  if (display == nullptr) {
    return Fail(call, std::string(kName) +
                          ": the server has no screen to capture (cannot open "
                          "the display \"" +
                          display_name + "\")");
  }
  XSetErrorHandler(CountXError);
  const Window root = DefaultRootWindow(display);
  XWindowAttributes attributes{};
  XImage* image = nullptr;
  if (XGetWindowAttributes(display, root, &attributes) != 0 && attributes.width > 0 &&
      attributes.height > 0) {
    image = XGetImage(display, root, 0, 0, static_cast<unsigned>(attributes.width),
                      static_cast<unsigned>(attributes.height), AllPlanes, ZPixmap);
  }
  if (image == nullptr) {
    XCloseDisplay(display);
    return Fail(call, std::string(kName) + ": the screen of display \"" + display_name +
                          "\" could not be read");
  }
  std::string bmp;
  if (image->red_mask != 0 && image->green_mask != 0 && image->blue_mask != 0) {
    bmp = Bitmap(image->width, image->height, [&](int x, int y) {
      const unsigned long p = XGetPixel(image, x, y);
      return (Channel(p, image->red_mask) << 16) | (Channel(p, image->green_mask) << 8) |
             Channel(p, image->blue_mask);
    });
  } else {
    // A palette visual: ask the server for the colours.
    const Colormap colormap = attributes.colormap;
    bmp = Bitmap(image->width, image->height, [&](int x, int y) {
      XColor colour{};
      colour.pixel = XGetPixel(image, x, y);
      XQueryColor(display, colormap, &colour);
      return (uint32_t{colour.red} >> 8 << 16) | (uint32_t{colour.green} >> 8 << 8) |
             (uint32_t{colour.blue} >> 8);
    });
  }
  XDestroyImage(image);
  XCloseDisplay(display);
  return Answer(call, LARKSPIRE_PDT_STREAM, bmp);
#endif
}

int Call(const LarkspirePluginCall* call) {
  int64_t kind = 0;
  if (!ReadInteger(call, "ReqType", kind)) {
    return Fail(call, std::string(kName) + " needs the integer parameter \"ReqType\" " + kKinds);
  }
  switch (kind) {
    case 0:
      return Arithmetic(call, false);
    case 1:
      return Arithmetic(call, true);
    case 2:
      return ServerTime(call);
    case 3:
      return Screen(call);
    default:
      return Fail(call, std::string(kName) + ": unknown ReqType " + Text(kind) + " " + kKinds);
  }
}

const LarkspirePluginInfo kInfo = {LARKSPIRE_PLUGIN_INTERFACE_VERSION, kName, Call};

}  // namespace

LARKSPIRE_PLUGIN_EXPORT const LarkspirePluginInfo* larkspire_plugin_info(void) {
  return &kInfo;
}
