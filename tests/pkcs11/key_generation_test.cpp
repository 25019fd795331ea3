// Key generation and import: refused requests send no card command, so the
// card's key counter stays healthy, and made keys carry their names.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <fstream>
#include <memory>

#include "module_fixture.h"

namespace p11test {
namespace {

class KeyGenerationTest : public TracedModuleTest {};

struct RefusedCase {
  const char* name;
  CK_ULONG bits;
  std::vector<unsigned char> exponent;
  CK_BBOOL privateOnToken;
  bool login;
  bool readWrite;
  CK_RV expected;
};

const RefusedCase kRefused[] = {
    {"Size2048", 2048, {1, 0, 1}, CK_TRUE, true, true, CKR_KEY_SIZE_RANGE},
    {"Exponent3", 1024, {3}, CK_TRUE, true, true, CKR_ATTRIBUTE_VALUE_INVALID},
    {"SessionPrivateKey", 1024, {1, 0, 1}, CK_FALSE, true, true, CKR_TEMPLATE_INCONSISTENT},
    {"NoLogin", 1024, {1, 0, 1}, CK_TRUE, false, true, CKR_USER_NOT_LOGGED_IN},
    {"ReadOnlySession", 1024, {1, 0, 1}, CK_TRUE, true, false, CKR_SESSION_READ_ONLY},
};

class RefusedGenerationTest : public KeyGenerationTest, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(RefusedGenerationTest, SendsNoCardCommandAndLeavesGenerationWorking) {
  const RefusedCase& c = GetParam();
  CK_SESSION_HANDLE session = openSession(c.readWrite);
  if (c.login) loginUser(session);
  CK_MECHANISM mechanism{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
  CK_BBOOL onToken = CK_TRUE;
  std::vector<CK_ATTRIBUTE> publicTemplate{attr(CKA_MODULUS_BITS, c.bits), attr(CKA_TOKEN, onToken),
                                           attr(CKA_PUBLIC_EXPONENT, c.exponent.data(), c.exponent.size())};
  std::vector<CK_ATTRIBUTE> privateTemplate{attr(CKA_TOKEN, c.privateOnToken)};
  CK_OBJECT_HANDLE pub = CK_INVALID_HANDLE, priv = CK_INVALID_HANDLE;
  const std::size_t before = commandsSent();
  ASSERT_GT(before, 0u);  // the trace sees the commands
  EXPECT_EQ(p11->C_GenerateKeyPair(session, &mechanism, publicTemplate.data(), publicTemplate.size(),
                                   privateTemplate.data(), privateTemplate.size(), &pub, &priv),
            c.expected);
  EXPECT_EQ(commandsSent(), before);

  CK_SESSION_HANDLE good = openSession();
  if (!c.login) loginUser(good);
  const KeyPair pair = generateKeyPair(good);
  EXPECT_NE(pair.privateKey, CK_INVALID_HANDLE);
}

INSTANTIATE_TEST_SUITE_P(Refusals, RefusedGenerationTest, ::testing::ValuesIn(kRefused),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(KeyGenerationTest, ALostCardLoginStopsGenerationBeforeTheKeyCommands) {
  CK_SESSION_HANDLE session = openSession();
  loginUser(session);
  // Another program changes the PIN and logs the card out: this
  // application's PIN no longer logs it in again.
  setenv("P11TEST_PIN", kUserPin, 1);
  setenv("P11TEST_NEW_PIN", "55667788", 1);
  ASSERT_EQ(runTool(tokenPath(), "change-pin user --pin-env P11TEST_PIN --new-pin-env P11TEST_NEW_PIN"), 0);
  ASSERT_EQ(runTool(tokenPath(), "logout"), 0);
  CK_MECHANISM mechanism{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
  CK_ULONG bits = 1024;
  CK_BBOOL onToken = CK_TRUE;
  CK_ATTRIBUTE publicTemplate[] = {attr(CKA_MODULUS_BITS, bits), attr(CKA_TOKEN, onToken)};
  CK_ATTRIBUTE privateTemplate = attr(CKA_TOKEN, onToken);
  CK_OBJECT_HANDLE pub = CK_INVALID_HANDLE, priv = CK_INVALID_HANDLE;
  EXPECT_EQ(p11->C_GenerateKeyPair(session, &mechanism, publicTemplate, 2, &privateTemplate, 1, &pub, &priv),
            CKR_USER_NOT_LOGGED_IN);
  std::ifstream trace(folder_.file("trace"));
  for (std::string line; std::getline(trace, line);) {
    EXPECT_NE(line.rfind("> 80CE", 0), 0u) << "a key was generated";
  }
  // The card's key counter is unharmed.
  Bytes pin = bytesOf("55667788");
  ASSERT_EQ(p11->C_Login(session, CKU_USER, pin.data(), pin.size()), CKR_OK);
  EXPECT_NE(generateKeyPair(session).privateKey, CK_INVALID_HANDLE);
}

TEST_F(KeyGenerationTest, AnotherProgramsLogoutDoesNotStopGeneration) {
  CK_SESSION_HANDLE session = openSession();
  loginUser(session);
  ASSERT_EQ(runTool(tokenPath(), "logout"), 0);
  const KeyPair first = generateKeyPair(session);
  ASSERT_EQ(runTool(tokenPath(), "logout"), 0);
  const KeyPair second = generateKeyPair(session);
  EXPECT_NE(first.privateKey, CK_INVALID_HANDLE);
  EXPECT_NE(second.privateKey, CK_INVALID_HANDLE);
  EXPECT_NE(first.privateKey, second.privateKey);
}

TEST_F(KeyGenerationTest, GeneratedPairsCarryTheirIdAndLabelAcrossRestarts) {
  CK_SESSION_HANDLE session = openSession();
  loginUser(session);
  const KeyPair named = generateKeyPair(session, "\x01\x02", "signing key");
  const KeyPair unnamed = generateKeyPair(session);
  EXPECT_EQ(attribute(session, named.publicKey, CKA_ID), bytesOf("\x01\x02"));
  EXPECT_EQ(attribute(session, named.privateKey, CKA_LABEL), bytesOf("signing key"));
  const Bytes modulus = attribute(session, unnamed.publicKey, CKA_MODULUS);
  Bytes expectedId(20);
  unsigned int length = 0;
  EVP_Digest(modulus.data(), modulus.size(), expectedId.data(), &length, EVP_sha1(), nullptr);
  EXPECT_EQ(attribute(session, unnamed.privateKey, CKA_ID), expectedId);

  restartModule();
  session = openSession();
  std::string id = "\x01\x02";
  const auto found = find(session, {attr(CKA_ID, id.data(), id.size())});
  ASSERT_EQ(found.size(), 1u);  // the public key; the private one needs the login
  EXPECT_EQ(attribute(session, found[0], CKA_LABEL), bytesOf("signing key"));
  EXPECT_EQ(attribute(session, found[0], CKA_LOCAL), Bytes{CK_TRUE});
}

TEST_F(KeyGenerationTest, PairsMadeByOtherProgramsAppear) {
  setenv("P11TEST_PIN", kUserPin, 1);
  ASSERT_EQ(runTool(tokenPath(), "login user --pin-env P11TEST_PIN"), 0);
  ASSERT_EQ(runTool(tokenPath(), "key generate"), 0);
  CK_SESSION_HANDLE session = openSession();
  const auto keys = findClass(session, CKO_PUBLIC_KEY);
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_EQ(attribute(session, keys[0], CKA_MODULUS).size(), 128u);
  EXPECT_EQ(attribute(session, keys[0], CKA_LOCAL), Bytes{CK_FALSE});
}

TEST_F(KeyGenerationTest, ImportedKeysSignLikeTheirSoftwareOriginal) {
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> original(EVP_RSA_gen(1024), EVP_PKEY_free);
  ASSERT_NE(original, nullptr);
  auto part = [&](const char* name, std::size_t size) {
    BIGNUM* value = nullptr;
    EVP_PKEY_get_bn_param(original.get(), name, &value);
    Bytes out(size);
    BN_bn2binpad(value, out.data(), static_cast<int>(size));
    BN_clear_free(value);
    return out;
  };
  Bytes n = part(OSSL_PKEY_PARAM_RSA_N, 128), e = part(OSSL_PKEY_PARAM_RSA_E, 3);
  Bytes p = part(OSSL_PKEY_PARAM_RSA_FACTOR1, 64), q = part(OSSL_PKEY_PARAM_RSA_FACTOR2, 64);
  Bytes dP = part(OSSL_PKEY_PARAM_RSA_EXPONENT1, 64), dQ = part(OSSL_PKEY_PARAM_RSA_EXPONENT2, 64);
  Bytes qInv = part(OSSL_PKEY_PARAM_RSA_COEFFICIENT1, 64);
  CK_OBJECT_CLASS objectClass = CKO_PRIVATE_KEY;
  CK_KEY_TYPE keyType = CKK_RSA;
  CK_BBOOL yes = CK_TRUE;
  std::string label = "imported";
  std::vector<CK_ATTRIBUTE> pattern{
      attr(CKA_CLASS, objectClass), attr(CKA_KEY_TYPE, keyType), attr(CKA_TOKEN, yes),
      attr(CKA_LABEL, label.data(), label.size()), attr(CKA_MODULUS, n.data(), n.size()),
      attr(CKA_PUBLIC_EXPONENT, e.data(), e.size()), attr(CKA_PRIME_1, p.data(), p.size()),
      attr(CKA_PRIME_2, q.data(), q.size()), attr(CKA_EXPONENT_1, dP.data(), dP.size()),
      attr(CKA_EXPONENT_2, dQ.data(), dQ.size()), attr(CKA_COEFFICIENT, qInv.data(), qInv.size())};
  CK_SESSION_HANDLE session = openSession();
  CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
  const std::size_t before = commandsSent();
  EXPECT_EQ(p11->C_CreateObject(session, pattern.data(), pattern.size(), &key), CKR_USER_NOT_LOGGED_IN);
  EXPECT_EQ(commandsSent(), before);
  loginUser(session);
  ASSERT_EQ(p11->C_CreateObject(session, pattern.data(), pattern.size(), &key), CKR_OK);
  EXPECT_EQ(attribute(session, key, CKA_MODULUS), n);
  EXPECT_EQ(attribute(session, key, CKA_LABEL), bytesOf("imported"));

  CK_MECHANISM mechanism{CKM_SHA256_RSA_PKCS, nullptr, 0};
  ASSERT_EQ(p11->C_SignInit(session, &mechanism, key), CKR_OK);
  unsigned char data[] = "imported", signature[128];
  CK_ULONG length = sizeof signature;
  ASSERT_EQ(p11->C_Sign(session, data, sizeof data, signature, &length), CKR_OK);
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> verify(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  ASSERT_EQ(EVP_DigestVerifyInit(verify.get(), nullptr, EVP_sha256(), nullptr, original.get()), 1);
  EXPECT_EQ(EVP_DigestVerify(verify.get(), signature, length, data, sizeof data), 1);
}

TEST_F(KeyGenerationTest, KeyPairsCannotBeDestroyed) {
  CK_SESSION_HANDLE session = openSession();
  loginUser(session);
  const KeyPair pair = generateKeyPair(session);
  EXPECT_EQ(p11->C_DestroyObject(session, pair.privateKey), CKR_ACTION_PROHIBITED);
  EXPECT_EQ(p11->C_DestroyObject(session, pair.publicKey), CKR_ACTION_PROHIBITED);
  EXPECT_EQ(attribute(session, pair.privateKey, CKA_DESTROYABLE), Bytes{CK_FALSE});
  CK_ATTRIBUTE secret{CKA_PRIVATE_EXPONENT, nullptr, 0};
  EXPECT_EQ(p11->C_GetAttributeValue(session, pair.privateKey, &secret, 1), CKR_ATTRIBUTE_SENSITIVE);
  EXPECT_EQ(secret.ulValueLen, CK_UNAVAILABLE_INFORMATION);
}

}  // namespace
}  // namespace p11test
