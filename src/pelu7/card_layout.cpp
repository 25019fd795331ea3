#include "pelu7/card_layout.h"

#include <openssl/crypto.h>
#include <openssl/sha.h>

#include <cstring>

namespace pelu7 {

int DerivePinValue(const unsigned char* text, int textLen, unsigned char* out, unsigned n) {
  if (n > kPinValueSize) return -1;
  static const unsigned char kEmpty[1] = {0};
  unsigned char digest[SHA_DIGEST_LENGTH];
  const size_t length = textLen > 0 ? static_cast<size_t>(textLen) : 0;
  SHA1(length > 0 ? text : kEmpty, length, digest);
  std::memcpy(out, digest, n);
  OPENSSL_cleanse(digest, sizeof digest);
  return 0;
}

void derivePin(const unsigned char* text, int textLen, PinValue& out) {
  DerivePinValue(text, textLen, out.bytes, kPinValueSize);
}

void deriveFixedPin(const char (&text)[9], PinValue& out) {
  derivePin(reinterpret_cast<const unsigned char*>(text), 8, out);
}

}  // namespace pelu7
