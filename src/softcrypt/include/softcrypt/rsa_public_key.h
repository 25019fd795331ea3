// RSA public-key operations in software over OpenSSL libcrypto, on a key built
// from a caller's big-endian modulus and the fixed public exponent 65537.
//
// Each call builds an RsaPublicKeyBlock on the stack and takes the OpenSSL
// RSA object of that key from the calling thread's cache of prepared keys
// (rsa_key_cache.h), which builds it on first use. The results are those of
// a key object built afresh. The operations neither log nor touch the card;
// they return the length OpenSSL produced, or kRsaFailed.
#pragma once

#include <openssl/bn.h>
#include <openssl/rsa.h>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace softcrypt {

inline constexpr std::size_t kRsaKeyFieldSize = 256;  // room for a 2048-bit value
inline constexpr int kRsaFailed = -1;

// The host-side public key: bit count, then the modulus and the exponent,
// each right-aligned in a 256-byte field behind zero bytes. A plain record:
// fillRsaPublicKeyBlock zeroes all of it before filling it.
struct RsaPublicKeyBlock {
  std::uint32_t bits;
  std::uint8_t modulus[kRsaKeyFieldSize];
  std::uint8_t exponent[kRsaKeyFieldSize];
};
static_assert(sizeof(RsaPublicKeyBlock) == 4 + 2 * kRsaKeyFieldSize);

// Zeroes the block, then places modulusLen bytes (at most kRsaKeyFieldSize)
// at the end of the modulus field and 01 00 01 at the end of the exponent
// field.
void fillRsaPublicKeyBlock(RsaPublicKeyBlock& block, const std::uint8_t* modulus, std::size_t modulusLen) noexcept;

// Modulus length in bytes as the block records it.
inline int modulusBytes(const RsaPublicKeyBlock& block) noexcept { return static_cast<int>(block.bits / 8); }

struct RsaFree {
  void operator()(RSA* rsa) const noexcept;
};
struct BignumFree {
  void operator()(BIGNUM* number) const noexcept { BN_free(number); }
};
using RsaHolder = std::unique_ptr<RSA, RsaFree>;
using BignumHolder = std::unique_ptr<BIGNUM, BignumFree>;

// The OpenSSL RSA object of the block: leading zero bytes of each field are
// skipped. Empty when OpenSSL fails.
RsaHolder toRsaKey(const RsaPublicKeyBlock& block) noexcept;

enum class RsaPadding { kNone, kPkcs1 };

// RSA_public_encrypt of inLen bytes: raw (inLen must be the key's size) or
// PKCS#1 v1.5 type 2 (at most the key's size minus 11 bytes). out receives
// the key's size in bytes.
int rsaPublicEncrypt(const RsaPublicKeyBlock& block, const std::uint8_t* in, int inLen, std::uint8_t* out,
                     RsaPadding padding) noexcept;

// RSA_public_decrypt of inLen bytes and removal of PKCS#1 v1.5 type-1
// padding: out receives the data found inside the padding (at most the key's
// size minus 11 bytes; possibly none).
int rsaPublicRecover(const RsaPublicKeyBlock& block, const std::uint8_t* in, int inLen, std::uint8_t* out) noexcept;

}  // namespace softcrypt
