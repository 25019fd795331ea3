#include "softcrypt/rsa_public_key.h"

#include <openssl/crypto.h>

#include <cstring>

#include "rsa_key_cache.h"

// The RSA_* calls below are the low-level interface that OpenSSL 3 marks as
// deprecated; each use is wrapped so that the warning is silenced there only.
#define SOFTCRYPT_ALLOW_DEPRECATED_BEGIN \
  _Pragma("GCC diagnostic push") _Pragma("GCC diagnostic ignored \"-Wdeprecated-declarations\"")
#define SOFTCRYPT_ALLOW_DEPRECATED_END _Pragma("GCC diagnostic pop")

namespace softcrypt {
namespace {

constexpr std::uint8_t kPublicExponent[] = {0x01, 0x00, 0x01};  // 65537
constexpr std::size_t kWorkBufferSize = kRsaKeyFieldSize;

// The value of a right-aligned field, read without its leading zero bytes.
BignumHolder fieldValue(const std::uint8_t (&field)[kRsaKeyFieldSize]) noexcept {
  std::size_t skip = 0;
  while (skip < kRsaKeyFieldSize && field[skip] == 0) ++skip;
  return BignumHolder(BN_bin2bn(field + skip, static_cast<int>(kRsaKeyFieldSize - skip), nullptr));
}

// The key object of the block: the thread's cached one, or, without a
// cache, one built into `own` for this call.
RSA* preparedKey(const RsaPublicKeyBlock& block, RsaHolder& own) noexcept {
  if (RsaKeyCache* cache = threadRsaKeyCache()) return cache->find(block);
  own = toRsaKey(block);
  return own.get();
}

int opensslPadding(RsaPadding padding) noexcept {
  return padding == RsaPadding::kNone ? RSA_NO_PADDING : RSA_PKCS1_PADDING;
}

}  // namespace

void RsaFree::operator()(RSA* rsa) const noexcept {
  SOFTCRYPT_ALLOW_DEPRECATED_BEGIN
  RSA_free(rsa);
  SOFTCRYPT_ALLOW_DEPRECATED_END
}

void fillRsaPublicKeyBlock(RsaPublicKeyBlock& block, const std::uint8_t* modulus, std::size_t modulusLen) noexcept {
  std::memset(&block, 0, sizeof block);
  if (modulusLen > kRsaKeyFieldSize) modulusLen = kRsaKeyFieldSize;
  block.bits = static_cast<std::uint32_t>(modulusLen * 8);
  std::memcpy(block.modulus + kRsaKeyFieldSize - modulusLen, modulus, modulusLen);
  std::memcpy(block.exponent + kRsaKeyFieldSize - sizeof kPublicExponent, kPublicExponent, sizeof kPublicExponent);
}

RsaHolder toRsaKey(const RsaPublicKeyBlock& block) noexcept {
  SOFTCRYPT_ALLOW_DEPRECATED_BEGIN
  RsaHolder rsa(RSA_new());
  SOFTCRYPT_ALLOW_DEPRECATED_END
  BignumHolder n = fieldValue(block.modulus);
  BignumHolder e = fieldValue(block.exponent);
  if (!rsa || !n || !e) return nullptr;
  SOFTCRYPT_ALLOW_DEPRECATED_BEGIN
  const int set = RSA_set0_key(rsa.get(), n.get(), e.get(), nullptr);
  SOFTCRYPT_ALLOW_DEPRECATED_END
  if (set != 1) return nullptr;
  // The RSA object owns both numbers now.
  n.release();
  e.release();
  return rsa;
}

int rsaPublicEncrypt(const RsaPublicKeyBlock& block, const std::uint8_t* in, int inLen, std::uint8_t* out,
                     RsaPadding padding) noexcept {
  if (inLen < 0) return kRsaFailed;
  RsaHolder ownKey;
  RSA* rsa = preparedKey(block, ownKey);
  if (rsa == nullptr) return kRsaFailed;
  SOFTCRYPT_ALLOW_DEPRECATED_BEGIN
  const int length = RSA_public_encrypt(inLen, in, out, rsa, opensslPadding(padding));
  SOFTCRYPT_ALLOW_DEPRECATED_END
  return length > 0 ? length : kRsaFailed;
}

int rsaPublicRecover(const RsaPublicKeyBlock& block, const std::uint8_t* in, int inLen, std::uint8_t* out) noexcept {
  if (inLen < 0) return kRsaFailed;
  RsaHolder ownKey;
  RSA* rsa = preparedKey(block, ownKey);
  if (rsa == nullptr) return kRsaFailed;
  std::uint8_t work[kWorkBufferSize];
  SOFTCRYPT_ALLOW_DEPRECATED_BEGIN
  const int length = RSA_public_decrypt(inLen, in, work, rsa, RSA_PKCS1_PADDING);
  SOFTCRYPT_ALLOW_DEPRECATED_END
  // A block that carries no data inside its padding is valid and recovers
  // zero bytes.
  if (length > 0) std::memcpy(out, work, static_cast<std::size_t>(length));
  OPENSSL_cleanse(work, sizeof work);
  return length >= 0 ? length : kRsaFailed;
}

}  // namespace softcrypt
