#include "card_layout.h"

#include <openssl/crypto.h>
#include <openssl/sha.h>

#include <cstring>

namespace pelu7 {

int DerivePinValue(const unsigned char* text, int textLen, unsigned char* out, unsigned n) {
  if (n > kPinValueSize) return -1;
  unsigned char digest[SHA_DIGEST_LENGTH];
  // The digest state lives on the stack: OpenSSL 3's one-shot SHA1() would
  // allocate a context on every PIN presentation.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  SHA_CTX context;
  SHA1_Init(&context);
  if (textLen > 0) SHA1_Update(&context, text, static_cast<size_t>(textLen));
  SHA1_Final(digest, &context);
#pragma GCC diagnostic pop
  OPENSSL_cleanse(&context, sizeof context);
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
