// Message digests through the module, checked against OpenSSL, and the
// operation rules they share with the other operations.
#include <openssl/evp.h>

#include "module_fixture.h"

namespace p11test {
namespace {

struct DigestCase {
  const char* name;
  CK_MECHANISM_TYPE mechanism;
  const EVP_MD* (*md)();
};

const DigestCase kDigests[] = {
    {"Sha1", CKM_SHA_1, EVP_sha1},       {"Sha224", CKM_SHA224, EVP_sha224}, {"Sha256", CKM_SHA256, EVP_sha256},
    {"Sha384", CKM_SHA384, EVP_sha384}, {"Sha512", CKM_SHA512, EVP_sha512},
};

Bytes opensslDigest(const EVP_MD* md, const Bytes& data) {
  Bytes out(EVP_MD_get_size(md));
  unsigned int length = 0;
  EVP_Digest(data.data(), data.size(), out.data(), &length, md, nullptr);
  return out;
}

// Digests need no login and no formatted token.
class DigestTest : public ModuleTest {
 protected:
  DigestTest() : ModuleTest(true) {}
  void SetUp() override {
    ModuleTest::SetUp();
    initToken();
    session = openSession(false);
  }
  CK_RV init(CK_MECHANISM_TYPE type) {
    CK_MECHANISM mechanism{type, nullptr, 0};
    return p11->C_DigestInit(session, &mechanism);
  }
  CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
};

class DigestAlgorithmTest : public DigestTest, public ::testing::WithParamInterface<DigestCase> {};

TEST_P(DigestAlgorithmTest, OneShotAndMultiPartMatchOpenSsl) {
  const DigestCase& c = GetParam();
  Bytes message = bytesOf("a message digested in parts, and at once");
  const Bytes expected = opensslDigest(c.md(), message);

  ASSERT_EQ(init(c.mechanism), CKR_OK);
  CK_ULONG length = 0;
  ASSERT_EQ(p11->C_Digest(session, message.data(), message.size(), nullptr, &length), CKR_OK);
  ASSERT_EQ(length, expected.size());
  Bytes once(length);
  ASSERT_EQ(p11->C_Digest(session, message.data(), message.size(), once.data(), &length), CKR_OK);
  EXPECT_EQ(once, expected);

  ASSERT_EQ(init(c.mechanism), CKR_OK);
  ASSERT_EQ(p11->C_DigestUpdate(session, message.data(), 10), CKR_OK);
  ASSERT_EQ(p11->C_DigestUpdate(session, message.data() + 10, message.size() - 10), CKR_OK);
  Bytes parts(expected.size());
  length = parts.size();
  ASSERT_EQ(p11->C_DigestFinal(session, parts.data(), &length), CKR_OK);
  EXPECT_EQ(parts, expected);

  CK_MECHANISM_INFO info{};
  ASSERT_EQ(p11->C_GetMechanismInfo(kSlot, c.mechanism, &info), CKR_OK);
  EXPECT_EQ(info.flags, static_cast<CK_FLAGS>(CKF_DIGEST));
  EXPECT_EQ(info.ulMaxKeySize, 0u);
}

INSTANTIATE_TEST_SUITE_P(Digests, DigestAlgorithmTest, ::testing::ValuesIn(kDigests),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DigestTest, OperationStateFollowsTheRulesOfTheOtherOperations) {
  Bytes data = bytesOf("data");
  Bytes out(64);
  CK_ULONG length = out.size();
  EXPECT_EQ(p11->C_Digest(session, data.data(), data.size(), out.data(), &length), CKR_OPERATION_NOT_INITIALIZED);
  EXPECT_EQ(p11->C_DigestUpdate(session, data.data(), data.size()), CKR_OPERATION_NOT_INITIALIZED);
  EXPECT_EQ(init(CKM_SHA256_RSA_PKCS), CKR_MECHANISM_INVALID);
  CK_MECHANISM withParameter{CKM_SHA256, data.data(), static_cast<CK_ULONG>(data.size())};
  EXPECT_EQ(p11->C_DigestInit(session, &withParameter), CKR_MECHANISM_PARAM_INVALID);

  ASSERT_EQ(init(CKM_SHA256), CKR_OK);
  EXPECT_EQ(init(CKM_SHA_1), CKR_OPERATION_ACTIVE);
  // A too-small buffer keeps the operation for the real call.
  length = 31;
  EXPECT_EQ(p11->C_Digest(session, data.data(), data.size(), out.data(), &length), CKR_BUFFER_TOO_SMALL);
  EXPECT_EQ(length, 32u);
  ASSERT_EQ(p11->C_Digest(session, data.data(), data.size(), out.data(), &length), CKR_OK);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 32), opensslDigest(EVP_sha256(), data));
  EXPECT_EQ(p11->C_DigestFinal(session, out.data(), &length), CKR_OPERATION_NOT_INITIALIZED);

  // A one-shot call after parts is refused and ends the operation.
  ASSERT_EQ(init(CKM_SHA256), CKR_OK);
  ASSERT_EQ(p11->C_DigestUpdate(session, data.data(), data.size()), CKR_OK);
  EXPECT_EQ(p11->C_Digest(session, data.data(), data.size(), out.data(), &length), CKR_OPERATION_ACTIVE);
  EXPECT_EQ(p11->C_DigestFinal(session, out.data(), &length), CKR_OPERATION_NOT_INITIALIZED);
}

TEST_F(DigestTest, KeysOfThisTokenAreIndigestible) {
  CK_SESSION_HANDLE writer = openSession();
  loginUser(writer);
  const KeyPair pair = generateKeyPair(writer);
  ASSERT_EQ(init(CKM_SHA256), CKR_OK);
  EXPECT_EQ(p11->C_DigestKey(session, pair.publicKey), CKR_KEY_INDIGESTIBLE);
  ASSERT_EQ(init(CKM_SHA256), CKR_OK);  // the refusal ended the operation
  EXPECT_EQ(p11->C_DigestKey(session, 0x7FFF), CKR_OBJECT_HANDLE_INVALID);
}

}  // namespace
}  // namespace p11test
