// The per-thread cache of prepared RSA public keys: a key found again gives
// the bytes of a key built afresh, another modulus or exponent is never
// served a cached key, the cache stays within its bound, PKCS#1 padding still
// comes from OpenSSL's generator, and every thread has a cache of its own.
#include "softcrypt/rsa_key_cache.h"

#include <gtest/gtest.h>
#include <openssl/rand.h>

#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

namespace softcrypt_test {
namespace {

using softcrypt::kRsaKeyCacheSize;
using softcrypt::RsaKeyCache;
using softcrypt::RsaPublicKeyBlock;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kModulusBytes = 128;

// An odd 1024-bit modulus; `variant` changes its lowest bytes. The public
// operations need no factorisation, only an odd modulus above the input.
RsaPublicKeyBlock keyBlock(std::uint8_t variant) {
  std::uint8_t modulus[kModulusBytes];
  for (std::size_t i = 0; i < kModulusBytes; ++i) modulus[i] = static_cast<std::uint8_t>(0xC3 + 7 * i);
  modulus[0] = 0xE1;
  modulus[kModulusBytes - 2] = variant;
  modulus[kModulusBytes - 1] = 0x01 | static_cast<std::uint8_t>(variant << 1);
  RsaPublicKeyBlock block;
  softcrypt::fillRsaPublicKeyBlock(block, modulus, kModulusBytes);
  return block;
}

Bytes rawInput() {
  Bytes input(kModulusBytes);
  for (std::size_t i = 0; i < input.size(); ++i) input[i] = static_cast<std::uint8_t>(i * 13 + 1);
  input[0] = 0x00;  // below every modulus here
  return input;
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

Bytes rawWith(RSA* rsa) {
  const Bytes in = rawInput();
  Bytes out(kModulusBytes);
  const int length = RSA_public_encrypt(int(in.size()), in.data(), out.data(), rsa, RSA_NO_PADDING);
  out.resize(length > 0 ? std::size_t(length) : 0);
  return out;
}

// What the same operation gives with a key object built for this call only.
Bytes rawWithFreshKey(const RsaPublicKeyBlock& block) { return rawWith(softcrypt::toRsaKey(block).get()); }

// A stand-in for OpenSSL's generator that gives a fixed, non-zero sequence
// from its start, so that padding drawn from it can be compared.
std::uint8_t nextRandomByte = 1;
std::size_t randomBytesDrawn = 0;
int fixedBytes(unsigned char* buffer, int count) {
  for (int i = 0; i < count; ++i) {
    buffer[i] = nextRandomByte;
    nextRandomByte = nextRandomByte == 0xFF ? 1 : static_cast<std::uint8_t>(nextRandomByte + 1);
  }
  randomBytesDrawn += std::size_t(count);
  return 1;
}
int fixedStatus() { return 1; }
const RAND_METHOD kFixedRandom = {nullptr, fixedBytes, nullptr, nullptr, fixedBytes, fixedStatus};

class FixedGenerator {
 public:
  FixedGenerator() : saved_(RAND_get_rand_method()) { RAND_set_rand_method(&kFixedRandom); }
  ~FixedGenerator() { RAND_set_rand_method(saved_); }
  void restart() {
    nextRandomByte = 1;
    randomBytesDrawn = 0;
  }

 private:
  const RAND_METHOD* saved_;
};

Bytes pkcs1WithFreshKey(const RsaPublicKeyBlock& block, const Bytes& data) {
  Bytes out(kModulusBytes);
  const int length = RSA_public_encrypt(int(data.size()), data.data(), out.data(),
                                        softcrypt::toRsaKey(block).get(), RSA_PKCS1_PADDING);
  out.resize(length > 0 ? std::size_t(length) : 0);
  return out;
}

#pragma GCC diagnostic pop

TEST(RsaKeyCache, AKeyFoundAgainIsTheSameObjectAndGivesTheBytesOfAFreshKey) {
  RsaKeyCache cache;
  const RsaPublicKeyBlock block = keyBlock(1);
  RSA* first = cache.find(block);
  ASSERT_NE(first, nullptr);
  const Bytes expected = rawWithFreshKey(block);
  ASSERT_EQ(expected.size(), kModulusBytes);
  EXPECT_EQ(rawWith(first), expected);
  EXPECT_EQ(cache.find(block), first);
  EXPECT_EQ(rawWith(first), expected);
  EXPECT_EQ(cache.size(), 1u);
}

// Blocks that differ from keyBlock(1) in one place only.
struct OtherKey {
  const char* what;
  void (*change)(RsaPublicKeyBlock&);
};
std::ostream& operator<<(std::ostream& out, const OtherKey& key) { return out << key.what; }

class RsaKeyCacheOtherKey : public testing::TestWithParam<OtherKey> {};

TEST_P(RsaKeyCacheOtherKey, IsNeverServedTheCachedKey) {
  RsaKeyCache cache;
  const RsaPublicKeyBlock original = keyBlock(1);
  RsaPublicKeyBlock other = original;
  GetParam().change(other);
  RSA* originalKey = cache.find(original);
  ASSERT_NE(originalKey, nullptr);
  RSA* otherKey = cache.find(other);
  ASSERT_NE(otherKey, nullptr);
  EXPECT_NE(otherKey, originalKey);
  const Bytes otherResult = rawWithFreshKey(other);
  EXPECT_NE(otherResult, rawWithFreshKey(original));
  EXPECT_EQ(rawWith(otherKey), otherResult);
  EXPECT_EQ(rawWith(cache.find(original)), rawWithFreshKey(original));
  EXPECT_EQ(cache.size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, RsaKeyCacheOtherKey,
    testing::Values(OtherKey{"lowest modulus byte", [](RsaPublicKeyBlock& b) { b.modulus[255] ^= 0x02; }},
                    OtherKey{"highest modulus byte", [](RsaPublicKeyBlock& b) { b.modulus[128] ^= 0x10; }},
                    OtherKey{"exponent 3", [](RsaPublicKeyBlock& b) {
                               b.exponent[253] = 0;
                               b.exponent[254] = 0;
                               b.exponent[255] = 3;
                             }},
                    OtherKey{"exponent 65539", [](RsaPublicKeyBlock& b) { b.exponent[255] = 0x03; }}));

TEST(RsaKeyCache, HoldsAtMostItsBoundAndEvictsTheKeyLeastRecentlyUsed) {
  RsaKeyCache cache;
  for (std::uint8_t i = 0; i < kRsaKeyCacheSize; ++i) ASSERT_NE(cache.find(keyBlock(i)), nullptr);
  EXPECT_EQ(cache.size(), kRsaKeyCacheSize);
  ASSERT_NE(cache.find(keyBlock(0)), nullptr);  // the first key is now the most recent

  const RsaPublicKeyBlock newcomer = keyBlock(static_cast<std::uint8_t>(kRsaKeyCacheSize));
  RSA* newKey = cache.find(newcomer);
  ASSERT_NE(newKey, nullptr);
  EXPECT_EQ(cache.size(), kRsaKeyCacheSize);
  EXPECT_TRUE(cache.holds(keyBlock(0)));
  EXPECT_FALSE(cache.holds(keyBlock(1)));
  EXPECT_TRUE(cache.holds(newcomer));
  EXPECT_EQ(rawWith(newKey), rawWithFreshKey(newcomer));
  // The evicted key comes back built afresh, with its own bytes.
  EXPECT_EQ(rawWith(cache.find(keyBlock(1))), rawWithFreshKey(keyBlock(1)));
  EXPECT_EQ(cache.size(), kRsaKeyCacheSize);
}

TEST(RsaKeyCache, Pkcs1PaddingOfACachedKeyIsDrawnFromOpenSslsGenerator) {
  const RsaPublicKeyBlock block = keyBlock(9);
  const Bytes data(60, 0x5C);
  FixedGenerator generator;
  generator.restart();
  const Bytes expected = pkcs1WithFreshKey(block, data);
  ASSERT_EQ(expected.size(), kModulusBytes);
  for (int call = 0; call < 2; ++call) {  // a new key, then the cached one
    generator.restart();
    Bytes out(kModulusBytes);
    ASSERT_EQ(softcrypt::rsaPublicEncrypt(block, data.data(), int(data.size()), out.data(),
                                          softcrypt::RsaPadding::kPkcs1),
              int(kModulusBytes));
    EXPECT_EQ(out, expected) << "call " << call;
    EXPECT_GE(randomBytesDrawn, kModulusBytes - 3 - data.size()) << "call " << call;
    ASSERT_NE(softcrypt::threadRsaKeyCache(), nullptr);
    EXPECT_TRUE(softcrypt::threadRsaKeyCache()->holds(block));
  }
}

TEST(RsaKeyCache, EveryThreadHasItsOwnCache) {
  const RsaPublicKeyBlock mainKey = keyBlock(20);
  RsaKeyCache* mainCache = softcrypt::threadRsaKeyCache();
  ASSERT_NE(mainCache, nullptr);
  ASSERT_NE(mainCache->find(mainKey), nullptr);
  const auto fillOwnCache = [&](RsaKeyCache*& seen, bool& heldMainKey, std::size_t& size) {
    seen = softcrypt::threadRsaKeyCache();
    if (seen == nullptr) return;
    heldMainKey = seen->holds(mainKey);
    for (std::uint8_t i = 0; i <= kRsaKeyCacheSize; ++i) seen->find(keyBlock(static_cast<std::uint8_t>(30 + i)));
    size = seen->size();
  };
  RsaKeyCache* otherCache = nullptr;
  bool otherHeldMainKey = true;
  std::size_t otherSize = 0;
  std::thread(fillOwnCache, std::ref(otherCache), std::ref(otherHeldMainKey), std::ref(otherSize)).join();
  ASSERT_NE(otherCache, nullptr);
  EXPECT_NE(otherCache, mainCache);
  EXPECT_FALSE(otherHeldMainKey);
  EXPECT_EQ(otherSize, kRsaKeyCacheSize);
  // Filling the other thread's cache evicted nothing here.
  EXPECT_TRUE(mainCache->holds(mainKey));

  // The cache of a thread that ended was emptied; a later thread starts
  // with an empty cache (possibly the same one, taken over).
  RsaKeyCache* laterCache = nullptr;
  bool laterHeldKeys = true;
  std::thread([&] {
    laterCache = softcrypt::threadRsaKeyCache();
    if (laterCache != nullptr) laterHeldKeys = laterCache->size() != 0;
  }).join();
  ASSERT_NE(laterCache, nullptr);
  EXPECT_FALSE(laterHeldKeys);
}

}  // namespace
}  // namespace softcrypt_test
