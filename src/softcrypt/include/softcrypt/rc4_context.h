// RC4 contexts: keystream state, no IV, no padding, no buffering.
#ifndef SOFTCRYPT_RC4_CONTEXT_H
#define SOFTCRYPT_RC4_CONTEXT_H

#include <openssl/rc4.h>

#include <cstdint>

#include "softcrypt/cipher_results.h"
#include "softcrypt/context_storage.h"

namespace softcrypt {

struct Rc4Context {
  static constexpr ContextTag kTag = ContextTag::Rc4;
  ContextTag tag;  // first, so that no key byte stands where the kind is read
  RC4_KEY state;  // the two indices and the 256-entry permutation
};

// Keys the context with keyLen bytes; a key length of 0 or below is refused
// without reading the key. Returns AcquireResult::Ok or Refused; *ctxOut is
// written only on success.
AcquireResult acquireRc4Context(const unsigned char* key, int keyLen, void** ctxOut) noexcept;

// XORs inLen bytes with the next keystream bytes (in == out is allowed); 0.
// A length above INT_MAX, whose output length an int cannot report, is
// refused with Rc4Result::TooLong before anything is read or written.
Rc4Result rc4Update(Rc4Context& context, const unsigned char* in, std::uint32_t inLen, unsigned char* out,
                    int& outLen) noexcept;

// Produces nothing: outLen 0; 0.
void rc4Final(Rc4Context& context, int& outLen) noexcept;

}  // namespace softcrypt

#endif
