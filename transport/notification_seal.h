// Sealing of the notification records the server pushes over the datagram link. When the TCP
// session runs under TLS, both ends export the same 32-byte key from it (RFC 5705, label
// "EXPORTER-larkspire-notify", no context) and each record travels as
//   u8 kind (1 = sealed), 12-byte nonce, AES-256-GCM ciphertext of the record, 16-byte tag
// with the kind byte as additional data. The nonce is 4 zero bytes and a little-endian 64-bit
// counter the sender raises for every record of its link; the receiver refuses a nonce not
// above the last it accepted (a replay or a stale copy). A plain record is the kind byte 0 and
// the record itself. Everything cryptographic comes from OpenSSL.
//
// Thread-safety: TNotificationSealer and TNotificationOpener are used by one thread at a time
// (their owner serialises); ExportNotificationKey follows OpenSSL's rules for the SSL object
// (call it on the thread that owns the session, or while the session is idle).
#ifndef LARKSPIRE_TRANSPORT_NOTIFICATION_SEAL_H_
#define LARKSPIRE_TRANSPORT_NOTIFICATION_SEAL_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

typedef struct ssl_st SSL;

namespace larkspire {

// The first byte of a datagram message that carries one record.
enum : uint8_t { kRecordPlain = 0, kRecordSealed = 1 };

inline constexpr size_t kNotificationKeySize = 32;
inline constexpr size_t kSealNonceSize = 12;
inline constexpr size_t kSealTagSize = 16;
// What sealing adds to a record: the kind byte, the nonce and the tag.
inline constexpr size_t kSealOverhead = 1 + kSealNonceSize + kSealTagSize;
inline constexpr const char* kNotificationKeyLabel = "EXPORTER-larkspire-notify";

using TNotificationKey = std::array<uint8_t, kNotificationKeySize>;

// Exports the link key from an established TLS session; false (key untouched) when ssl is null
// or OpenSSL refuses.
bool ExportNotificationKey(SSL* ssl, TNotificationKey& key);

// Seals record under key with the nonce of counter; appends the whole message (kind byte
// included) to out. Raises Exception when OpenSSL fails.
void SealRecord(const TNotificationKey& key, uint64_t counter, const uint8_t* record, size_t length,
                std::string& out);
// Opens a sealed message (kind byte first). False when it is too short, of another kind, its
// nonce's first four bytes are not zero, or the tag does not verify; then record and counter
// are left as they were. Does not judge the counter: TNotificationOpener does.
bool OpenSealedRecord(const TNotificationKey& key, const uint8_t* message, size_t length,
                      uint64_t& counter, std::string& record);

// The sending end of one link: numbers its records from 1.
class TNotificationSealer {
 public:
  explicit TNotificationSealer(const TNotificationKey& key) : key_(key) {}
  // Appends the sealed message of record to out.
  void Seal(const uint8_t* record, size_t length, std::string& out);
  uint64_t Counter() const { return counter_; }

 private:
  TNotificationKey key_;
  uint64_t counter_ = 0;
};

// The receiving end of one link: opens messages and refuses a counter not above the last one
// accepted.
class TNotificationOpener {
 public:
  explicit TNotificationOpener(const TNotificationKey& key) : key_(key) {}
  // Opens a sealed message; false (record untouched) when it does not verify or replays.
  bool Open(const uint8_t* message, size_t length, std::string& record);
  // Accepts a counter already verified by OpenSealedRecord; false when it is not above the
  // last one accepted.
  bool Accept(uint64_t counter);
  uint64_t LastCounter() const { return last_; }
  const TNotificationKey& Key() const { return key_; }

 private:
  TNotificationKey key_;
  uint64_t last_ = 0;
};

}  // namespace larkspire

#endif  // LARKSPIRE_TRANSPORT_NOTIFICATION_SEAL_H_
