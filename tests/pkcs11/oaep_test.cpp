// RSA OAEP both ways against OpenSSL: what OpenSSL encrypts to the card's key
// the module decrypts, and what the module encrypts OpenSSL decrypts.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/rsa.h>

#include <cstring>

#include "key_pair_fixture.h"

namespace p11test {
namespace {

struct OaepCase {
  const char* name;
  CK_MECHANISM_TYPE hash;
  CK_RSA_PKCS_MGF_TYPE mgf;
  const EVP_MD* (*md)();
  const EVP_MD* (*mgfMd)();
  const char* label;
};

const OaepCase kCases[] = {
    {"Sha1", CKM_SHA_1, CKG_MGF1_SHA1, EVP_sha1, EVP_sha1, ""},
    {"Sha1Label", CKM_SHA_1, CKG_MGF1_SHA1, EVP_sha1, EVP_sha1, "a label"},
    {"Sha224", CKM_SHA224, CKG_MGF1_SHA224, EVP_sha224, EVP_sha224, ""},
    {"Sha256Label", CKM_SHA256, CKG_MGF1_SHA256, EVP_sha256, EVP_sha256, "another label"},
    {"Sha256MaskSha1", CKM_SHA256, CKG_MGF1_SHA1, EVP_sha256, EVP_sha1, ""},
    {"Sha384Label", CKM_SHA384, CKG_MGF1_SHA384, EVP_sha384, EVP_sha384, "label"},
};

class OaepTest : public KeyPairTest {
 protected:
  static CK_RSA_PKCS_OAEP_PARAMS params(const OaepCase& c) {
    return {c.hash, c.mgf, CKZ_DATA_SPECIFIED, const_cast<char*>(c.label), std::strlen(c.label)};
  }

  // An OpenSSL context for key with OAEP set as the case says.
  static OpenSslKeyContext context(EVP_PKEY* key, const OaepCase& c, bool encrypt) {
    OpenSslKeyContext context(EVP_PKEY_CTX_new(key, nullptr), EVP_PKEY_CTX_free);
    EXPECT_EQ(encrypt ? EVP_PKEY_encrypt_init(context.get()) : EVP_PKEY_decrypt_init(context.get()), 1);
    EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_OAEP_PADDING);
    EVP_PKEY_CTX_set_rsa_oaep_md(context.get(), c.md());
    EVP_PKEY_CTX_set_rsa_mgf1_md(context.get(), c.mgfMd());
    if (*c.label != '\0') {
      const std::size_t length = std::strlen(c.label);
      auto* copy = static_cast<unsigned char*>(OPENSSL_memdup(c.label, length));  // the context owns it
      EVP_PKEY_CTX_set0_rsa_oaep_label(context.get(), copy, static_cast<int>(length));
    }
    return context;
  }

  CK_RV decrypt(CK_RSA_PKCS_OAEP_PARAMS p, Bytes cipher, Bytes& plain) {
    CK_MECHANISM mechanism{CKM_RSA_PKCS_OAEP, &p, sizeof p};
    if (CK_RV rv = p11->C_DecryptInit(session, &mechanism, pair.privateKey); rv != CKR_OK) return rv;
    plain.assign(128, 0);
    CK_ULONG length = plain.size();
    const CK_RV rv = p11->C_Decrypt(session, cipher.data(), cipher.size(), plain.data(), &length);
    plain.resize(rv == CKR_OK ? length : 0);
    return rv;
  }

  // A session public key object for a key OpenSSL holds in full.
  CK_OBJECT_HANDLE sessionPublicKey(EVP_PKEY* key) {
    BIGNUM* n = nullptr;
    EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_N, &n);
    Bytes modulus(128);
    BN_bn2binpad(n, modulus.data(), 128);
    BN_free(n);
    const Bytes exponent{1, 0, 1};
    CK_OBJECT_CLASS objectClass = CKO_PUBLIC_KEY;
    CK_KEY_TYPE keyType = CKK_RSA;
    std::vector<CK_ATTRIBUTE> pattern{attr(CKA_CLASS, objectClass), attr(CKA_KEY_TYPE, keyType),
                                      attr(CKA_MODULUS, modulus.data(), modulus.size()),
                                      attr(CKA_PUBLIC_EXPONENT, exponent.data(), exponent.size())};
    CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
    EXPECT_EQ(p11->C_CreateObject(session, pattern.data(), pattern.size(), &handle), CKR_OK);
    return handle;
  }
};

class OaepBothWaysTest : public OaepTest, public ::testing::WithParamInterface<OaepCase> {};

TEST_P(OaepBothWaysTest, OpenSslAndTheModuleUnderstandEachOther) {
  const OaepCase& c = GetParam();
  const Bytes secret = bytesOf("a session key of thirty bytes!");

  // OpenSSL encrypts to the card's key; the card decrypts.
  OpenSslKey cardKey = publicKey();
  ASSERT_NE(cardKey, nullptr);
  Bytes cipher(128);
  std::size_t cipherLength = cipher.size();
  ASSERT_EQ(EVP_PKEY_encrypt(context(cardKey.get(), c, true).get(), cipher.data(), &cipherLength, secret.data(),
                             secret.size()),
            1);
  Bytes plain;
  ASSERT_EQ(decrypt(params(c), cipher, plain), CKR_OK);
  EXPECT_EQ(plain, secret);

  // The module encrypts to a software key; OpenSSL decrypts.
  OpenSslKey softwareKey(EVP_RSA_gen(1024), EVP_PKEY_free);
  ASSERT_NE(softwareKey, nullptr);
  CK_RSA_PKCS_OAEP_PARAMS p = params(c);
  CK_MECHANISM mechanism{CKM_RSA_PKCS_OAEP, &p, sizeof p};
  ASSERT_EQ(p11->C_EncryptInit(session, &mechanism, sessionPublicKey(softwareKey.get())), CKR_OK);
  CK_ULONG length = cipher.size();
  Bytes input = secret;
  ASSERT_EQ(p11->C_Encrypt(session, input.data(), input.size(), cipher.data(), &length), CKR_OK);
  Bytes back(128);
  std::size_t backLength = back.size();
  ASSERT_EQ(EVP_PKEY_decrypt(context(softwareKey.get(), c, false).get(), back.data(), &backLength, cipher.data(),
                             length),
            1);
  back.resize(backLength);
  EXPECT_EQ(back, secret);
}

INSTANTIATE_TEST_SUITE_P(Oaep, OaepBothWaysTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(OaepTest, WhatDoesNotFitOrDoesNotDecodeIsRefused) {
  const OaepCase& sha1 = kCases[1];
  OpenSslKey cardKey = publicKey();
  const Bytes secret = bytesOf("secret");
  Bytes cipher(128);
  std::size_t cipherLength = cipher.size();
  ASSERT_EQ(EVP_PKEY_encrypt(context(cardKey.get(), sha1, true).get(), cipher.data(), &cipherLength, secret.data(),
                             secret.size()),
            1);
  Bytes plain;
  CK_RSA_PKCS_OAEP_PARAMS otherLabel = params(kCases[0]);
  EXPECT_EQ(decrypt(otherLabel, cipher, plain), CKR_ENCRYPTED_DATA_INVALID);
  CK_RSA_PKCS_OAEP_PARAMS sha512{CKM_SHA512, CKG_MGF1_SHA512, CKZ_DATA_SPECIFIED, nullptr, 0};
  EXPECT_EQ(decrypt(sha512, cipher, plain), CKR_MECHANISM_PARAM_INVALID);
  CK_RSA_PKCS_OAEP_PARAMS badSource{CKM_SHA_1, CKG_MGF1_SHA1, 7, nullptr, 0};
  EXPECT_EQ(decrypt(badSource, cipher, plain), CKR_MECHANISM_PARAM_INVALID);
  // A PKCS#1 v1.5 ciphertext is no OAEP encoding.
  OpenSslKeyContext pkcs1(EVP_PKEY_CTX_new(cardKey.get(), nullptr), EVP_PKEY_CTX_free);
  ASSERT_EQ(EVP_PKEY_encrypt_init(pkcs1.get()), 1);
  EVP_PKEY_CTX_set_rsa_padding(pkcs1.get(), RSA_PKCS1_PADDING);
  cipherLength = cipher.size();
  ASSERT_EQ(EVP_PKEY_encrypt(pkcs1.get(), cipher.data(), &cipherLength, secret.data(), secret.size()), 1);
  EXPECT_EQ(decrypt(params(kCases[0]), cipher, plain), CKR_ENCRYPTED_DATA_INVALID);

  // SHA-1 leaves room for 128 - 2 * 20 - 2 = 86 bytes.
  CK_RSA_PKCS_OAEP_PARAMS p = params(kCases[0]);
  CK_MECHANISM mechanism{CKM_RSA_PKCS_OAEP, &p, sizeof p};
  for (const auto& [size, expected] : {std::pair{86u, CKR_OK}, std::pair{87u, CKR_DATA_LEN_RANGE}}) {
    ASSERT_EQ(p11->C_EncryptInit(session, &mechanism, pair.publicKey), CKR_OK);
    Bytes input(size, 0x42);
    CK_ULONG length = cipher.size();
    EXPECT_EQ(p11->C_Encrypt(session, input.data(), input.size(), cipher.data(), &length), expected) << size;
  }
}

}  // namespace
}  // namespace p11test
