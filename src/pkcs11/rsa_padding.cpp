#include "rsa_padding.h"

#include <openssl/rand.h>

#include <cstring>
#include <memory>

#include "ck_error.h"
#include "common/big_endian.h"
#include "common/digest_info.h"
#include "mechanisms.h"

namespace p11 {
namespace {

constexpr std::size_t kMinPadding = 8;

using DigestContext = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

void digestParts(const EVP_MD* md, std::initializer_list<std::pair<const unsigned char*, std::size_t>> parts,
                 unsigned char* out) {
  DigestContext context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  require(context != nullptr && EVP_DigestInit_ex(context.get(), md, nullptr) == 1, CKR_HOST_MEMORY);
  for (const auto& [data, length] : parts) {
    require(EVP_DigestUpdate(context.get(), data, length) == 1, CKR_FUNCTION_FAILED);
  }
  require(EVP_DigestFinal_ex(context.get(), out, nullptr) == 1, CKR_FUNCTION_FAILED);
}

// MGF1 (RFC 8017, B.2.1) xored into mask.
void applyMgf1(const EVP_MD* md, const unsigned char* seed, std::size_t seedLength, unsigned char* mask,
               std::size_t maskLength) {
  const std::size_t hashLength = static_cast<std::size_t>(EVP_MD_get_size(md));
  unsigned char block[EVP_MAX_MD_SIZE];
  for (std::uint32_t counter = 0, done = 0; done < maskLength; ++counter) {
    unsigned char counterBytes[4];
    common::putBigEndian32(counterBytes, counter);
    digestParts(md, {{seed, seedLength}, {counterBytes, 4}}, block);
    for (std::size_t i = 0; i < hashLength && done < maskLength; ++i, ++done) mask[done] ^= block[i];
  }
}

// All ones when a equals b, else zero, without a branch.
unsigned int constantTimeEquals(unsigned int a, unsigned int b) {
  const unsigned int difference = a ^ b;
  return 0u - (((difference | (0u - difference)) >> (sizeof(unsigned int) * 8 - 1)) ^ 1u);
}

}  // namespace

SecureBytes encodePkcs1Signature(const unsigned char* data, std::size_t length) {
  require(length + 3 + kMinPadding <= kModulusBytes, CKR_DATA_LEN_RANGE);
  SecureBytes block(kModulusBytes);
  block[0] = 0x00;
  block[1] = 0x01;
  const std::size_t separator = kModulusBytes - length - 1;
  std::memset(block.data() + 2, 0xFF, separator - 2);
  block[separator] = 0x00;
  if (length != 0) std::memcpy(block.data() + separator + 1, data, length);
  return block;
}

Bytes digestInfo(const EVP_MD* md, const unsigned char* digest, std::size_t length) {
  const std::span<const std::uint8_t> prefix = common::digestInfoPrefix(EVP_MD_get_type(md));
  if (prefix.empty()) fail(CKR_MECHANISM_INVALID);
  Bytes out(prefix.begin(), prefix.end());
  out.insert(out.end(), digest, digest + length);
  return out;
}

SecureBytes encodePss(const EVP_MD* hash, const EVP_MD* mgf1, const unsigned char* mHash, std::size_t hashLength,
                      std::size_t saltLength) {
  require(hashLength == static_cast<std::size_t>(EVP_MD_get_size(hash)), CKR_DATA_LEN_RANGE);
  constexpr std::size_t emLength = kModulusBytes;  // emBits = 1023 still needs 128 bytes
  require(emLength >= hashLength + saltLength + 2, CKR_MECHANISM_PARAM_INVALID);
  SecureBytes salt(saltLength);
  require(saltLength == 0 || RAND_bytes(salt.data(), static_cast<int>(saltLength)) == 1, CKR_FUNCTION_FAILED);
  const unsigned char zeros[8] = {};
  SecureBytes em(emLength);
  const std::size_t dbLength = emLength - hashLength - 1;
  unsigned char* h = em.data() + dbLength;
  digestParts(hash, {{zeros, 8}, {mHash, hashLength}, {salt.data(), saltLength}}, h);
  // DB = PS || 0x01 || salt, masked with MGF1(H).
  em[dbLength - saltLength - 1] = 0x01;
  if (saltLength != 0) std::memcpy(em.data() + dbLength - saltLength, salt.data(), saltLength);
  applyMgf1(mgf1, h, hashLength, em.data(), dbLength);
  em[0] &= 0x7F;  // 8 * emLength - emBits = 1 leftmost bit cleared
  em[emLength - 1] = 0xBC;
  return em;
}

bool checkPss(const EVP_MD* hash, const EVP_MD* mgf1, const unsigned char* mHash, std::size_t hashLength,
              std::size_t saltLength, const Bytes& block) {
  constexpr std::size_t emLength = kModulusBytes;
  if (hashLength != static_cast<std::size_t>(EVP_MD_get_size(hash)) || block.size() != emLength ||
      emLength < hashLength + saltLength + 2 || block[emLength - 1] != 0xBC || (block[0] & 0x80) != 0) {
    return false;
  }
  const std::size_t dbLength = emLength - hashLength - 1;
  const unsigned char* h = block.data() + dbLength;
  Bytes db(block.begin(), block.begin() + static_cast<long>(dbLength));
  applyMgf1(mgf1, h, hashLength, db.data(), dbLength);
  db[0] &= 0x7F;
  const std::size_t separator = dbLength - saltLength - 1;
  for (std::size_t i = 0; i < separator; ++i) {
    if (db[i] != 0) return false;
  }
  if (db[separator] != 0x01) return false;
  const unsigned char zeros[8] = {};
  unsigned char expected[EVP_MAX_MD_SIZE];
  digestParts(hash, {{zeros, 8}, {mHash, hashLength}, {db.data() + separator + 1, saltLength}}, expected);
  return std::memcmp(expected, h, hashLength) == 0;
}

SecureBytes encodeOaep(const EVP_MD* hash, const EVP_MD* mgf1, const Bytes& label, const unsigned char* message,
                       std::size_t length) {
  const std::size_t hashLength = static_cast<std::size_t>(EVP_MD_get_size(hash));
  require(2 * hashLength + 2 <= kModulusBytes, CKR_MECHANISM_PARAM_INVALID);
  require(length + 2 * hashLength + 2 <= kModulusBytes, CKR_DATA_LEN_RANGE);
  // EM = 0x00 || maskedSeed || maskedDB, DB = lHash || PS || 0x01 || M.
  SecureBytes em(kModulusBytes);
  unsigned char* seed = em.data() + 1;
  unsigned char* db = seed + hashLength;
  const std::size_t dbLength = kModulusBytes - hashLength - 1;
  digestParts(hash, {{label.data(), label.size()}}, db);
  db[dbLength - length - 1] = 0x01;
  if (length != 0) std::memcpy(db + dbLength - length, message, length);
  require(RAND_bytes(seed, static_cast<int>(hashLength)) == 1, CKR_FUNCTION_FAILED);
  applyMgf1(mgf1, seed, hashLength, db, dbLength);
  applyMgf1(mgf1, db, dbLength, seed, hashLength);
  return em;
}

bool decodeOaep(const EVP_MD* hash, const EVP_MD* mgf1, const Bytes& label, const SecureBytes& block,
                SecureBytes& message) {
  const std::size_t hashLength = static_cast<std::size_t>(EVP_MD_get_size(hash));
  if (block.size() != kModulusBytes || 2 * hashLength + 2 > kModulusBytes) return false;
  SecureBytes em = block;
  unsigned char* seed = em.data() + 1;
  unsigned char* db = seed + hashLength;
  const std::size_t dbLength = kModulusBytes - hashLength - 1;
  applyMgf1(mgf1, db, dbLength, seed, hashLength);
  applyMgf1(mgf1, seed, hashLength, db, dbLength);
  unsigned char labelHash[EVP_MAX_MD_SIZE];
  digestParts(hash, {{label.data(), label.size()}}, labelHash);
  // Every check is folded into one mask, and the message start found, with
  // no branch on the decrypted bytes (the size of the answer is the only
  // thing the caller learns, as with PKCS#1 v1.5).
  unsigned int good = constantTimeEquals(em[0], 0);
  for (std::size_t i = 0; i < hashLength; ++i) good &= constantTimeEquals(db[i], labelHash[i]);
  unsigned int oneIndex = 0;
  unsigned int lookingForOne = ~0u;
  unsigned int badPadding = 0;
  for (std::size_t i = hashLength; i < dbLength; ++i) {
    const unsigned int isOne = constantTimeEquals(db[i], 1);
    const unsigned int isZero = constantTimeEquals(db[i], 0);
    oneIndex |= static_cast<unsigned int>(i) & lookingForOne & isOne;
    badPadding |= lookingForOne & ~isOne & ~isZero;
    lookingForOne &= ~isOne;
  }
  good &= ~lookingForOne & ~badPadding;
  if (good == 0) return false;
  const std::size_t start = oneIndex + 1;
  message.assign(db + start, db + dbLength);
  return true;
}

bool decodePkcs1Encryption(const SecureBytes& block, SecureBytes& message) {
  const std::size_t length = block.size();
  unsigned int good = constantTimeEquals(block[0], 0) & constantTimeEquals(block[1], 2);
  unsigned int zeroIndex = 0;
  unsigned int lookingForZero = ~0u;
  for (std::size_t i = 2; i < length; ++i) {
    const unsigned int isZero = constantTimeEquals(block[i], 0);
    zeroIndex |= static_cast<unsigned int>(i) & lookingForZero & isZero;
    lookingForZero &= ~isZero;
  }
  good &= ~lookingForZero;                                            // a separator was found
  good &= ~(0u - static_cast<unsigned int>(zeroIndex < 2 + kMinPadding));  // after 8 padding bytes at least
  if (good == 0) return false;
  const std::size_t start = zeroIndex + 1;
  message.assign(block.data() + start, block.data() + length);
  return true;
}

}  // namespace p11
