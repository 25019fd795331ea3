// RC2 contexts and their block cipher.
#ifndef SOFTCRYPT_RC2_CONTEXT_H
#define SOFTCRYPT_RC2_CONTEXT_H

#include <openssl/rc2.h>

#include <cstddef>
#include <cstdint>

#include "softcrypt/block_stream.h"
#include "softcrypt/cipher_results.h"
#include "softcrypt/context_storage.h"

namespace softcrypt {

struct Rc2Context {
  static constexpr ContextTag kTag = ContextTag::Rc2;
  ContextTag tag;  // first, so that no key byte stands where the kind is read
  RC2_KEY schedule;
  unsigned char chainBlock[8];  // the IV after acquire in CBC; then the last ciphertext block
  int mode;                     // stored unchecked; each cipher operation checks it
  int option;                   // stored, never read
  unsigned char pending[8];
  std::uint32_t pendingLen;
  unsigned char macState[8];
};

// Keys the context with keyLen bytes (at most 128 are used) and an effective
// key length of 8 x keyLen bits, capped at 1024. A key length of 0 or below is
// refused without reading the key. The IV is read only in CBC.
// Returns AcquireResult::Ok or Refused; *ctxOut is written only on success.
AcquireResult acquireRc2Context(const unsigned char* key, int keyLen, const unsigned char* iv, int mode, int option,
                                void** ctxOut) noexcept;

// Runs of blocks in the context's mode, and single-block encipherment for the MAC.
class Rc2BlockCipher {
 public:
  explicit Rc2BlockCipher(Rc2Context& context) noexcept : context_(context) {}

  int mode() const noexcept { return context_.mode; }
  bool run(Direction direction, RunSite site, const unsigned char* in, unsigned char* out, std::size_t blocks,
           ChainUpdate chain) noexcept;
  bool encipher(MacSite site, unsigned char (&block)[8]) noexcept;

 private:
  Rc2Context& context_;
};

}  // namespace softcrypt

#endif
