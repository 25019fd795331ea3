// RSA keys and operations checked against OpenSSL as an independent oracle:
// the card's signatures verify with OpenSSL, an OpenSSL key imported into the
// card signs as OpenSSL does, and the software public-key operations
// interoperate with OpenSSL's private key.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/dal_fixture.h"
#include "support/scripted_card.h"

namespace {

using testsupport::ScriptedCard;
using testsupport::toHex;
using Bytes = std::vector<std::uint8_t>;

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* p) const { Free(p); }
};
using PkeyHolder = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using PkeyCtxHolder = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using MdCtxHolder = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX, EVP_MD_CTX_free>>;
using BnHolder = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_clear_free>>;
using ParamBldHolder = std::unique_ptr<OSSL_PARAM_BLD, Deleter<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>>;
using ParamHolder = std::unique_ptr<OSSL_PARAM, Deleter<OSSL_PARAM, OSSL_PARAM_free>>;

// A key made by OpenSSL, with its elements as fixed-length big-endian bytes.
struct OpensslKey {
  PkeyHolder pkey;
  Bytes n, p, q, dP, dQ, qInv;
};

Bytes keyElement(const EVP_PKEY* pkey, const char* name, int length) {
  BIGNUM* raw = nullptr;
  EXPECT_EQ(1, EVP_PKEY_get_bn_param(pkey, name, &raw));
  BnHolder number(raw);
  Bytes bytes(static_cast<std::size_t>(length));
  EXPECT_EQ(length, BN_bn2binpad(number.get(), bytes.data(), length));
  return bytes;
}

OpensslKey makeKey(unsigned bits) {
  OpensslKey key;
  key.pkey.reset(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<std::size_t>(bits)));
  EXPECT_TRUE(key.pkey);
  const int bytes = static_cast<int>(bits / 8);
  key.n = keyElement(key.pkey.get(), OSSL_PKEY_PARAM_RSA_N, bytes);
  key.p = keyElement(key.pkey.get(), OSSL_PKEY_PARAM_RSA_FACTOR1, bytes / 2);
  key.q = keyElement(key.pkey.get(), OSSL_PKEY_PARAM_RSA_FACTOR2, bytes / 2);
  key.dP = keyElement(key.pkey.get(), OSSL_PKEY_PARAM_RSA_EXPONENT1, bytes / 2);
  key.dQ = keyElement(key.pkey.get(), OSSL_PKEY_PARAM_RSA_EXPONENT2, bytes / 2);
  key.qInv = keyElement(key.pkey.get(), OSSL_PKEY_PARAM_RSA_COEFFICIENT1, bytes / 2);
  return key;
}

// An OpenSSL public key from a modulus and the exponent 65537.
PkeyHolder publicKey(const unsigned char* modulus, int length) {
  BnHolder n(BN_bin2bn(modulus, length, nullptr));
  BnHolder e(BN_new());
  BN_set_word(e.get(), RSA_F4);
  ParamBldHolder build(OSSL_PARAM_BLD_new());
  OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_N, n.get());
  OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_E, e.get());
  ParamHolder params(OSSL_PARAM_BLD_to_param(build.get()));
  PkeyCtxHolder ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  EVP_PKEY* pkey = nullptr;
  EXPECT_EQ(1, EVP_PKEY_fromdata_init(ctx.get()));
  EXPECT_EQ(1, EVP_PKEY_fromdata(ctx.get(), &pkey, EVP_PKEY_PUBLIC_KEY, params.get()));
  return PkeyHolder(pkey);
}

// OpenSSL's raw private-key operation (no padding).
Bytes opensslPrivateRaw(EVP_PKEY* pkey, const Bytes& block) {
  PkeyCtxHolder ctx(EVP_PKEY_CTX_new(pkey, nullptr));
  EXPECT_EQ(1, EVP_PKEY_sign_init(ctx.get()));
  EXPECT_EQ(1, EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING));
  Bytes out(block.size());
  std::size_t length = out.size();
  EXPECT_EQ(1, EVP_PKEY_sign(ctx.get(), out.data(), &length, block.data(), block.size()));
  out.resize(length);
  return out;
}

// OpenSSL's PKCS#1 v1.5 decryption; empty when OpenSSL refuses.
Bytes opensslDecrypt(EVP_PKEY* pkey, const unsigned char* cipher, std::size_t length) {
  PkeyCtxHolder ctx(EVP_PKEY_CTX_new(pkey, nullptr));
  EXPECT_EQ(1, EVP_PKEY_decrypt_init(ctx.get()));
  EXPECT_EQ(1, EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING));
  Bytes out(static_cast<std::size_t>(EVP_PKEY_get_size(pkey)));
  std::size_t outLength = out.size();
  if (EVP_PKEY_decrypt(ctx.get(), out.data(), &outLength, cipher, length) != 1) return {};
  out.resize(outLength);
  return out;
}

// 00 type FF..FF 00 data (type 1), or 00 02 non-zero filler 00 data (type 2).
Bytes paddedBlock(std::uint8_t type, const Bytes& data) {
  Bytes block{0x00, type};
  const std::size_t filler = 128 - 3 - data.size();
  for (std::size_t i = 0; i < filler; ++i) block.push_back(type == 1 ? 0xFF : static_cast<std::uint8_t>(i % 250 + 1));
  block.push_back(0x00);
  block.insert(block.end(), data.begin(), data.end());
  return block;
}

Bytes sha256DigestInfo(const std::string& message) {
  Bytes info = testsupport::fromHex("3031300D060960864801650304020105000420");
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(message.data()), message.size(), digest);
  info.insert(info.end(), digest, digest + sizeof digest);
  return info;
}

class RsaInteropTest : public testsupport::DalTest {
 protected:
  void SetUp() override {
    DalTest::SetUp();
    formatToken();
    loginUser();
  }

  Bytes cardPrivateRaw(int privateFile, const Bytes& block) {
    Bytes out(128);
    int length = 0;
    EXPECT_EQ(0, VORN_DAL_RsaPrivateKeyRaw(privateFile, block.data(), 128, out.data(), &length));
    EXPECT_EQ(length, 128);
    return out;
  }

  // Imports key and returns the private key file id.
  int import(const OpensslKey& key) {
    int pub = 0, pri = 0;
    EXPECT_EQ(0, VORN_DAL_ImportRsaKeyPair(nullptr, key.n.data(), nullptr, key.p.data(), key.q.data(),
                                           key.dP.data(), key.dQ.data(), key.qInv.data(), &pub, &pri));
    return pri;
  }
};

TEST_F(RsaInteropTest, CardSignatureWithAGeneratedKeyVerifiesWithOpenSsl) {
  int pub = 0, pri = 0;
  ASSERT_EQ(0, VORN_DAL_GenRsaKeyPair(1024, &pub, &pri));
  unsigned char modulus[128];
  int length = 0;
  ASSERT_EQ(0, VORN_DAL_GetPublicKey(pub, modulus, &length));
  const std::string message = "a message signed on the card";
  const Bytes signature = cardPrivateRaw(pri, paddedBlock(1, sha256DigestInfo(message)));

  PkeyHolder key = publicKey(modulus, length);
  ASSERT_TRUE(key);
  MdCtxHolder md(EVP_MD_CTX_new());
  ASSERT_EQ(1, EVP_DigestVerifyInit(md.get(), nullptr, EVP_sha256(), nullptr, key.get()));
  EXPECT_EQ(1, EVP_DigestVerify(md.get(), signature.data(), signature.size(),
                                reinterpret_cast<const unsigned char*>(message.data()), message.size()));
}

TEST_F(RsaInteropTest, ImportWritesBothRecordsAndTheKeySignsAsOpenSslDoes) {
  const OpensslKey key = makeKey(1024);
  ScriptedCard card;
  const int pri = import(key);
  EXPECT_EQ(pri, 2);
  const auto hex = [](const Bytes& b) { return toHex(b.data(), b.size()); };
  const std::string privateRecord = "7140" + hex(key.q) + "5140" + hex(key.dQ) + "7040" + hex(key.p) + "5040" +
                                    hex(key.dP) + "4940" + hex(key.qInv);
  const std::vector<std::string> expected{
      "00A40000021FF4",
      "00B0000002",
      "00A40000021FF4",
      "00D60000020003",
      "80E00001073E008CF0AAF0FF",
      "00A40000020001",
      "00D60000876E80" + hex(key.n) + "6503010001",
      "80E00002073D0150AAAAEFFF",
      "00A40000020002",
      "00D60000F5" + privateRecord.substr(0, 2 * 245),
      "00D600F555" + privateRecord.substr(2 * 245)};
  EXPECT_EQ(card.commandsHex(), expected);

  unsigned char modulus[128];
  int length = 0;
  ASSERT_EQ(0, VORN_DAL_GetPublicKey(1, modulus, &length));
  EXPECT_EQ(toHex(modulus, 128), hex(key.n));

  const Bytes block = paddedBlock(1, sha256DigestInfo("imported"));
  EXPECT_EQ(cardPrivateRaw(pri, block), opensslPrivateRaw(key.pkey.get(), block));
}

TEST_F(RsaInteropTest, RefusedPrivateKeyFileUsesUpItsIdsAndTheNextImportSucceeds) {
  const OpensslKey key = makeKey(1024);
  ScriptedCard card;
  card.answerNth({0x80, 0xE0, 0x00, 0x02}, 1, 0x6A84);
  clearLog();
  int pub = 0, pri = 0;
  EXPECT_EQ(VORN_DAL_ERR_CREATE_FILE,
            VORN_DAL_ImportRsaKeyPair(nullptr, key.n.data(), nullptr, key.p.data(), key.q.data(), key.dP.data(),
                                      key.dQ.data(), key.qInv.data(), &pub, &pri));
  EXPECT_EQ(logTexts(), std::vector<std::string>{"******>ICC_tsi_api Error:27268:0x6A84"});
  unsigned char modulus[128];
  int length = 0;
  ASSERT_EQ(0, VORN_DAL_GetPublicKey(1, modulus, &length));
  EXPECT_EQ(toHex(modulus, 128), toHex(key.n.data(), 128));
  card.clearRules();
  EXPECT_EQ(0, VORN_DAL_ImportRsaKeyPair(nullptr, key.n.data(), nullptr, key.p.data(), key.q.data(), key.dP.data(),
                                         key.dQ.data(), key.qInv.data(), &pub, &pri));
  EXPECT_EQ(pub, 3);
  EXPECT_EQ(pri, 4);
}

class RsaSoftwareInteropTest : public RsaInteropTest {
 protected:
  void SetUp() override {
    RsaInteropTest::SetUp();
    key_ = makeKey(1024);
    privateFile_ = import(key_);
  }
  OpensslKey key_;
  int privateFile_ = 0;
};

TEST_F(RsaSoftwareInteropTest, Pkcs1EncryptionDecryptsWithOpenSsl) {
  const Bytes data(117, 0xA5);
  unsigned char first[128], second[128];
  int length = 0;
  ASSERT_EQ(0, VORN_DAL_Pkcs1RsaPublicKeyEnc(key_.n.data(), 128, data.data(), 117, first, &length));
  EXPECT_EQ(length, 128);
  EXPECT_EQ(opensslDecrypt(key_.pkey.get(), first, 128), data);
  ASSERT_EQ(0, VORN_DAL_Pkcs1RsaPublicKeyEnc(key_.n.data(), 128, data.data(), 117, second, &length));
  EXPECT_EQ(opensslDecrypt(key_.pkey.get(), second, 128), data);
  EXPECT_NE(toHex(first, 128), toHex(second, 128));

  const Bytes tooLong(118, 0xA5);
  length = -7;
  clearLog();
  EXPECT_EQ(VORN_DAL_ERR_RSA, VORN_DAL_Pkcs1RsaPublicKeyEnc(key_.n.data(), 128, tooLong.data(), 118, first, &length));
  EXPECT_EQ(VORN_DAL_ERR_RSA, VORN_DAL_Pkcs1RsaPublicKeyEnc(key_.n.data(), 128, tooLong.data(), -1, first, &length));
  EXPECT_EQ(length, -7);
  EXPECT_EQ(logTexts(), std::vector<std::string>(2, "******>Quenta_Pkcs1RsaPublicKeyEnc"));
}

TEST_F(RsaSoftwareInteropTest, RecoveryReturnsTheDataOfTypeOneBlocksOnly) {
  const Bytes data = sha256DigestInfo("recover me");
  const Bytes signature = cardPrivateRaw(privateFile_, paddedBlock(1, data));
  unsigned char out[128];
  int length = 0;
  ASSERT_EQ(0, VORN_DAL_Pkcs1RsaPublicKeyDec(key_.n.data(), 128, signature.data(), 128, out, &length));
  EXPECT_EQ(Bytes(out, out + length), data);
  // A block with nothing inside its padding recovers zero bytes.
  const Bytes empty = cardPrivateRaw(privateFile_, paddedBlock(1, {}));
  ASSERT_EQ(0, VORN_DAL_Pkcs1RsaPublicKeyDec(key_.n.data(), 128, empty.data(), 128, out, &length));
  EXPECT_EQ(length, 0);

  const Bytes typeTwo = cardPrivateRaw(privateFile_, paddedBlock(2, data));
  length = -7;
  clearLog();
  EXPECT_EQ(VORN_DAL_ERR_RSA, VORN_DAL_Pkcs1RsaPublicKeyDec(key_.n.data(), 128, typeTwo.data(), 128, out, &length));
  EXPECT_EQ(VORN_DAL_ERR_RSA, VORN_DAL_Pkcs1RsaPublicKeyDec(key_.n.data(), 128, signature.data(), 127, out, &length));
  EXPECT_EQ(length, -7);
  EXPECT_EQ(logTexts(), std::vector<std::string>(2, "******>Quenta_Pkcs1RsaPublicKeyDec"));
}

TEST_F(RsaSoftwareInteropTest, RawPublicOperationUndoesTheCardsPrivateOperation) {
  Bytes block(128);
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i * 11 + 5);
  block[0] = 0x00;
  const Bytes signature = cardPrivateRaw(privateFile_, block);
  unsigned char out[128];
  int length = 0;
  ASSERT_EQ(0, VORN_DAL_RsaPublicKeyRaw(key_.n.data(), 128, signature.data(), 128, out, &length));
  EXPECT_EQ(length, 128);
  EXPECT_EQ(Bytes(out, out + 128), block);
  // An input that is not below the modulus is refused.
  length = -7;
  clearLog();
  EXPECT_EQ(VORN_DAL_ERR_RSA, VORN_DAL_RsaPublicKeyRaw(key_.n.data(), 128, key_.n.data(), 128, out, &length));
  EXPECT_EQ(length, -7);
  EXPECT_EQ(logTexts(), std::vector<std::string>{"******>XRSADecrypt"});
}

class RsaPublicKey2048 : public testsupport::DalTest {};

TEST_F(RsaPublicKey2048, SoftwareOperationsTakeA256ByteModulus) {
  const OpensslKey key = makeKey(2048);
  const Bytes data(245, 0x42);
  unsigned char cipher[256];
  int length = 0;
  ASSERT_EQ(0, VORN_DAL_Pkcs1RsaPublicKeyEnc(key.n.data(), 256, data.data(), 245, cipher, &length));
  EXPECT_EQ(length, 256);
  EXPECT_EQ(opensslDecrypt(key.pkey.get(), cipher, 256), data);

  Bytes block(256, 0x17);
  block[0] = 0x00;
  const Bytes signature = opensslPrivateRaw(key.pkey.get(), block);
  unsigned char out[256];
  ASSERT_EQ(0, VORN_DAL_RsaPublicKeyRaw(key.n.data(), 256, signature.data(), 256, out, &length));
  EXPECT_EQ(length, 256);
  EXPECT_EQ(Bytes(out, out + 256), block);
}

}  // namespace
