// RSA inside the card, checked against OpenSSL: generated keys and keys
// imported as CRT records.
#include "vtoken_test_util.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

namespace vtoken::testing {
namespace {

using PKey = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using PKeyCtx = std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)>;

const char* const kCreatePublic = "80E00001073E008CF0AAF0FF";
const char* const kCreatePrivate = "80E00002073D0150AAAAEFFF";

Bytes rawRsa(EVP_PKEY* key, const Bytes& input, bool privateOperation, int padding) {
  PKeyCtx ctx(EVP_PKEY_CTX_new(key, nullptr), EVP_PKEY_CTX_free);
  EXPECT_EQ(privateOperation ? EVP_PKEY_sign_init(ctx.get()) : EVP_PKEY_encrypt_init(ctx.get()), 1);
  EXPECT_EQ(EVP_PKEY_CTX_set_rsa_padding(ctx.get(), padding), 1);
  Bytes out(128);
  std::size_t outLen = out.size();
  const int rc = privateOperation ? EVP_PKEY_sign(ctx.get(), out.data(), &outLen, input.data(), input.size())
                                  : EVP_PKEY_encrypt(ctx.get(), out.data(), &outLen, input.data(), input.size());
  EXPECT_EQ(rc, 1);
  out.resize(outLen);
  return out;
}

PKey publicKeyFromModulus(const Bytes& modulus) {
  std::unique_ptr<BIGNUM, decltype(&BN_free)> n(BN_bin2bn(modulus.data(), 128, nullptr), BN_free);
  std::unique_ptr<OSSL_PARAM_BLD, decltype(&OSSL_PARAM_BLD_free)> build(OSSL_PARAM_BLD_new(), OSSL_PARAM_BLD_free);
  EXPECT_EQ(OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_N, n.get()), 1);
  EXPECT_EQ(OSSL_PARAM_BLD_push_uint(build.get(), OSSL_PKEY_PARAM_RSA_E, 65537), 1);
  std::unique_ptr<OSSL_PARAM, decltype(&OSSL_PARAM_free)> params(OSSL_PARAM_BLD_to_param(build.get()),
                                                                 OSSL_PARAM_free);
  PKeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr), EVP_PKEY_CTX_free);
  EVP_PKEY* key = nullptr;
  EXPECT_EQ(EVP_PKEY_fromdata_init(ctx.get()), 1);
  EXPECT_EQ(EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()), 1);
  return PKey(key, EVP_PKEY_free);
}

Bytes element(EVP_PKEY* key, const char* name) {
  BIGNUM* value = nullptr;
  EXPECT_EQ(EVP_PKEY_get_bn_param(key, name, &value), 1);
  Bytes out(64);
  EXPECT_EQ(BN_bn2binpad(value, out.data(), 64), 64);
  BN_clear_free(value);
  return out;
}

// 71 q, 51 dQ, 70 p, 50 dP, 49 qInv, each with the length byte 40.
Bytes crtRecord(EVP_PKEY* key) {
  Bytes record;
  const std::pair<std::uint8_t, const char*> parts[] = {
      {0x71, OSSL_PKEY_PARAM_RSA_FACTOR2},    {0x51, OSSL_PKEY_PARAM_RSA_EXPONENT2},
      {0x70, OSSL_PKEY_PARAM_RSA_FACTOR1},    {0x50, OSSL_PKEY_PARAM_RSA_EXPONENT1},
      {0x49, OSSL_PKEY_PARAM_RSA_COEFFICIENT1}};
  for (const auto& [tag, name] : parts) {
    record.push_back(tag);
    record.push_back(0x40);
    record = concat(record, element(key, name));
  }
  return record;
}

Bytes randomBelowModulus() {
  Bytes input(128);
  for (std::size_t i = 0; i < input.size(); ++i) {
    input[i] = static_cast<std::uint8_t>(i * 37 + 11);
  }
  input[0] = 0x00;
  return input;
}

class RsaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    formatCard(*token);
    loginUser(*token);
    ASSERT_EQ(sw(*token, kCreatePublic), 0x9000);
    ASSERT_EQ(sw(*token, kCreatePrivate), 0x9000);
  }
  Answer privateOperation(const Bytes& input) { return send(*token, concat(fromHex("80C2000280"), input)); }
  std::unique_ptr<Token> token = Token::inMemory();
};

TEST_F(RsaTest, GeneratedModulusAndPrivateOperationAgreeWithOpenSsl) {
  const Answer generated = send(*token, "80CE000200");
  ASSERT_EQ(generated.sw, 0x9000);
  ASSERT_EQ(generated.data.size(), 130u);
  EXPECT_EQ(generated.data[0], 0x6E);
  EXPECT_EQ(generated.data[1], 0x80);
  const Bytes modulus(generated.data.begin() + 2, generated.data.end());
  EXPECT_GE(modulus[0], 0x80);  // a full 1024-bit modulus
  const PKey publicKey = publicKeyFromModulus(modulus);

  const Bytes input = randomBelowModulus();
  const Answer signature = privateOperation(input);
  ASSERT_EQ(signature.sw, 0x9000);
  ASSERT_EQ(signature.data.size(), 128u);
  EXPECT_EQ(toHex(rawRsa(publicKey.get(), Bytes(signature.data.begin(), signature.data.end()), false, RSA_NO_PADDING)), toHex(input));

  // A second generation replaces the key.
  const Answer again = send(*token, "80CE000200");
  ASSERT_EQ(again.sw, 0x9000);
  EXPECT_NE(toHex(again.data), toHex(generated.data));
  EXPECT_NE(toHex(privateOperation(input).data), toHex(signature.data));
}

TEST_F(RsaTest, ImportedCrtRecordSignsLikeOpenSsl) {
  PKey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<std::size_t>(1024)), EVP_PKEY_free);
  ASSERT_NE(key, nullptr);
  const Bytes record = crtRecord(key.get());
  ASSERT_EQ(record.size(), 330u);
  ASSERT_EQ(sw(*token, "00A40000020002"), 0x9000);
  ASSERT_EQ(sw(*token, concat(fromHex("00D60000F5"), Bytes(record.begin(), record.begin() + 245))), 0x9000);
  ASSERT_EQ(sw(*token, concat(fromHex("00D600F555"), Bytes(record.begin() + 245, record.end()))), 0x9000);

  // A PKCS#1 type-1 block holding some data, signed raw by the card.
  const Bytes data = fromHex("3021300906052B0E03021A05000414A9993E364706816ABA3E25717850C26C9CD0D89D");
  Bytes block = {0x00, 0x01};
  block.resize(128 - data.size() - 1, 0xFF);
  block.push_back(0x00);
  block = concat(block, data);
  const Answer signature = privateOperation(block);
  ASSERT_EQ(signature.sw, 0x9000);
  EXPECT_EQ(toHex(signature.data), toHex(rawRsa(key.get(), data, true, RSA_PKCS1_PADDING)));
}

TEST_F(RsaTest, InputNotBelowTheModulusIsRefused) {
  ASSERT_EQ(send(*token, "80CE000200").sw, 0x9000);
  EXPECT_EQ(privateOperation(Bytes(128, 0xFF)).sw, 0x6A80);
}

TEST_F(RsaTest, FileWithoutWellFormedKeyIsRefused) {
  EXPECT_EQ(privateOperation(randomBelowModulus()).sw, 0x6985);
  // Right tags and lengths, but an even p: not a key the card can use.
  Bytes record;
  for (const std::uint8_t tag : {0x71, 0x51, 0x70, 0x50, 0x49}) {
    record = concat(concat(record, Bytes{tag, 0x40}), Bytes(64, tag == 0x70 ? 0xF2 : 0xF1));
  }
  ASSERT_EQ(sw(*token, "00A40000020002"), 0x9000);
  ASSERT_EQ(sw(*token, concat(fromHex("00D60000F5"), Bytes(record.begin(), record.begin() + 245))), 0x9000);
  ASSERT_EQ(sw(*token, concat(fromHex("00D600F555"), Bytes(record.begin() + 245, record.end()))), 0x9000);
  EXPECT_EQ(privateOperation(randomBelowModulus()).sw, 0x6985);
  // The last byte of p (offset 197) made odd: now the card computes, whatever
  // the result means.
  ASSERT_EQ(sw(*token, "00D600C501F1"), 0x9000);
  EXPECT_EQ(privateOperation(randomBelowModulus()).sw, 0x9000);
}

TEST_F(RsaTest, UseNeedsTheUserState) {
  ASSERT_EQ(send(*token, "80CE000200").sw, 0x9000);
  loginSuperUser(*token);
  EXPECT_EQ(sw(*token, "80CE000200"), 0x6982);
  EXPECT_EQ(privateOperation(randomBelowModulus()).sw, 0x6982);
  token->reset();
  EXPECT_EQ(privateOperation(randomBelowModulus()).sw, 0x6982);
}

TEST_F(RsaTest, OnlyPrivateKeyFilesHoldKeys) {
  EXPECT_EQ(sw(*token, "80CE000100"), 0x6981);
  EXPECT_EQ(sw(*token, "80CE000900"), 0x6A82);
  EXPECT_EQ(send(*token, concat(fromHex("80C2000180"), randomBelowModulus())).sw, 0x6981);
  // A private key file too small for a key record.
  ASSERT_EQ(sw(*token, "80E00003073D0040AAAAEFFF"), 0x9000);
  EXPECT_EQ(sw(*token, "80CE000300"), 0x6A84);
}

}  // namespace
}  // namespace vtoken::testing
