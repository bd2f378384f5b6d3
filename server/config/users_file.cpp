#include "server/config/users_file.h"

#include <fstream>
#include <sstream>

#include "platform/exception.h"
#include "server/base/password_hash.h"

namespace larkspire::server {

namespace {

// The most bytes of users file read; a longer one is refused rather than taken whole.
constexpr std::streamsize kMaxUsersFile = 16 * 1024 * 1024;

}  // namespace

TUsers TUsers::Load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Exception("--users " + path + ": cannot be read");
  std::string text(static_cast<size_t>(kMaxUsersFile) + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (in.bad()) throw Exception("--users " + path + ": cannot be read");
  text.resize(static_cast<size_t>(in.gcount()));
  if (text.size() > static_cast<size_t>(kMaxUsersFile)) {
    throw Exception("--users " + path + ": longer than " + std::to_string(kMaxUsersFile) +
                    " bytes");
  }
  return Parse(text, "--users " + path);
}

TUsers TUsers::Parse(const std::string& text, const std::string& source) {
  TUsers users;
  std::istringstream lines(text);
  std::string line;
  int number = 0;
  while (std::getline(lines, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(" \t") == std::string::npos || line[0] == '#') continue;
    const std::string where = source + " line " + std::to_string(number);
    const size_t first = line.find(':');
    const size_t second = first == std::string::npos ? first : line.find(':', first + 1);
    if (second == std::string::npos || line.find(':', second + 1) != std::string::npos) {
      throw Exception(where + ": expected NAME:HASH:ROLE");
    }
    TUser user{line.substr(0, first), line.substr(first + 1, second - first - 1),
               line.substr(second + 1)};
    if (user.Name.empty()) throw Exception(where + ": the user name is empty");
    if (!IsPasswordHash(user.Hash)) {
      throw Exception(where + ": the hash of \"" + user.Name +
                      "\" is not one larkspire-server --hash-password makes");
    }
    if (users.users_.count(user.Name) > 0) {
      throw Exception(where + ": the user \"" + user.Name + "\" comes twice");
    }
    users.users_.emplace(user.Name, std::move(user));
  }
  return users;
}

std::optional<TUser> TUsers::CheckLogIn(const std::string& name,
                                        const std::string& password) const {
  auto found = users_.find(name);
  if (found == users_.end()) {
    // The same work against some user's hash, whose answer is dropped.
    if (!users_.empty()) (void)VerifyPassword(password, users_.begin()->second.Hash);
    return std::nullopt;
  }
  if (!VerifyPassword(password, found->second.Hash)) return std::nullopt;
  return found->second;
}

}  // namespace larkspire::server
