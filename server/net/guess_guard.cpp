#include "server/net/guess_guard.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>

#include "server/base/server_log.h"

namespace larkspire::server {

namespace {

// Past this many addresses, the quiet ones are dropped; past twice as many, any.
constexpr size_t kPruneAbove = 10000;

// The spacing of an address's slots after failures wrong passwords.
std::chrono::milliseconds SpacingAfter(uint32_t failures) {
  const auto grown = TGuessGuard::kMinSpacing * (1 + failures / 20);
  return std::min<std::chrono::milliseconds>(grown, TGuessGuard::kMaxSpacing);
}

bool Sha256(const std::string& text, unsigned char (&digest)[32]) {
  unsigned int length = 0;
  return EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr) == 1 &&
         length == 32;
}

}  // namespace

TGuessGuard::TClock::time_point TGuessGuard::Admit(const std::string& address) {
  const auto now = TClock::now();
  std::lock_guard lock(mutex_);
  auto found = addresses_.find(address);
  if (found == addresses_.end()) return now;
  TAddress& entry = found->second;
  if (now - entry.LastFailure >= kForgetAfter) {
    addresses_.erase(found);
    return now;
  }
  const auto slot = std::max(now, entry.NextSlot);
  if (slot - now > kMaxWait) return TClock::time_point::max();
  entry.NextSlot = slot + SpacingAfter(entry.Failures);
  return slot;
}

void TGuessGuard::Failed(const std::string& address, const std::string& line) {
  const auto now = TClock::now();
  std::lock_guard lock(mutex_);
  if (addresses_.size() > kPruneAbove) Prune(now);
  TAddress& entry = addresses_[address];
  if (entry.Failures > 0 && now - entry.LastFailure >= kForgetAfter) entry = TAddress();
  ++entry.Failures;
  entry.LastFailure = now;
  entry.NextSlot = std::max(entry.NextSlot, now + SpacingAfter(entry.Failures));
  if (now - log_window_ >= std::chrono::seconds(1)) {
    if (unlogged_ > 0) {
      ServerLog(std::to_string(unlogged_) + " more wrong passwords in one second");
    }
    log_window_ = now;
    logged_ = 0;
    unlogged_ = 0;
  }
  if (logged_ < kLogLinesPerSecond) {
    ++logged_;
    ServerLog(line);
  } else {
    ++unlogged_;
  }
}

void TGuessGuard::Prune(TClock::time_point now) {
  for (auto it = addresses_.begin(); it != addresses_.end();) {
    it = now - it->second.LastFailure >= kForgetAfter ? addresses_.erase(it) : std::next(it);
  }
  // A flood from very many addresses: memory stays bounded, at the price of forgetting some.
  while (addresses_.size() > 2 * kPruneAbove) addresses_.erase(addresses_.begin());
}

std::string PeerAddress(const std::string& peer) {
  if (!peer.empty() && peer.front() == '[') {
    const size_t close = peer.find(']');
    if (close != std::string::npos) return peer.substr(1, close - 1);
  }
  const size_t colon = peer.rfind(':');
  return colon == std::string::npos ? peer : peer.substr(0, colon);
}

bool SamePassword(const std::string& given, const std::string& expected) {
  // Digests of both have one length whatever the texts, so the comparison takes the same
  // time wherever they differ and however long they are.
  unsigned char a[32];
  unsigned char b[32];
  if (!Sha256(given, a) || !Sha256(expected, b)) return false;
  return CRYPTO_memcmp(a, b, sizeof a) == 0;
}

}  // namespace larkspire::server
