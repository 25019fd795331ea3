// The DES and RC2 MAC: the last block of a zero-IV CBC encryption of the
// padded message, whatever the context's mode and IV.
#include <gtest/gtest.h>

#include <string>

#include "cipher_family.h"

namespace softcrypt_test {
namespace {

using MacParam = std::pair<const CipherFamily*, int /*keyLen*/>;

class MacOracle : public testing::TestWithParam<MacParam> {
 protected:
  const CipherFamily& family() const { return *GetParam().first; }
  Bytes key() const {
    Bytes key(static_cast<std::size_t>(GetParam().second));
    for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<unsigned char>(0x3D * i + 0x11);
    return key;
  }

  void acquire(Context& ctx, int mode, const unsigned char* iv) {
    const Bytes k = key();
    ASSERT_EQ(family().acquire(k.data(), static_cast<int>(k.size()), iv, mode, 0, ctx.out()), 0);
  }

  Bytes expectedMac(const Bytes& message) const {
    const Bytes cbc = evpCrypt(family().oracle(key(), 2), true, Bytes(8, 0), message, true);
    return Bytes(cbc.end() - 8, cbc.end());
  }

  Bytes oneShot(void* ctx, const Bytes& message, unsigned macLen = 8) {
    Bytes mac(8, 0xEE);
    EXPECT_EQ(family().mac(ctx, message.data(), static_cast<unsigned>(message.size()), mac.data(), macLen), 0);
    return mac;
  }
};

TEST_P(MacOracle, EqualsLastBlockOfZeroIvCbc) {
  for (std::size_t length : {0, 1, 7, 8, 9, 16, 21, 40}) {
    Bytes message(length);
    for (std::size_t i = 0; i < length; ++i) message[i] = static_cast<unsigned char>(i * 7 + 1);
    Context ctx;
    acquire(ctx, 1, nullptr);
    EXPECT_EQ(oneShot(ctx.get(), message), expectedMac(message)) << "length " << length;
  }
}

TEST_P(MacOracle, PiecesOfOneSevenAndThirteenGiveTheSameMac) {
  Bytes message(21);
  for (std::size_t i = 0; i < message.size(); ++i) message[i] = static_cast<unsigned char>(0xA0 + i);
  Context pieces;
  acquire(pieces, 2, message.data());
  std::size_t at = 0;
  for (std::size_t piece : {1, 7, 13}) {
    ASSERT_EQ(family().macUpdate(pieces.get(), message.data() + at, static_cast<unsigned>(piece)), 0);
    at += piece;
  }
  Bytes mac(8);
  ASSERT_EQ(family().macFinal(pieces.get(), mac.data(), 8), 0);

  Context whole;
  acquire(whole, 1, nullptr);
  ASSERT_EQ(family().macUpdate(whole.get(), message.data(), 21), 0);
  Bytes wholeMac(8);
  ASSERT_EQ(family().macFinal(whole.get(), wholeMac.data(), 8), 0);

  Context single;
  acquire(single, 1, nullptr);
  EXPECT_EQ(mac, expectedMac(message));
  EXPECT_EQ(wholeMac, mac);
  EXPECT_EQ(oneShot(single.get(), message), mac);
}

TEST_P(MacOracle, ModeAndIvPlayNoPart) {
  const Bytes message(13, 0x5C);
  const Bytes iv = hexBytes("F0E1D2C3B4A59687");
  for (int mode : {0, 1, 2, 3}) {
    Context ctx;
    acquire(ctx, mode, iv.data());
    EXPECT_EQ(oneShot(ctx.get(), message), expectedMac(message)) << "mode " << mode;
  }
}

TEST_P(MacOracle, MacLengthZeroWritesNothing) {
  Context ctx;
  acquire(ctx, 1, nullptr);
  EXPECT_EQ(oneShot(ctx.get(), Bytes(5, 1), 0), Bytes(8, 0xEE));
}

TEST_P(MacOracle, ShortMacIsAPrefix) {
  const Bytes message(9, 0x42);
  Context ctx;
  acquire(ctx, 1, nullptr);
  const Bytes mac = oneShot(ctx.get(), message, 3);
  const Bytes full = expectedMac(message);
  EXPECT_EQ(Bytes(mac.begin(), mac.begin() + 3), Bytes(full.begin(), full.begin() + 3));
  EXPECT_EQ(Bytes(mac.begin() + 3, mac.end()), Bytes(5, 0xEE));
}

TEST_P(MacOracle, MacLengthNineIsRefusedAfterTheDataIsAbsorbed) {
  const Bytes message(11, 0x24);
  Context ctx;
  acquire(ctx, 1, nullptr);
  Bytes mac(16, 0xEE);
  EXPECT_EQ(family().mac(ctx.get(), message.data(), 11, mac.data(), 9), VORN_DAL_ERR_DATA_LENGTH);
  EXPECT_EQ(mac, Bytes(16, 0xEE));
  EXPECT_EQ(family().macFinal(ctx.get(), mac.data(), 9), VORN_DAL_ERR_DATA_LENGTH);
  // The refused calls absorbed the message and changed nothing else.
  ASSERT_EQ(family().macFinal(ctx.get(), mac.data(), 8), 0);
  EXPECT_EQ(Bytes(mac.begin(), mac.begin() + 8), expectedMac(message));
}

std::string macName(const testing::TestParamInfo<MacParam>& info) {
  return std::string(info.param.first->name) + "Key" + std::to_string(info.param.second);
}

INSTANTIATE_TEST_SUITE_P(Keys, MacOracle,
                         testing::Values(MacParam{&kDes, 8}, MacParam{&kDes, 16}, MacParam{&kDes, 24},
                                         MacParam{&kRc2, 5}, MacParam{&kRc2, 16}),
                         macName);

// With a 16-byte key every block goes through two-key triple DES, not only the last.
TEST(DesMac, TwoKeyTripleDesForEveryBlock) {
  const Bytes key = hexBytes("0123456789ABCDEF1032547698BADCFE");
  const Bytes message = hexBytes("000102030405060708090A0B0C0D0E0F");
  Context ctx;
  ASSERT_EQ(VORN_DAL_DesAcquireContext(key.data(), 16, nullptr, 1, 0, ctx.out()), 0);
  Bytes mac(8);
  ASSERT_EQ(VORN_DAL_DesMac(ctx.get(), message.data(), 16, mac.data(), 8), 0);
  const OracleCipher tdes{"DES-EDE", key};
  Bytes state = evpCrypt(tdes, true, {}, Bytes(message.begin(), message.begin() + 8), false);
  for (std::size_t i = 0; i < 8; ++i) state[i] ^= message[8 + i];
  state = evpCrypt(tdes, true, {}, state, false);
  for (auto& b : state) b ^= 0x08;
  EXPECT_EQ(mac, evpCrypt(tdes, true, {}, state, false));
}

}  // namespace
}  // namespace softcrypt_test
