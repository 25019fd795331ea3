// RC4 through the exports: keystream continuity, in-place use, final.
#include <gtest/gtest.h>

#include "cipher_family.h"

namespace softcrypt_test {
namespace {

const Bytes kKey = hexBytes("6B657931");

class Rc4 : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(VORN_DAL_Rc4AcquireContext(kKey.data(), static_cast<int>(kKey.size()), nullptr, 0, 0, ctx_.out()), 0);
  }
  Context ctx_;
};

TEST_F(Rc4, AgreesWithEvpAcrossSplitUpdates) {
  const Bytes message = hexBytes("54686520717569636B2062726F776E20666F78");
  Bytes out;
  for (std::size_t at = 0, piece = 1; at < message.size(); at += piece, piece = piece % 5 + 1) {
    const std::size_t n = std::min(piece, message.size() - at);
    const CallOutput part =
        callUpdate(VORN_DAL_Rc4Update, ctx_.get(), Bytes(message.begin() + at, message.begin() + at + n), n);
    ASSERT_EQ(part.code, 0);
    out = concat(out, part.data);
  }
  EXPECT_EQ(out, evpCrypt({"RC4", kKey}, true, {}, message, false));
}

TEST_F(Rc4, EmptyUpdateLeavesTheKeystreamWhereItWas) {
  int outLen = -7;
  unsigned char unused = 0xEE;
  EXPECT_EQ(VORN_DAL_Rc4Update(ctx_.get(), nullptr, 0, &unused, &outLen), 0);
  EXPECT_EQ(outLen, 0);
  EXPECT_EQ(unused, 0xEE);
  const Bytes zeros(3, 0);
  EXPECT_EQ(callUpdate(VORN_DAL_Rc4Update, ctx_.get(), zeros, 3).data, evpCrypt({"RC4", kKey}, true, {}, zeros, false));
}

TEST_F(Rc4, InPlaceAndFreshContextRecoverTheInput) {
  Bytes data = hexBytes("00112233445566778899AABBCCDDEEFF10");
  const Bytes original = data;
  int outLen = 0;
  ASSERT_EQ(VORN_DAL_Rc4Encrypt(ctx_.get(), data.data(), static_cast<unsigned>(data.size()), data.data(), &outLen), 0);
  EXPECT_EQ(outLen, static_cast<int>(data.size()));
  EXPECT_EQ(data, evpCrypt({"RC4", kKey}, true, {}, original, false));
  Context again;
  ASSERT_EQ(VORN_DAL_Rc4AcquireContext(kKey.data(), static_cast<int>(kKey.size()), nullptr, 0, 0, again.out()), 0);
  EXPECT_EQ(callUpdate(VORN_DAL_Rc4Update, again.get(), data, data.size()).data, original);
}

TEST_F(Rc4, FinalReportsNothingAndChangesNothing) {
  unsigned char out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  int outLen = -7;
  EXPECT_EQ(VORN_DAL_Rc4Final(ctx_.get(), out, &outLen), 0);
  EXPECT_EQ(outLen, 0);
  EXPECT_EQ(out[0], 0xEE);
  const Bytes zeros(4, 0);
  EXPECT_EQ(callUpdate(VORN_DAL_Rc4Update, ctx_.get(), zeros, 4).data, evpCrypt({"RC4", kKey}, true, {}, zeros, false));
}

}  // namespace
}  // namespace softcrypt_test
