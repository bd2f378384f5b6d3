#include "server/base/password_hash.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <semaphore>
#include <vector>

#include "platform/exception.h"

namespace larkspire::server {

namespace {

constexpr const char* kScheme = "pbkdf2-sha256";
constexpr size_t kSaltBytes = 16;
constexpr size_t kHashBytes = 32;

// Derivations running at once; more wait, so log-ins cannot take every core.
std::counting_semaphore<2> derivations(2);

std::string Base64(const unsigned char* data, size_t size) {
  std::string out(4 * ((size + 2) / 3) + 1, '\0');
  const int written =
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data, static_cast<int>(size));
  out.resize(static_cast<size_t>(written));
  return out;
}

// Decodes base64 text of exactly `size` bytes; false when it is not that.
bool FromBase64(const std::string& text, size_t size, std::vector<unsigned char>& out) {
  if (text.empty() || text.size() % 4 != 0 || text.size() > 4 * ((size + 2) / 3)) return false;
  std::vector<unsigned char> decoded(text.size() / 4 * 3);
  const int got =
      EVP_DecodeBlock(decoded.data(), reinterpret_cast<const unsigned char*>(text.data()),
                      static_cast<int>(text.size()));
  if (got < 0) return false;
  size_t length = static_cast<size_t>(got);
  // EVP_DecodeBlock keeps the bytes the padding stands for.
  if (text.size() >= 1 && text[text.size() - 1] == '=') --length;
  if (text.size() >= 2 && text[text.size() - 2] == '=') --length;
  if (length != size) return false;
  decoded.resize(length);
  out = std::move(decoded);
  return true;
}

struct TParsedHash {
  uint32_t Iterations = 0;
  std::vector<unsigned char> Salt;
  std::vector<unsigned char> Hash;
};

bool ParseHash(const std::string& text, TParsedHash& parsed) {
  std::vector<std::string> fields;
  size_t start = 0;
  while (fields.size() < 5) {
    const size_t end = text.find('$', start);
    fields.push_back(
        text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  if (fields.size() != 4 || fields[0] != kScheme) return false;
  const std::string& count = fields[1];
  if (count.empty() || count.size() > 9 ||
      count.find_first_not_of("0123456789") != std::string::npos)
    return false;
  const unsigned long iterations = std::stoul(count);
  if (iterations < kMinPasswordHashIterations || iterations > kMaxPasswordHashIterations)
    return false;
  parsed.Iterations = static_cast<uint32_t>(iterations);
  return FromBase64(fields[2], kSaltBytes, parsed.Salt) &&
         FromBase64(fields[3], kHashBytes, parsed.Hash);
}

void Derive(const std::string& password, const unsigned char* salt, size_t salt_size,
            uint32_t iterations, unsigned char* out) {
  derivations.acquire();
  const int ok = PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt,
                                   static_cast<int>(salt_size), static_cast<int>(iterations),
                                   EVP_sha256(), static_cast<int>(kHashBytes), out);
  derivations.release();
  if (ok != 1) throw Exception("the password hash could not be derived (OpenSSL)");
}

}  // namespace

std::string HashPassword(const std::string& password, uint32_t iterations) {
  unsigned char salt[kSaltBytes];
  if (RAND_bytes(salt, sizeof salt) != 1) {
    throw Exception("no random bytes for a password salt (OpenSSL)");
  }
  unsigned char hash[kHashBytes];
  Derive(password, salt, sizeof salt, iterations, hash);
  return std::string(kScheme) + "$" + std::to_string(iterations) + "$" + Base64(salt, sizeof salt) +
         "$" + Base64(hash, sizeof hash);
}

bool IsPasswordHash(const std::string& text) {
  TParsedHash parsed;
  return ParseHash(text, parsed);
}

bool VerifyPassword(const std::string& password, const std::string& hash) {
  TParsedHash parsed;
  if (!ParseHash(hash, parsed)) return false;
  unsigned char derived[kHashBytes];
  Derive(password, parsed.Salt.data(), parsed.Salt.size(), parsed.Iterations, derived);
  return CRYPTO_memcmp(derived, parsed.Hash.data(), kHashBytes) == 0;
}

TPasswordDigest DigestPassword(const std::string& password) {
  TPasswordDigest digest{};
  unsigned int length = 0;
  if (EVP_Digest(password.data(), password.size(), digest.data(), &length, EVP_sha256(), nullptr) !=
          1 ||
      length != digest.size()) {
    throw Exception("the password digest could not be made (OpenSSL)");
  }
  return digest;
}

bool DigestsEqual(const TPasswordDigest& a, const TPasswordDigest& b) {
  return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace larkspire::server
