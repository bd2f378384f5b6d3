#include "demo/screenshot.h"

namespace larkspire {

int RunScreenshots(const TDemoServer& server, const std::string& dir) {
  return 1;
}

}  // namespace larkspire
