// Which half of a key pair each operation takes: the wrong half is refused
// as a function the key does not permit.
#include "key_pair_fixture.h"

namespace p11test {
namespace {

enum class Half { Public, Private };

struct KeyFunctionCase {
  const char* name;
  CK_C_SignInit CK_FUNCTION_LIST::*init;  // every *Init has the shape of C_SignInit
  Half half;
  CK_RV expected;
};

const KeyFunctionCase kCases[] = {
    {"SignWithPublicKey", &CK_FUNCTION_LIST::C_SignInit, Half::Public, CKR_KEY_FUNCTION_NOT_PERMITTED},
    {"DecryptWithPublicKey", &CK_FUNCTION_LIST::C_DecryptInit, Half::Public, CKR_KEY_FUNCTION_NOT_PERMITTED},
    {"EncryptWithPrivateKey", &CK_FUNCTION_LIST::C_EncryptInit, Half::Private, CKR_KEY_FUNCTION_NOT_PERMITTED},
    {"SignWithPrivateKey", &CK_FUNCTION_LIST::C_SignInit, Half::Private, CKR_OK},
    {"DecryptWithPrivateKey", &CK_FUNCTION_LIST::C_DecryptInit, Half::Private, CKR_OK},
    {"EncryptWithPublicKey", &CK_FUNCTION_LIST::C_EncryptInit, Half::Public, CKR_OK},
    {"VerifyWithPublicKey", &CK_FUNCTION_LIST::C_VerifyInit, Half::Public, CKR_OK},
    {"VerifyWithPrivateKey", &CK_FUNCTION_LIST::C_VerifyInit, Half::Private, CKR_KEY_FUNCTION_NOT_PERMITTED},
};

class KeyFunctionTest : public KeyPairTest, public ::testing::WithParamInterface<KeyFunctionCase> {};

TEST_P(KeyFunctionTest, EachOperationTakesItsHalfOfThePair) {
  const KeyFunctionCase& c = GetParam();
  CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
  const CK_OBJECT_HANDLE key = c.half == Half::Public ? pair.publicKey : pair.privateKey;
  EXPECT_EQ((p11->*c.init)(session, &mechanism, key), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Halves, KeyFunctionTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace p11test
