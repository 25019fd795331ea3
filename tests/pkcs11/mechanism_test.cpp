// Every mechanism through C_GetFunctionList, checked against OpenSSL: the
// module's signatures verify there, OpenSSL's ciphertexts decrypt here.
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <memory>

#include "module_fixture.h"

namespace p11test {
namespace {

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using KeyContext = std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)>;

Key opensslKey(const Bytes& der) {
  const unsigned char* cursor = der.data();
  return Key(d2i_PUBKEY(nullptr, &cursor, static_cast<long>(der.size())), EVP_PKEY_free);
}

Bytes sha(const EVP_MD* md, const Bytes& data) {
  Bytes digest(EVP_MD_get_size(md));
  unsigned int length = 0;
  EVP_Digest(data.data(), data.size(), digest.data(), &length, md, nullptr);
  return digest;
}

struct SignCase {
  const char* name;
  CK_MECHANISM_TYPE mechanism;
  const EVP_MD* (*md)();  // the hash OpenSSL verifies with
  bool pss;
  bool callerHashes;      // the data given to C_Sign is already the digest
};

const SignCase kSignCases[] = {
    {"RsaPkcs", CKM_RSA_PKCS, nullptr, false, false},
    {"Sha1", CKM_SHA1_RSA_PKCS, EVP_sha1, false, false},
    {"Sha224", CKM_SHA224_RSA_PKCS, EVP_sha224, false, false},
    {"Sha256", CKM_SHA256_RSA_PKCS, EVP_sha256, false, false},
    {"Sha384", CKM_SHA384_RSA_PKCS, EVP_sha384, false, false},
    {"Sha512", CKM_SHA512_RSA_PKCS, EVP_sha512, false, false},
    {"PssOverDigest", CKM_RSA_PKCS_PSS, EVP_sha256, true, true},
    {"Sha1Pss", CKM_SHA1_RSA_PKCS_PSS, EVP_sha1, true, false},
    {"Sha224Pss", CKM_SHA224_RSA_PKCS_PSS, EVP_sha224, true, false},
    {"Sha256Pss", CKM_SHA256_RSA_PKCS_PSS, EVP_sha256, true, false},
    {"Sha384Pss", CKM_SHA384_RSA_PKCS_PSS, EVP_sha384, true, false},
};

CK_RSA_PKCS_PSS_PARAMS pssParams(const EVP_MD* md) {
  switch (EVP_MD_get_type(md)) {
    case NID_sha1:
      return {CKM_SHA_1, CKG_MGF1_SHA1, 20};
    case NID_sha224:
      return {CKM_SHA224, CKG_MGF1_SHA224, 28};
    case NID_sha384:
      return {CKM_SHA384, CKG_MGF1_SHA384, 48};
    default:
      return {CKM_SHA256, CKG_MGF1_SHA256, 32};
  }
}

class MechanismTest : public ModuleTest {
 protected:
  MechanismTest() : ModuleTest(true) {}
  void SetUp() override {
    ModuleTest::SetUp();
    initToken();
    session = openSession();
    loginUser(session);
    pair = generateKeyPair(session, "k", "key");
  }

  Bytes sign(CK_MECHANISM mechanism, const Bytes& data) {
    EXPECT_EQ(p11->C_SignInit(session, &mechanism, pair.privateKey), CKR_OK);
    CK_ULONG length = 0;
    EXPECT_EQ(p11->C_Sign(session, const_cast<unsigned char*>(data.data()), data.size(), nullptr, &length), CKR_OK);
    Bytes signature(length);
    EXPECT_EQ(p11->C_Sign(session, const_cast<unsigned char*>(data.data()), data.size(), signature.data(), &length),
              CKR_OK);
    signature.resize(length);
    return signature;
  }

  Key publicKey() { return opensslKey(attribute(session, pair.publicKey, CKA_PUBLIC_KEY_INFO)); }

  CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
  KeyPair pair;
};

class SignTest : public MechanismTest, public ::testing::WithParamInterface<SignCase> {};

TEST_P(SignTest, SignatureVerifiesWithOpenSslAndWithTheModule) {
  const SignCase& c = GetParam();
  const Bytes message = bytesOf("a message signed on the token");
  const EVP_MD* md = c.md != nullptr ? c.md() : nullptr;
  CK_RSA_PKCS_PSS_PARAMS params{};
  CK_MECHANISM mechanism{c.mechanism, nullptr, 0};
  if (c.pss) {
    params = pssParams(md);
    mechanism.pParameter = &params;
    mechanism.ulParameterLen = sizeof params;
  }
  const Bytes input = c.callerHashes ? sha(md, message) : message;
  const Bytes signature = sign(mechanism, input);
  ASSERT_EQ(signature.size(), 128u);

  Key key = publicKey();
  ASSERT_NE(key, nullptr);
  KeyContext context(EVP_PKEY_CTX_new(key.get(), nullptr), EVP_PKEY_CTX_free);
  ASSERT_EQ(EVP_PKEY_verify_init(context.get()), 1);
  EVP_PKEY_CTX_set_rsa_padding(context.get(), c.pss ? RSA_PKCS1_PSS_PADDING : RSA_PKCS1_PADDING);
  if (md != nullptr) EVP_PKEY_CTX_set_signature_md(context.get(), md);
  if (c.pss) EVP_PKEY_CTX_set_rsa_pss_saltlen(context.get(), RSA_PSS_SALTLEN_DIGEST);
  const Bytes signed_ = md != nullptr ? sha(md, message) : message;
  EXPECT_EQ(EVP_PKEY_verify(context.get(), signature.data(), signature.size(), signed_.data(), signed_.size()), 1);

  // The module's own verification agrees, and refuses a damaged signature.
  Bytes damaged = signature;
  damaged[60] ^= 1;
  for (const auto& [candidate, expected] : {std::pair{signature, CKR_OK}, std::pair{damaged, CKR_SIGNATURE_INVALID}}) {
    ASSERT_EQ(p11->C_VerifyInit(session, &mechanism, pair.publicKey), CKR_OK);
    Bytes sig = candidate;
    EXPECT_EQ(p11->C_Verify(session, const_cast<unsigned char*>(input.data()), input.size(), sig.data(), sig.size()),
              expected);
  }
}

INSTANTIATE_TEST_SUITE_P(Mechanisms, SignTest, ::testing::ValuesIn(kSignCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(MechanismTest, MultiPartSigningGivesAVerifiableSignature) {
  CK_MECHANISM mechanism{CKM_SHA256_RSA_PKCS, nullptr, 0};
  ASSERT_EQ(p11->C_SignInit(session, &mechanism, pair.privateKey), CKR_OK);
  Bytes first = bytesOf("first part, "), second = bytesOf("second part");
  ASSERT_EQ(p11->C_SignUpdate(session, first.data(), first.size()), CKR_OK);
  ASSERT_EQ(p11->C_SignUpdate(session, second.data(), second.size()), CKR_OK);
  Bytes signature(128);
  CK_ULONG length = signature.size();
  ASSERT_EQ(p11->C_SignFinal(session, signature.data(), &length), CKR_OK);
  Bytes whole = bytesOf("first part, second part");
  Key key = publicKey();
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> verify(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  ASSERT_EQ(EVP_DigestVerifyInit(verify.get(), nullptr, EVP_sha256(), nullptr, key.get()), 1);
  EXPECT_EQ(EVP_DigestVerify(verify.get(), signature.data(), length, whole.data(), whole.size()), 1);
}

TEST_F(MechanismTest, TooSmallBufferKeepsTheOperationForTheRealCall) {
  CK_MECHANISM mechanism{CKM_SHA1_RSA_PKCS, nullptr, 0};
  ASSERT_EQ(p11->C_SignInit(session, &mechanism, pair.privateKey), CKR_OK);
  Bytes data = bytesOf("data");
  Bytes signature(64);
  CK_ULONG length = signature.size();
  EXPECT_EQ(p11->C_Sign(session, data.data(), data.size(), signature.data(), &length), CKR_BUFFER_TOO_SMALL);
  EXPECT_EQ(length, 128u);
  signature.resize(length);
  EXPECT_EQ(p11->C_Sign(session, data.data(), data.size(), signature.data(), &length), CKR_OK);
  // The operation ended with the signature.
  EXPECT_EQ(p11->C_Sign(session, data.data(), data.size(), signature.data(), &length), CKR_OPERATION_NOT_INITIALIZED);
}

TEST_F(MechanismTest, RawInputsAreCheckedBeforeTheCard) {
  const Bytes modulus = attribute(session, pair.privateKey, CKA_MODULUS);
  struct Case {
    CK_MECHANISM_TYPE mechanism;
    Bytes input;
    CK_RV expected;
  };
  const Case cases[] = {
      {CKM_RSA_X_509, modulus, CKR_DATA_INVALID},          // not below n
      {CKM_RSA_X_509, Bytes(129, 1), CKR_DATA_LEN_RANGE},  // longer than the key
      {CKM_RSA_PKCS, Bytes(118, 1), CKR_DATA_LEN_RANGE},   // no room for the padding
      {CKM_RSA_PKCS, Bytes(117, 1), CKR_OK},
  };
  for (const auto& c : cases) {
    CK_MECHANISM mechanism{c.mechanism, nullptr, 0};
    ASSERT_EQ(p11->C_SignInit(session, &mechanism, pair.privateKey), CKR_OK);
    Bytes input = c.input;
    Bytes signature(128);
    CK_ULONG length = signature.size();
    EXPECT_EQ(p11->C_Sign(session, input.data(), input.size(), signature.data(), &length), c.expected);
  }
}

TEST_F(MechanismTest, PssParametersThatDoNotFitTheKeyAreRefused) {
  CK_RSA_PKCS_PSS_PARAMS params{CKM_SHA512, CKG_MGF1_SHA512, 64};
  CK_MECHANISM mechanism{CKM_RSA_PKCS_PSS, &params, sizeof params};
  EXPECT_EQ(p11->C_SignInit(session, &mechanism, pair.privateKey), CKR_MECHANISM_PARAM_INVALID);
  CK_RSA_PKCS_PSS_PARAMS mismatched{CKM_SHA_1, CKG_MGF1_SHA1, 20};
  CK_MECHANISM sha256Pss{CKM_SHA256_RSA_PKCS_PSS, &mismatched, sizeof mismatched};
  EXPECT_EQ(p11->C_SignInit(session, &sha256Pss, pair.privateKey), CKR_MECHANISM_PARAM_INVALID);
  CK_MECHANISM unlisted{CKM_SHA512_RSA_PKCS_PSS, nullptr, 0};
  EXPECT_EQ(p11->C_SignInit(session, &unlisted, pair.privateKey), CKR_MECHANISM_INVALID);
}

TEST_F(MechanismTest, DecryptsWhatOpenSslEncrypted) {
  Key key = publicKey();
  const Bytes secret = bytesOf("the session key");
  for (int padding : {RSA_PKCS1_PADDING, RSA_NO_PADDING}) {
    Bytes plain = secret;
    if (padding == RSA_NO_PADDING) plain.insert(plain.begin(), 128 - plain.size(), 0);
    KeyContext context(EVP_PKEY_CTX_new(key.get(), nullptr), EVP_PKEY_CTX_free);
    ASSERT_EQ(EVP_PKEY_encrypt_init(context.get()), 1);
    EVP_PKEY_CTX_set_rsa_padding(context.get(), padding);
    Bytes cipher(128);
    size_t cipherLength = cipher.size();
    ASSERT_EQ(EVP_PKEY_encrypt(context.get(), cipher.data(), &cipherLength, plain.data(), plain.size()), 1);

    CK_MECHANISM mechanism{padding == RSA_PKCS1_PADDING ? CKM_RSA_PKCS : CKM_RSA_X_509, nullptr, 0};
    ASSERT_EQ(p11->C_DecryptInit(session, &mechanism, pair.privateKey), CKR_OK);
    Bytes out(128);
    CK_ULONG length = out.size();
    ASSERT_EQ(p11->C_Decrypt(session, cipher.data(), cipherLength, out.data(), &length), CKR_OK);
    out.resize(length);
    EXPECT_EQ(out, plain);
  }
}

TEST_F(MechanismTest, DecryptionRefusesBlocksWithoutEncryptionPadding) {
  // A signature block (type 1) is a valid RSA value but no PKCS#1 encryption.
  CK_MECHANISM raw{CKM_RSA_X_509, nullptr, 0};
  ASSERT_EQ(p11->C_EncryptInit(session, &raw, pair.publicKey), CKR_OK);
  Bytes block(128, 0xFF);
  block[0] = 0x00;
  block[1] = 0x01;
  block[100] = 0x00;
  Bytes cipher(128);
  CK_ULONG cipherLength = cipher.size();
  ASSERT_EQ(p11->C_Encrypt(session, block.data(), block.size(), cipher.data(), &cipherLength), CKR_OK);
  CK_MECHANISM pkcs{CKM_RSA_PKCS, nullptr, 0};
  ASSERT_EQ(p11->C_DecryptInit(session, &pkcs, pair.privateKey), CKR_OK);
  Bytes out(128);
  CK_ULONG length = out.size();
  EXPECT_EQ(p11->C_Decrypt(session, cipher.data(), cipherLength, out.data(), &length), CKR_ENCRYPTED_DATA_INVALID);
  ASSERT_EQ(p11->C_DecryptInit(session, &pkcs, pair.privateKey), CKR_OK);
  EXPECT_EQ(p11->C_Decrypt(session, cipher.data(), 127, out.data(), &length), CKR_ENCRYPTED_DATA_LEN_RANGE);
}

TEST_F(MechanismTest, EncryptionWithTheModuleRoundTrips) {
  CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
  ASSERT_EQ(p11->C_EncryptInit(session, &mechanism, pair.publicKey), CKR_OK);
  Bytes plain = bytesOf("round trip");
  Bytes cipher(128);
  CK_ULONG cipherLength = cipher.size();
  ASSERT_EQ(p11->C_Encrypt(session, plain.data(), plain.size(), cipher.data(), &cipherLength), CKR_OK);
  ASSERT_EQ(p11->C_DecryptInit(session, &mechanism, pair.privateKey), CKR_OK);
  Bytes out(128);
  CK_ULONG length = out.size();
  ASSERT_EQ(p11->C_Decrypt(session, cipher.data(), cipherLength, out.data(), &length), CKR_OK);
  out.resize(length);
  EXPECT_EQ(out, plain);
}

TEST_F(MechanismTest, MechanismInfoListsOnlyWorkingMechanismsOfTheKeySize) {
  CK_ULONG count = 0;
  ASSERT_EQ(p11->C_GetMechanismList(kSlot, nullptr, &count), CKR_OK);
  std::vector<CK_MECHANISM_TYPE> list(count);
  ASSERT_EQ(p11->C_GetMechanismList(kSlot, list.data(), &count), CKR_OK);
  EXPECT_EQ(count, std::size(kSignCases) + 3 + 5);  // plus key generation, raw RSA, OAEP and five digests
  for (auto type : list) {
    CK_MECHANISM_INFO info{};
    ASSERT_EQ(p11->C_GetMechanismInfo(kSlot, type, &info), CKR_OK);
    const CK_ULONG keySize = (info.flags & CKF_DIGEST) != 0 ? 0 : 1024;
    EXPECT_EQ(info.ulMinKeySize, keySize);
    EXPECT_EQ(info.ulMaxKeySize, keySize);
  }
  CK_MECHANISM_INFO info{};
  EXPECT_EQ(p11->C_GetMechanismInfo(kSlot, CKM_SHA512_RSA_PKCS_PSS, &info), CKR_MECHANISM_INVALID);
}

TEST_F(MechanismTest, RandomBytesComeFromTheCard) {
  Bytes first(300), second(300);
  ASSERT_EQ(p11->C_GenerateRandom(session, first.data(), first.size()), CKR_OK);
  ASSERT_EQ(p11->C_GenerateRandom(session, second.data(), second.size()), CKR_OK);
  EXPECT_NE(first, second);
  EXPECT_NE(first, Bytes(300, 0));
  unsigned char seed[4] = {};
  EXPECT_EQ(p11->C_SeedRandom(session, seed, sizeof seed), CKR_RANDOM_SEED_NOT_SUPPORTED);
}

}  // namespace
}  // namespace p11test
