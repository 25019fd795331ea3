// The module's software side (verification and encryption with a public key)
// against OpenSSL holding the private half: OpenSSL's signatures verify in
// the module, the module's ciphertexts decrypt in OpenSSL.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <memory>

#include "module_fixture.h"

namespace p11test {
namespace {

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using KeyContext = std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)>;

struct VerifyCase {
  const char* name;
  CK_MECHANISM_TYPE mechanism;
  const EVP_MD* (*md)();
  int padding;
};

const VerifyCase kCases[] = {
    {"Sha256Pkcs1", CKM_SHA256_RSA_PKCS, EVP_sha256, RSA_PKCS1_PADDING},
    {"Sha1Pkcs1", CKM_SHA1_RSA_PKCS, EVP_sha1, RSA_PKCS1_PADDING},
    {"Sha256Pss", CKM_SHA256_RSA_PKCS_PSS, EVP_sha256, RSA_PKCS1_PSS_PADDING},
    {"Sha384Pss", CKM_SHA384_RSA_PKCS_PSS, EVP_sha384, RSA_PKCS1_PSS_PADDING},
};

class SoftwareKeyTest : public ModuleTest {
 protected:
  SoftwareKeyTest() : ModuleTest(true) {}
  void SetUp() override {
    ModuleTest::SetUp();
    initToken();
    session = openSession();
    key.reset(EVP_RSA_gen(1024));
    ASSERT_NE(key, nullptr);
    modulus = part(OSSL_PKEY_PARAM_RSA_N, 128);
    exponent = part(OSSL_PKEY_PARAM_RSA_E, 3);
    CK_OBJECT_CLASS objectClass = CKO_PUBLIC_KEY;
    CK_KEY_TYPE keyType = CKK_RSA;
    std::vector<CK_ATTRIBUTE> pattern{attr(CKA_CLASS, objectClass), attr(CKA_KEY_TYPE, keyType),
                                      attr(CKA_MODULUS, modulus.data(), modulus.size()),
                                      attr(CKA_PUBLIC_EXPONENT, exponent.data(), exponent.size())};
    ASSERT_EQ(p11->C_CreateObject(session, pattern.data(), pattern.size(), &publicKey), CKR_OK);
  }

  Bytes part(const char* name, std::size_t size) {
    BIGNUM* value = nullptr;
    EVP_PKEY_get_bn_param(key.get(), name, &value);
    Bytes out(size);
    BN_bn2binpad(value, out.data(), static_cast<int>(size));
    BN_free(value);
    return out;
  }

  CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
  Key key{nullptr, EVP_PKEY_free};
  Bytes modulus, exponent;
  CK_OBJECT_HANDLE publicKey = CK_INVALID_HANDLE;
};

class SoftwareVerifyTest : public SoftwareKeyTest, public ::testing::WithParamInterface<VerifyCase> {};

TEST_P(SoftwareVerifyTest, OpenSslSignaturesVerifyInTheModule) {
  const VerifyCase& c = GetParam();
  Bytes message = bytesOf("signed by OpenSSL");
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> signer(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  EVP_PKEY_CTX* context = nullptr;
  ASSERT_EQ(EVP_DigestSignInit(signer.get(), &context, c.md(), nullptr, key.get()), 1);
  EVP_PKEY_CTX_set_rsa_padding(context, c.padding);
  if (c.padding == RSA_PKCS1_PSS_PADDING) EVP_PKEY_CTX_set_rsa_pss_saltlen(context, RSA_PSS_SALTLEN_DIGEST);
  Bytes signature(128);
  size_t length = signature.size();
  ASSERT_EQ(EVP_DigestSign(signer.get(), signature.data(), &length, message.data(), message.size()), 1);

  const int hashLength = EVP_MD_get_size(c.md());
  CK_RSA_PKCS_PSS_PARAMS params{};
  CK_MECHANISM mechanism{c.mechanism, nullptr, 0};
  if (c.padding == RSA_PKCS1_PSS_PADDING) {
    const bool sha384 = hashLength == 48;
    params = {sha384 ? CKM_SHA384 : CKM_SHA256, sha384 ? CKG_MGF1_SHA384 : CKG_MGF1_SHA256,
              static_cast<CK_ULONG>(hashLength)};
    mechanism = {c.mechanism, &params, sizeof params};
  }
  Bytes damaged = signature;
  damaged[5] ^= 0x10;
  for (const auto& [candidate, expected] : {std::pair{signature, CKR_OK}, std::pair{damaged, CKR_SIGNATURE_INVALID}}) {
    ASSERT_EQ(p11->C_VerifyInit(session, &mechanism, publicKey), CKR_OK);
    Bytes sig = candidate;
    EXPECT_EQ(p11->C_Verify(session, message.data(), message.size(), sig.data(), sig.size()), expected);
  }
}

INSTANTIATE_TEST_SUITE_P(Mechanisms, SoftwareVerifyTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ModuleTest, SessionPublicKeysOfOtherSizesAreRefused) {
  initToken();
  CK_SESSION_HANDLE session = openSession();
  Bytes modulus(256, 0xC5), exponent{1, 0, 1};
  CK_OBJECT_CLASS objectClass = CKO_PUBLIC_KEY;
  CK_KEY_TYPE keyType = CKK_RSA;
  std::vector<CK_ATTRIBUTE> pattern{attr(CKA_CLASS, objectClass), attr(CKA_KEY_TYPE, keyType),
                                    attr(CKA_MODULUS, modulus.data(), modulus.size()),
                                    attr(CKA_PUBLIC_EXPONENT, exponent.data(), exponent.size())};
  CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
  EXPECT_EQ(p11->C_CreateObject(session, pattern.data(), pattern.size(), &handle), CKR_ATTRIBUTE_VALUE_INVALID);
}

TEST_F(SoftwareKeyTest, ModuleCiphertextsDecryptInOpenSsl) {
  CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
  ASSERT_EQ(p11->C_EncryptInit(session, &mechanism, publicKey), CKR_OK);
  Bytes plain = bytesOf("for OpenSSL's eyes");
  Bytes cipher(128);
  CK_ULONG cipherLength = cipher.size();
  ASSERT_EQ(p11->C_Encrypt(session, plain.data(), plain.size(), cipher.data(), &cipherLength), CKR_OK);
  KeyContext context(EVP_PKEY_CTX_new(key.get(), nullptr), EVP_PKEY_CTX_free);
  ASSERT_EQ(EVP_PKEY_decrypt_init(context.get()), 1);
  EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING);
  Bytes out(128);
  size_t length = out.size();
  ASSERT_EQ(EVP_PKEY_decrypt(context.get(), out.data(), &length, cipher.data(), cipherLength), 1);
  out.resize(length);
  EXPECT_EQ(out, plain);
}

}  // namespace
}  // namespace p11test
