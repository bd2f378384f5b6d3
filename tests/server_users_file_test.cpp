// The users file and its password hashes: what is accepted, what is refused with which line,
// and that log-ins check the password against the hash.
#include <string>

#include "gtest/gtest.h"
#include "platform/exception.h"
#include "server/base/password_hash.h"
#include "server/config/users_file.h"

namespace larkspire::server {
namespace {

// Few iterations keep the tests fast; the file's own count is what a check uses.
constexpr uint32_t kFast = kMinPasswordHashIterations;

TEST(TUsersFile, LogsInWithTheRightPasswordOnlyAndSkipsCommentsBlanksAndCarriageReturns) {
  const std::string text = "# users\r\n\r\nalice:" + HashPassword("s3cret", kFast) +
                           ":alice_role\r\n  \nbob:" + HashPassword("pässwörd", kFast) + ":\n";
  const TUsers users = TUsers::Parse(text, "users");
  EXPECT_EQ(users.Size(), 2u);
  const auto alice = users.CheckLogIn("alice", "s3cret");
  ASSERT_TRUE(alice);
  EXPECT_EQ(alice->Role, "alice_role");
  EXPECT_EQ(users.CheckLogIn("bob", "pässwörd")->Role, "");
  EXPECT_FALSE(users.CheckLogIn("alice", "s3cret "));
  EXPECT_FALSE(users.CheckLogIn("alice", ""));
  EXPECT_FALSE(users.CheckLogIn("carol", "s3cret"));
  EXPECT_FALSE(users.CheckLogIn("Alice", "s3cret"));
}

TEST(TUsersFile, RefusesAMalformedLineNamingIt) {
  const std::string hash = HashPassword("pw", kFast);
  for (const std::string& line :
       {std::string("alice"), "alice:" + hash, ":" + hash + ":r", "alice:" + hash + ":r:extra",
        std::string("alice:s3cret:r"), "alice:" + hash + "x:r",
        "alice:" + hash + ":r\nalice:" + hash + ":r"}) {
    try {
      TUsers::Parse("# first\n" + line + "\n", "users");
      ADD_FAILURE() << "accepted: " << line;
    } catch (const Exception& e) {
      EXPECT_NE(std::string(e.what()).find("users line "), std::string::npos) << e.what();
      EXPECT_EQ(std::string(e.what()).find("s3cret"), std::string::npos) << e.what();
    }
  }
}

TEST(TPasswordHash, HasItsFormAndRefusesForgedOrAbsurdOnes) {
  const std::string hash = HashPassword("pw");
  EXPECT_EQ(hash.rfind("pbkdf2-sha256$600000$", 0), 0u) << hash;
  EXPECT_NE(HashPassword("pw", kFast), HashPassword("pw", kFast));  // salted
  const std::string fast = HashPassword("pw", kFast);
  const std::string tail = fast.substr(fast.find('$', 14));  // "$SALT$HASH"
  for (const std::string& bad :
       {"pbkdf2-sha256$999" + tail, "pbkdf2-sha256$100000001" + tail,
        "pbkdf2-sha256$99999999999999" + tail, "pbkdf2-sha1$1000" + tail,
        "pbkdf2-sha256$1000$" + tail.substr(1, 8) + tail.substr(tail.find('$', 1)),
        fast.substr(0, fast.size() - 4), fast + "$", std::string()}) {
    EXPECT_FALSE(IsPasswordHash(bad)) << bad;
    EXPECT_FALSE(VerifyPassword("pw", bad)) << bad;
  }
  EXPECT_TRUE(VerifyPassword("pw", fast));
  // Made by Python's hashlib.pbkdf2_hmac from the UTF-8 bytes of the password.
  const std::string python =
      "pbkdf2-sha256$1000$AAECAwQFBgcICQoLDA0ODw==$ydGcGDTnRY+Q112tKas8g/X7dCFB6oORlqagIumfcac=";
  EXPECT_TRUE(VerifyPassword("пароль-密码", python));
  EXPECT_FALSE(VerifyPassword("пароль-密", python));
  EXPECT_TRUE(DigestsEqual(DigestPassword("pw"), DigestPassword("pw")));
  EXPECT_FALSE(DigestsEqual(DigestPassword("pw"), DigestPassword("pW")));
}

}  // namespace
}  // namespace larkspire::server
