// SSF33 exports end to end against the virtual token, whose SSF33 is SM4:
// OpenSSL's SM4 with PKCS#7 padding is an independent oracle for whole
// messages, in both modes and directions, in one shot and streamed.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <memory>
#include <tuple>
#include <vector>

#include "support/dal_fixture.h"
#include "vorn_dal_pelu7.h"

namespace {

using Bytes = std::vector<unsigned char>;
using CtxHolder = std::unique_ptr<void, int (*)(void*)>;

const Bytes kKey = testsupport::fromHex("0123456789ABCDEFFEDCBA9876543210");
const Bytes kIv = testsupport::fromHex("000102030405060708090A0B0C0D0E0F");

// SM4 of a whole message with PKCS#7 padding.
Bytes sm4(bool encrypt, int mode, const Bytes& iv, const Bytes& in) {
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
  const EVP_CIPHER* cipher = mode == 2 ? EVP_sm4_cbc() : EVP_sm4_ecb();
  Bytes out(in.size() + 32);
  int len = 0;
  int finalLen = 0;
  const bool ok = EVP_CipherInit_ex(ctx.get(), cipher, nullptr, kKey.data(), mode == 2 ? iv.data() : nullptr,
                                    encrypt ? 1 : 0) == 1 &&
                  EVP_CipherUpdate(ctx.get(), out.data(), &len, in.data(), static_cast<int>(in.size())) == 1 &&
                  EVP_CipherFinal_ex(ctx.get(), out.data() + len, &finalLen) == 1;
  EXPECT_TRUE(ok);
  out.resize(static_cast<size_t>(len + finalLen));
  return out;
}

// The last block of a zero-IV SM4-CBC encryption of the padded message.
Bytes sm4Mac(const Bytes& message) {
  const Bytes cipher = sm4(true, 2, Bytes(16, 0), message);
  return Bytes(cipher.end() - 16, cipher.end());
}

Bytes message(size_t length) {
  Bytes m(length);
  for (size_t i = 0; i < length; ++i) m[i] = static_cast<unsigned char>(i * 7 + 3);
  return m;
}

// Uneven pieces: 1, 15, 16, 7, 33, 1, 15, ... bytes.
std::vector<Bytes> pieces(const Bytes& data) {
  static const size_t kSizes[] = {1, 15, 16, 7, 33};
  std::vector<Bytes> out;
  for (size_t at = 0, i = 0; at < data.size(); ++i) {
    const size_t take = std::min(kSizes[i % 5], data.size() - at);
    out.emplace_back(data.begin() + at, data.begin() + at + take);
    at += take;
  }
  return out;
}

class Ssf33OracleTest : public testsupport::DalTest,
                        public ::testing::WithParamInterface<std::tuple<int, size_t>> {
 protected:
  int mode() const { return std::get<0>(GetParam()); }
  Bytes plain() const { return message(std::get<1>(GetParam())); }

  CtxHolder acquire(int mode) {
    void* ctx = nullptr;
    EXPECT_EQ(VORN_DAL_SSF33AcquireContext(kKey.data(), 16, kIv.data(), mode, 0, &ctx), 0);
    return {ctx, VORN_DAL_SSF33ReleaseCtx};
  }

  using Update = int(VORN_DAL_CALL*)(void*, const unsigned char*, unsigned, unsigned char*, int*);
  using Final = int(VORN_DAL_CALL*)(void*, unsigned char*, int*);

  Bytes oneShot(Update call, const Bytes& in) {
    CtxHolder ctx = acquire(mode());
    Bytes out(in.size() + 16);
    int len = -1;
    EXPECT_EQ(call(ctx.get(), in.data(), static_cast<unsigned>(in.size()), out.data(), &len), 0);
    out.resize(static_cast<size_t>(std::max(len, 0)));
    return out;
  }

  Bytes streamed(Update update, Final final, const Bytes& in) {
    CtxHolder ctx = acquire(mode());
    Bytes out(in.size() + 16);
    size_t at = 0;
    for (const Bytes& piece : pieces(in)) {
      int len = -1;
      EXPECT_EQ(update(ctx.get(), piece.data(), static_cast<unsigned>(piece.size()), out.data() + at, &len), 0);
      at += static_cast<size_t>(std::max(len, 0));
    }
    int len = -1;
    EXPECT_EQ(final(ctx.get(), out.data() + at, &len), 0);
    out.resize(at + static_cast<size_t>(std::max(len, 0)));
    return out;
  }
};

TEST_P(Ssf33OracleTest, EncryptionMatchesSm4OneShotAndStreamed) {
  const Bytes expected = sm4(true, mode(), kIv, plain());
  EXPECT_EQ(oneShot(VORN_DAL_SSF33Encrypt, plain()), expected);
  EXPECT_EQ(streamed(VORN_DAL_SSF33EncUpdate, VORN_DAL_SSF33EncFinal, plain()), expected);
}

TEST_P(Ssf33OracleTest, DecryptionInvertsSm4OneShotAndStreamed) {
  const Bytes cipher = sm4(true, mode(), kIv, plain());
  EXPECT_EQ(oneShot(VORN_DAL_SSF33Decrypt, cipher), plain());
  EXPECT_EQ(streamed(VORN_DAL_SSF33DecUpdate, VORN_DAL_SSF33DecFinal, cipher), plain());
}

// The MAC ignores mode and IV; shorter MACs are prefixes.
TEST_P(Ssf33OracleTest, MacIsLastBlockOfZeroIvCbc) {
  const Bytes data = plain();
  const Bytes expected = sm4Mac(data);
  Bytes mac(16);
  EXPECT_EQ(VORN_DAL_SSF33Mac(acquire(mode()).get(), data.data(), static_cast<unsigned>(data.size()), mac.data(), 16),
            0);
  EXPECT_EQ(mac, expected);

  CtxHolder ctx = acquire(mode());
  for (const Bytes& piece : pieces(data))
    ASSERT_EQ(VORN_DAL_SSF33MacUpdate(ctx.get(), piece.data(), static_cast<unsigned>(piece.size())), 0);
  Bytes shortMac(8, 0xEE);
  ASSERT_EQ(VORN_DAL_SSF33MacFinal(ctx.get(), shortMac.data(), 5), 0);
  EXPECT_EQ(Bytes(shortMac.begin(), shortMac.begin() + 5), Bytes(expected.begin(), expected.begin() + 5));
  EXPECT_EQ(Bytes(shortMac.begin() + 5, shortMac.end()), Bytes(3, 0xEE));
}

INSTANTIATE_TEST_SUITE_P(ModesAndLengths, Ssf33OracleTest,
                         ::testing::Combine(::testing::Values(1, 2),
                                            ::testing::Values(0, 1, 15, 16, 17, 100, 1000)));

}  // namespace
