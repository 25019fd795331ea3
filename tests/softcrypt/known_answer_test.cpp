// Published vectors: DES (FIPS 81 examples), triple DES (SP 800-67 example),
// RC2 (RFC 2268, effective bits = 8 x key length), RC4 (RFC 6229).
#include <gtest/gtest.h>

#include <string>

#include "cipher_family.h"

namespace softcrypt_test {
namespace {

struct BlockVector {
  const CipherFamily* family;
  int mode;
  const char* key;
  const char* iv;
  const char* plain;
  const char* cipher;
};

std::ostream& operator<<(std::ostream& os, const BlockVector& v) { return os << v.family << " key " << v.key; }

class BlockKnownAnswer : public testing::TestWithParam<BlockVector> {};

// The whole blocks go through an encryption update (no padding involved); the
// one-shot decryption of them followed by the encrypted padding recovers them.
TEST_P(BlockKnownAnswer, UpdateGivesPublishedCiphertext) {
  const BlockVector& v = GetParam();
  const Bytes key = hexBytes(v.key);
  const Bytes iv = hexBytes(v.iv);
  const Bytes plain = hexBytes(v.plain);
  Context ctx;
  ASSERT_EQ(v.family->acquire(key.data(), static_cast<int>(key.size()), iv.empty() ? nullptr : iv.data(), v.mode, 0,
                              ctx.out()),
            0);
  const CallOutput update = callUpdate(v.family->encUpdate, ctx.get(), plain, plain.size());
  ASSERT_EQ(update.code, 0);
  EXPECT_EQ(update.data, hexBytes(v.cipher));
  const CallOutput padding = callFinal(v.family->encFinal, ctx.get());
  ASSERT_EQ(padding.code, 0);

  Context back;
  ASSERT_EQ(v.family->acquire(key.data(), static_cast<int>(key.size()), iv.empty() ? nullptr : iv.data(), v.mode, 0,
                              back.out()),
            0);
  const Bytes whole = concat(update.data, padding.data);
  const CallOutput decrypted = callUpdate(v.family->decrypt, back.get(), whole, whole.size());
  ASSERT_EQ(decrypted.code, 0);
  EXPECT_EQ(decrypted.data, plain);
}

INSTANTIATE_TEST_SUITE_P(
    Published, BlockKnownAnswer,
    testing::Values(BlockVector{&kDes, 1, "0123456789ABCDEF", "", "4E6F772069732074", "3FA40E8A984D4815"},
                    BlockVector{&kDes, 2, "0123456789ABCDEF", "1234567890ABCDEF",
                                "4E6F77206973207468652074696D6520666F7220616C6C20",
                                "E5C7CDDE872BF27C43E934008C389C0F683788499A7C05F6"},
                    BlockVector{&kDes, 1, "0123456789ABCDEF23456789ABCDEF01456789ABCDEF0123", "",
                                "54686520717566636B2062726F776E20666F78206A756D70",
                                "A826FD8CE53B855FCCE21C8112256FE668D5C05DD9B6B900"},
                    BlockVector{&kRc2, 1, "FFFFFFFFFFFFFFFF", "", "FFFFFFFFFFFFFFFF", "278B27E42E2F0D49"},
                    BlockVector{&kRc2, 1, "3000000000000000", "", "1000000000000001", "30649EDF9BE7D2C2"},
                    BlockVector{&kRc2, 1, "88BCA90E90875A7F0F79C384627BAFB2", "", "0000000000000000",
                                "2269552AB0F85CA6"}));

struct KeystreamVector {
  const char* key;
  unsigned offset;
  const char* keystream;  // 16 bytes at offset
};

class Rc4KnownAnswer : public testing::TestWithParam<KeystreamVector> {};

TEST_P(Rc4KnownAnswer, KeystreamAtOffset) {
  const KeystreamVector& v = GetParam();
  const Bytes key = hexBytes(v.key);
  Context ctx;
  ASSERT_EQ(VORN_DAL_Rc4AcquireContext(key.data(), static_cast<int>(key.size()), nullptr, 0, 0, ctx.out()), 0);
  const Bytes skipped(v.offset, 0);
  ASSERT_EQ(callUpdate(VORN_DAL_Rc4Update, ctx.get(), skipped, skipped.size()).code, 0);
  const CallOutput out = callUpdate(VORN_DAL_Rc4Update, ctx.get(), Bytes(16, 0), 16);
  ASSERT_EQ(out.code, 0);
  EXPECT_EQ(out.data, hexBytes(v.keystream));
}

INSTANTIATE_TEST_SUITE_P(
    Rfc6229, Rc4KnownAnswer,
    testing::Values(KeystreamVector{"0102030405", 0, "b2396305f03dc027ccc3524a0a1118a8"},
                    KeystreamVector{"0102030405", 16, "6982944f18fc82d589c403a47a0d0919"},
                    KeystreamVector{"0102030405", 240, "28cb1132c96ce286421dcaadb8b69eae"},
                    KeystreamVector{"0102030405", 256, "1cfcf62b03eddb641d77dfcf7f8d8c93"},
                    KeystreamVector{"0102030405", 1536, "d8729db41882259bee4f825325f5a130"},
                    KeystreamVector{"0102030405060708", 0, "97ab8a1bf0afb96132f2f67258da15a8"},
                    KeystreamVector{"0102030405060708090a0b0c0d0e0f10", 0, "9ac7cc9a609d1ef7b2932899cde41b97"},
                    KeystreamVector{"0102030405060708090a0b0c0d0e0f10", 16, "5248c4959014126a6e8a84f11d1a9e1c"}));

// The sequence that answers the card's challenge when a token is formatted.
TEST(DesChallenge, TwoKeyTripleDesOfChallengeThenOfPaddingBlock) {
  const Bytes key = hexBytes("00112233445566778899AABBCCDDEEFF");
  const Bytes challenge = hexBytes("0F1E2D3C4B5A6978");
  Context ctx;
  ASSERT_EQ(VORN_DAL_DesAcquireContext(key.data(), 16, nullptr, 1, 1, ctx.out()), 0);
  const CallOutput out = callUpdate(VORN_DAL_DesEncrypt, ctx.get(), challenge, 16);
  ASSERT_EQ(out.code, 0);
  const OracleCipher twoKeyEcb{"DES-EDE", key};
  EXPECT_EQ(out.data, concat(evpCrypt(twoKeyEcb, true, {}, challenge, false),
                             evpCrypt(twoKeyEcb, true, {}, Bytes(8, 0x08), false)));
  // Key bytes 0-7 serve again as the third key.
  const OracleCipher threeKeyEcb{"DES-EDE3", concat(key, Bytes(key.begin(), key.begin() + 8))};
  EXPECT_EQ(Bytes(out.data.begin(), out.data.begin() + 8), evpCrypt(threeKeyEcb, true, {}, challenge, false));
}

}  // namespace
}  // namespace softcrypt_test
