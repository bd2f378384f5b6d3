// The users file of --users: who may log in, with which password and database role.
//
// One user per line, "NAME:HASH:ROLE": NAME (not empty, no ":"), HASH as
// `larkspire-server --hash-password` prints it (server/base/password_hash.h; the file never
// holds a password), ROLE the database role the user's statements run under (empty: the
// server's own). Blank lines and lines that begin with "#" are skipped; a line ending in CR is
// read without it.
//
// Thread-safety: loaded before the server serves and only read afterwards; CheckLogIn may run
// on several session threads at once.
#ifndef LARKSPIRE_SERVER_USERS_FILE_H_
#define LARKSPIRE_SERVER_USERS_FILE_H_

#include <map>
#include <optional>
#include <string>

namespace larkspire::server {

struct TUser {
  std::string Name;
  std::string Hash;
  std::string Role;
};

class TUsers {
 public:
  // Reads the file. Raises Exception naming the file and the line when it cannot be read or a
  // line is not NAME:HASH:ROLE with a well-formed hash, or a name comes twice.
  static TUsers Load(const std::string& path);
  // Parses the file's text; `source` names it in messages.
  static TUsers Parse(const std::string& text, const std::string& source);

  size_t Size() const { return users_.size(); }
  // The user when name and password match. An unknown name costs the same derivation as a
  // wrong password, so the two cannot be told apart by their time either.
  std::optional<TUser> CheckLogIn(const std::string& name, const std::string& password) const;

 private:
  std::map<std::string, TUser> users_;
};

}  // namespace larkspire::server

#endif  // LARKSPIRE_SERVER_USERS_FILE_H_
