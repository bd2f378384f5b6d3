// Password hashes for the users file, made and checked with OpenSSL's PBKDF2-HMAC-SHA256:
// "pbkdf2-sha256$ITERATIONS$SALT$HASH", salt (16 random bytes) and hash (32 bytes) in base64.
// PBKDF2 needs no memory per check, so a crowd of log-ins cannot exhaust the server's; the
// checks that run at once are bounded instead (the others wait their turn).
//
// Thread-safety: every function may be called from any thread.
#ifndef LARKSPIRE_SERVER_PASSWORD_HASH_H_
#define LARKSPIRE_SERVER_PASSWORD_HASH_H_

#include <array>
#include <cstdint>
#include <string>

namespace larkspire::server {

// The iterations a new hash gets.
inline constexpr uint32_t kPasswordHashIterations = 600000;
// Bounds a hash read from a file may name.
inline constexpr uint32_t kMinPasswordHashIterations = 1000;
inline constexpr uint32_t kMaxPasswordHashIterations = 100000000;

// A new hash of password with a fresh random salt. Raises Exception when OpenSSL fails.
std::string HashPassword(const std::string& password,
                         uint32_t iterations = kPasswordHashIterations);

// Whether text has the form of a hash HashPassword makes (its fields decode, its iterations are
// within the bounds).
bool IsPasswordHash(const std::string& text);

// Whether password matches the hash, compared in constant time. False for a malformed hash.
bool VerifyPassword(const std::string& password, const std::string& hash);

// A fixed-length digest (SHA-256) of a password a session logged in with, so later commands'
// passwords are compared with it in constant time without the slow derivation.
using TPasswordDigest = std::array<unsigned char, 32>;
TPasswordDigest DigestPassword(const std::string& password);
bool DigestsEqual(const TPasswordDigest& a, const TPasswordDigest& b);

}  // namespace larkspire::server

#endif  // LARKSPIRE_SERVER_PASSWORD_HASH_H_
