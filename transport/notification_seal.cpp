#include "transport/notification_seal.h"

#include <openssl/evp.h>
#include <openssl/ssl.h>

#include <climits>
#include <cstring>
#include <memory>

#include "platform/exception.h"

namespace larkspire {
namespace {

struct TCipherFree {
  void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using TCipherContext = std::unique_ptr<EVP_CIPHER_CTX, TCipherFree>;

void PutNonce(uint64_t counter, uint8_t* nonce) {
  std::memset(nonce, 0, 4);
  for (int i = 0; i < 8; ++i) nonce[4 + i] = static_cast<uint8_t>(counter >> (8 * i));
}

uint64_t NonceCounter(const uint8_t* nonce) {
  uint64_t counter = 0;
  for (int i = 0; i < 8; ++i) counter |= uint64_t{nonce[4 + i]} << (8 * i);
  return counter;
}

}  // namespace

bool ExportNotificationKey(SSL* ssl, TNotificationKey& key) {
  if (ssl == nullptr) return false;
  TNotificationKey exported{};
  const size_t label_length = std::strlen(kNotificationKeyLabel);
  if (SSL_export_keying_material(ssl, exported.data(), exported.size(), kNotificationKeyLabel,
                                 label_length, nullptr, 0, 0) != 1) {
    return false;
  }
  key = exported;
  return true;
}

void SealRecord(const TNotificationKey& key, uint64_t counter, const uint8_t* record, size_t length,
                std::string& out) {
  if (length > static_cast<size_t>(INT_MAX)) throw Exception("a record too long to seal");
  const uint8_t kind = kRecordSealed;
  uint8_t nonce[kSealNonceSize];
  PutNonce(counter, nonce);
  TCipherContext context(EVP_CIPHER_CTX_new());
  int written = 0;
  if (!context ||
      EVP_EncryptInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_IVLEN, kSealNonceSize, nullptr) != 1 ||
      EVP_EncryptInit_ex(context.get(), nullptr, nullptr, key.data(), nonce) != 1 ||
      EVP_EncryptUpdate(context.get(), nullptr, &written, &kind, 1) != 1) {
    throw Exception("the record cannot be sealed");
  }
  const size_t start = out.size();
  out.resize(start + kSealOverhead + length);
  uint8_t* message = reinterpret_cast<uint8_t*>(out.data()) + start;
  message[0] = kind;
  std::memcpy(message + 1, nonce, kSealNonceSize);
  uint8_t* cipher = message + 1 + kSealNonceSize;
  int total = 0;
  if (length > 0) {
    if (EVP_EncryptUpdate(context.get(), cipher, &written, record, static_cast<int>(length)) != 1) {
      out.resize(start);
      throw Exception("the record cannot be sealed");
    }
    total = written;
  }
  if (EVP_EncryptFinal_ex(context.get(), cipher + total, &written) != 1 ||
      static_cast<size_t>(total + written) != length ||
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_GET_TAG, kSealTagSize, cipher + length) !=
          1) {
    out.resize(start);
    throw Exception("the record cannot be sealed");
  }
}

bool OpenSealedRecord(const TNotificationKey& key, const uint8_t* message, size_t length,
                      uint64_t& counter, std::string& record) {
  if (length < kSealOverhead || message[0] != kRecordSealed) return false;
  const uint8_t* nonce = message + 1;
  if (nonce[0] != 0 || nonce[1] != 0 || nonce[2] != 0 || nonce[3] != 0) return false;
  const size_t cipher_length = length - kSealOverhead;
  if (cipher_length > static_cast<size_t>(INT_MAX)) return false;
  const uint8_t* cipher = nonce + kSealNonceSize;
  // The tag is handed to OpenSSL through a non-const pointer; a copy keeps the message intact.
  uint8_t tag[kSealTagSize];
  std::memcpy(tag, cipher + cipher_length, kSealTagSize);
  TCipherContext context(EVP_CIPHER_CTX_new());
  int written = 0;
  if (!context ||
      EVP_DecryptInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_IVLEN, kSealNonceSize, nullptr) != 1 ||
      EVP_DecryptInit_ex(context.get(), nullptr, nullptr, key.data(), nonce) != 1 ||
      EVP_DecryptUpdate(context.get(), nullptr, &written, message, 1) != 1) {
    return false;
  }
  std::string plain(cipher_length, '\0');
  int total = 0;
  if (cipher_length > 0) {
    if (EVP_DecryptUpdate(context.get(), reinterpret_cast<uint8_t*>(plain.data()), &written, cipher,
                          static_cast<int>(cipher_length)) != 1) {
      return false;
    }
    total = written;
  }
  if (EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG, kSealTagSize, tag) != 1 ||
      EVP_DecryptFinal_ex(context.get(), reinterpret_cast<uint8_t*>(plain.data()) + total,
                          &written) != 1) {
    return false;
  }
  counter = NonceCounter(nonce);
  record = std::move(plain);
  return true;
}

void TNotificationSealer::Seal(const uint8_t* record, size_t length, std::string& out) {
  // A counter that would wrap would reuse a nonce under the same key.
  if (counter_ == UINT64_MAX) throw Exception("the link's nonces are used up");
  SealRecord(key_, counter_ + 1, record, length, out);
  ++counter_;
}

bool TNotificationOpener::Accept(uint64_t counter) {
  if (counter <= last_) return false;
  last_ = counter;
  return true;
}

bool TNotificationOpener::Open(const uint8_t* message, size_t length, std::string& record) {
  uint64_t counter = 0;
  std::string opened;
  if (!OpenSealedRecord(key_, message, length, counter, opened) || !Accept(counter)) return false;
  record = std::move(opened);
  return true;
}

}  // namespace larkspire
