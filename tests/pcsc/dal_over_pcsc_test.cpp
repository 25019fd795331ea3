// The library's jobs through pcscd and vpcd to a virtual token file: every
// command and answer crosses the PC/SC client library, the daemon, the vpcd
// reader driver and the tool's bridge, as with a real reader.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/sha.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "pcsc_fixture.h"
#include "vorn_dal_pelu7.h"

namespace pcsctest {
namespace {

using Bytes = std::vector<unsigned char>;

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* p) const { Free(p); }
};
using PkeyHolder = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using PkeyCtxHolder = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using MdCtxHolder = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX, EVP_MD_CTX_free>>;
using CipherCtxHolder = std::unique_ptr<EVP_CIPHER_CTX, Deleter<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>>;
using BnHolder = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_free>>;
using ParamBldHolder = std::unique_ptr<OSSL_PARAM_BLD, Deleter<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>>;
using ParamHolder = std::unique_ptr<OSSL_PARAM, Deleter<OSSL_PARAM, OSSL_PARAM_free>>;
using CtxHolder = std::unique_ptr<void, int (*)(void*)>;

Bytes pattern(std::size_t length, unsigned seed) {
  Bytes data(length);
  for (std::size_t i = 0; i < length; ++i) data[i] = static_cast<unsigned char>(i * 31 + seed);
  return data;
}

// An OpenSSL public key from a modulus and the exponent 65537.
PkeyHolder publicKey(const unsigned char* modulus, int length) {
  BnHolder n(BN_bin2bn(modulus, length, nullptr));
  BnHolder e(BN_new());
  BN_set_word(e.get(), 65537);
  ParamBldHolder build(OSSL_PARAM_BLD_new());
  OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_N, n.get());
  OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_E, e.get());
  ParamHolder params(OSSL_PARAM_BLD_to_param(build.get()));
  PkeyCtxHolder ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  EVP_PKEY* pkey = nullptr;
  if (EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
      EVP_PKEY_fromdata(ctx.get(), &pkey, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
    return nullptr;
  }
  return PkeyHolder(pkey);
}

// 00 01 FF..FF 00 DigestInfo(SHA-256 of message), 128 bytes.
Bytes signatureBlock(const std::string& message) {
  Bytes info = testsupport::fromHex("3031300D060960864801650304020105000420");
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(message.data()), message.size(), digest);
  info.insert(info.end(), digest, digest + sizeof digest);
  Bytes block{0x00, 0x01};
  block.insert(block.end(), 128 - 3 - info.size(), 0xFF);
  block.push_back(0x00);
  block.insert(block.end(), info.begin(), info.end());
  return block;
}

// SM4 (the virtual token's stand-in for SSF33) with PKCS#7 padding.
Bytes sm4Encrypt(int mode, const Bytes& key, const Bytes& iv, const Bytes& in) {
  CipherCtxHolder ctx(EVP_CIPHER_CTX_new());
  Bytes out(in.size() + 16);
  int length = 0;
  int finalLength = 0;
  const bool ok =
      EVP_EncryptInit_ex(ctx.get(), mode == VORN_DAL_MODE_CBC ? EVP_sm4_cbc() : EVP_sm4_ecb(), nullptr, key.data(),
                         mode == VORN_DAL_MODE_CBC ? iv.data() : nullptr) == 1 &&
      EVP_EncryptUpdate(ctx.get(), out.data(), &length, in.data(), static_cast<int>(in.size())) == 1 &&
      EVP_EncryptFinal_ex(ctx.get(), out.data() + length, &finalLength) == 1;
  EXPECT_TRUE(ok);
  out.resize(static_cast<std::size_t>(length + finalLength));
  return out;
}

class DalOverPcsc : public PcscTest {
 protected:
  void SetUp() override {
    PcscTest::SetUp();
    if (!HasFatalFailure()) formatToken();
  }
};

TEST_F(DalOverPcsc, LoginCountsWrongPinsDownAndTheRightOneLogsIn) {
  const Bytes wrong = testsupport::bytes("00000000");
  EXPECT_EQ(5, VORN_DAL_Login(VORN_DAL_USER, wrong.data(), 8));
  EXPECT_EQ(4, VORN_DAL_Login(VORN_DAL_USER, wrong.data(), 8));
  loginUser();
  int loggedIn = -1;
  ASSERT_EQ(0, VORN_DAL_IsLogin(VORN_DAL_USER, &loggedIn));
  EXPECT_EQ(loggedIn, 1);
  ASSERT_EQ(0, VORN_DAL_Logout(VORN_DAL_USER));
  ASSERT_EQ(0, VORN_DAL_IsLogin(VORN_DAL_USER, &loggedIn));
  EXPECT_EQ(loggedIn, 0);
}

// One data file kind: how to create it, write it and read it.
struct FileKind {
  const char* name;
  int size;
  std::function<int()> create;
  std::function<int(int offset, const Bytes&)> write;
  std::function<int(int offset, Bytes&)> read;
};

class DataFilesOverPcsc : public DalOverPcsc, public ::testing::WithParamInterface<FileKind> {};

// Sizes above one command's 245 bytes, so writes and reads take several
// exchanges each.
TEST_P(DataFilesOverPcsc, KeepWhatIsWrittenAtAnyOffset) {
  const FileKind& kind = GetParam();
  loginUser();
  ASSERT_EQ(0, kind.create());
  const Bytes whole = pattern(static_cast<std::size_t>(kind.size), 7);
  ASSERT_EQ(0, kind.write(0, whole));
  const Bytes middle = pattern(260, 99);
  ASSERT_EQ(0, kind.write(100, middle));

  Bytes expected = whole;
  std::copy(middle.begin(), middle.end(), expected.begin() + 100);
  Bytes back(whole.size(), 0xEE);
  ASSERT_EQ(0, kind.read(0, back));
  EXPECT_EQ(back, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, DataFilesOverPcsc,
    ::testing::Values(
        FileKind{"GlobalInfoFile", 600, [] { return VORN_DAL_CreateGlobalInfoFile(600); },
                 [](int offset, const Bytes& d) {
                   return VORN_DAL_WriteGlobalInfoFile(offset, static_cast<int>(d.size()), d.data());
                 },
                 [](int offset, Bytes& d) {
                   return VORN_DAL_ReadGlobalInfoFile(offset, static_cast<int>(d.size()), d.data());
                 }},
        FileKind{"UsrDataFile", 500, [] { return VORN_DAL_CreateUsrDataFile(1, 5, 500, 0, 1); },
                 [](int offset, const Bytes& d) {
                   return VORN_DAL_WriteUsrDataFile(1, 5, offset, static_cast<int>(d.size()), d.data());
                 },
                 [](int offset, Bytes& d) {
                   return VORN_DAL_ReadUsrDataFile(1, 5, offset, static_cast<int>(d.size()), d.data());
                 }}),
    [](const ::testing::TestParamInfo<FileKind>& info) { return std::string(info.param.name); });

TEST_F(DalOverPcsc, CardSignatureOfASha256DigestVerifiesWithOpenSsl) {
  loginUser();
  int pub = 0;
  int pri = 0;
  ASSERT_EQ(0, VORN_DAL_GenRsaKeyPair(1024, &pub, &pri));
  unsigned char modulus[128];
  int modulusLength = 0;
  ASSERT_EQ(0, VORN_DAL_GetPublicKey(pub, modulus, &modulusLength));
  ASSERT_EQ(modulusLength, 128);

  const std::string message = "signed through pcscd";
  const Bytes block = signatureBlock(message);
  Bytes signature(128);
  int signatureLength = 0;
  ASSERT_EQ(0, VORN_DAL_RsaPrivateKeyRaw(pri, block.data(), 128, signature.data(), &signatureLength));
  ASSERT_EQ(signatureLength, 128);

  PkeyHolder key = publicKey(modulus, modulusLength);
  ASSERT_TRUE(key);
  MdCtxHolder md(EVP_MD_CTX_new());
  ASSERT_EQ(1, EVP_DigestVerifyInit(md.get(), nullptr, EVP_sha256(), nullptr, key.get()));
  EXPECT_EQ(1, EVP_DigestVerify(md.get(), signature.data(), signature.size(),
                                reinterpret_cast<const unsigned char*>(message.data()), message.size()));
}

class Ssf33OverPcsc : public DalOverPcsc, public ::testing::WithParamInterface<int> {};

TEST_P(Ssf33OverPcsc, RoundTripAgreesWithSm4) {
  const Bytes key = testsupport::fromHex("0123456789ABCDEFFEDCBA9876543210");
  const Bytes iv = testsupport::fromHex("000102030405060708090A0B0C0D0E0F");
  const Bytes plain = pattern(100, 3);
  const auto acquire = [&] {
    void* raw = nullptr;
    EXPECT_EQ(0, VORN_DAL_SSF33AcquireContext(key.data(), 16, iv.data(), GetParam(), 0, &raw));
    return CtxHolder(raw, VORN_DAL_SSF33ReleaseCtx);
  };

  Bytes cipher(plain.size() + 16);
  int cipherLength = 0;
  ASSERT_EQ(0, VORN_DAL_SSF33Encrypt(acquire().get(), plain.data(), static_cast<unsigned>(plain.size()), cipher.data(),
                                     &cipherLength));
  cipher.resize(static_cast<std::size_t>(cipherLength));
  EXPECT_EQ(cipher, sm4Encrypt(GetParam(), key, iv, plain));

  Bytes back(cipher.size());
  int backLength = 0;
  ASSERT_EQ(0, VORN_DAL_SSF33Decrypt(acquire().get(), cipher.data(), static_cast<unsigned>(cipher.size()), back.data(),
                                     &backLength));
  back.resize(static_cast<std::size_t>(backLength));
  EXPECT_EQ(back, plain);
}

INSTANTIATE_TEST_SUITE_P(Modes, Ssf33OverPcsc, ::testing::Values(VORN_DAL_MODE_ECB, VORN_DAL_MODE_CBC),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(info.param == VORN_DAL_MODE_ECB ? "Ecb" : "Cbc");
                         });

// 100 bytes take thirteen GET CHALLENGEs; two draws differ.
TEST_F(DalOverPcsc, RandomBytesComeFromTheCard) {
  Bytes first(100, 0);
  Bytes second(100, 0);
  ASSERT_EQ(0, VORN_DAL_GenRand(100, first.data()));
  ASSERT_EQ(0, VORN_DAL_GenRand(100, second.data()));
  EXPECT_NE(first, second);
  EXPECT_NE(first, Bytes(100, 0));
}

}  // namespace
}  // namespace pcsctest
