// DES and triple-DES contexts and their block cipher.
#ifndef SOFTCRYPT_DES_CONTEXT_H
#define SOFTCRYPT_DES_CONTEXT_H

#include <openssl/des.h>

#include <cstddef>
#include <cstdint>

#include "softcrypt/block_stream.h"
#include "softcrypt/cipher_results.h"
#include "softcrypt/context_storage.h"

namespace softcrypt {

inline constexpr int kSingleDes = 1;
inline constexpr int kTripleDes = 3;

struct DesContext {
  static constexpr ContextTag kTag = ContextTag::Des;
  ContextTag tag;  // first, so that no key byte stands where the kind is read
  DES_cblock key1;
  DES_key_schedule schedule1;
  DES_cblock key2;  // triple DES only, zero otherwise
  DES_key_schedule schedule2;
  DES_cblock key3;  // triple DES only
  DES_key_schedule schedule3;
  unsigned char chainBlock[8];  // the IV after acquire in CBC; then the last ciphertext block
  int cipherKind;               // kSingleDes or kTripleDes
  int mode;                     // stored unchecked; each cipher operation checks it
  int option;                   // stored, never read
  unsigned char pending[8];
  std::uint32_t pendingLen;
  unsigned char macState[8];
};

// Key length 8 gives single DES, 16 two-key triple DES (key1 again as the
// third key), 24 or more three-key triple DES from the first 24 bytes. Other
// lengths are refused without reading the key. The IV is read only in CBC.
// Returns AcquireResult::Ok or Refused; *ctxOut is written only on success.
AcquireResult acquireDesContext(const unsigned char* key, int keyLen, const unsigned char* iv, int mode, int option,
                                void** ctxOut) noexcept;

// Runs of blocks in the context's mode, and single-block encipherment for the MAC.
class DesBlockCipher {
 public:
  explicit DesBlockCipher(DesContext& context) noexcept : context_(context) {}

  int mode() const noexcept { return context_.mode; }
  bool run(Direction direction, RunSite site, const unsigned char* in, unsigned char* out, std::size_t blocks,
           ChainUpdate chain) noexcept;
  bool encipher(MacSite site, unsigned char (&block)[8]) noexcept;

 private:
  void ecbBlock(const unsigned char* in, unsigned char* out, bool encrypt) noexcept;

  DesContext& context_;
};

}  // namespace softcrypt

#endif
