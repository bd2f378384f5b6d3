#include "platform/identity.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <vector>

namespace larkspire {
namespace {

// "00:1a:2b:3c:4d:5e" to "001A2B3C4D5E"; empty when the text is not an address.
std::string HexOfAddress(const std::string& text) {
  std::string hex;
  for (char c : text) {
    if (std::isxdigit(static_cast<unsigned char>(c)))
      hex.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    else if (c != ':' && c != '\n' && c != '\r' && c != ' ')
      return "";
  }
  if (hex.size() % 2 != 0) return "";
  return hex;
}

}  // namespace

std::string GetAdapterAddress(const std::string& net_root) {
  std::error_code error;
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(net_root, error))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    if (name == "lo") continue;
    std::ifstream file(net_root + "/" + name + "/address");
    std::string line;
    if (!file || !std::getline(file, line)) continue;
    const std::string hex = HexOfAddress(line);
    if (hex.empty() || hex.find_first_not_of('0') == std::string::npos) continue;
    return hex;
  }
  return "";
}

}  // namespace larkspire
