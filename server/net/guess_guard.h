// Holds password guessing back, per client address and for the whole server.
//
// Once an address has given a wrong password, every later password check from it that is not
// on an already authenticated session waits for a slot of its own before the password is even
// compared: slots are at least 50 ms apart (at most 20 checks a second from one address,
// whatever the number of its connections) and further apart as its failures mount, up to one
// second. An address that stays quiet for a minute starts afresh. Other addresses are never
// held back, so the right password from elsewhere gets in at once. A check whose slot is more
// than MaxWait away is not made at all (the client is told to try again later).
//
// Failures are logged a line each, at most ten lines a second; the rest are counted and the
// count logged when the second is over.
//
// Thread-safety: every member may be called from any session at once.
#ifndef LARKSPIRE_SERVER_GUESS_GUARD_H_
#define LARKSPIRE_SERVER_GUESS_GUARD_H_

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

namespace larkspire::server {

class TGuessGuard {
 public:
  using TClock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kMinSpacing{50};
  static constexpr std::chrono::milliseconds kMaxSpacing{1000};
  static constexpr std::chrono::milliseconds kMaxWait{10000};
  static constexpr std::chrono::seconds kForgetAfter{60};
  static constexpr int kLogLinesPerSecond = 10;

  // When a password check from address may be made: now for an address with no failure, else
  // its next slot, which is then taken. TClock::time_point::max() when that slot is further
  // than kMaxWait away (nothing is taken then).
  TClock::time_point Admit(const std::string& address);
  // Counts a wrong password from address and logs it (line is the log's text).
  void Failed(const std::string& address, const std::string& line);

 private:
  struct TAddress {
    uint32_t Failures = 0;
    TClock::time_point NextSlot;
    TClock::time_point LastFailure;
  };
  // Drops the addresses quiet for kForgetAfter, when the table has grown large.
  void Prune(TClock::time_point now);

  std::mutex mutex_;
  std::unordered_map<std::string, TAddress> addresses_;
  TClock::time_point log_window_;
  int logged_ = 0;
  int unlogged_ = 0;
};

// The address part of a peer text ("127.0.0.1:5000" gives "127.0.0.1", "[::1]:5000" "::1").
std::string PeerAddress(const std::string& peer);
// Whether two passwords are the same, in a time that does not depend on where they differ.
bool SamePassword(const std::string& given, const std::string& expected);

}  // namespace larkspire::server

#endif  // LARKSPIRE_SERVER_GUESS_GUARD_H_
