// After C_Logout, neither the user PIN nor the value the card compares (its
// derived form) is left anywhere in the application's writable memory: not
// in the module, the DAL, the reader driver, nor the virtual token that runs
// inside the process with a file-backed reader.
#include <openssl/crypto.h>

#include <functional>

#include "module_fixture.h"
#include "support/memory_scan.h"

namespace p11test {
namespace {

using testutil::MaskedSecret;

constexpr std::size_t kPinLength = 8;

class SecretResidue;

struct ResidueCase {
  const char* name;
  // What the application does while logged in.
  std::function<void(SecretResidue&, CK_SESSION_HANDLE)> use;
};

void PrintTo(const ResidueCase& c, std::ostream* out) { *out << c.name; }

class SecretResidue : public ModuleTest, public ::testing::WithParamInterface<ResidueCase> {
 public:
  KeyPair pair(CK_SESSION_HANDLE session) { return generateKeyPair(session, "k1", "residue"); }

 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    if (HasFatalFailure()) return;
    initToken();
    // The user PIN becomes a random one, known to this test only masked.
    CK_SESSION_HANDLE session = openSession();
    loginUser(session);
    Bytes old = bytesOf(kUserPin);
    ASSERT_EQ(withPin([&](CK_UTF8CHAR_PTR pin) {
                return p11->C_SetPIN(session, old.data(), old.size(), pin, kPinLength);
              }),
              CKR_OK);
    ASSERT_EQ(p11->C_Logout(session), CKR_OK);
    ASSERT_EQ(p11->C_CloseSession(session), CKR_OK);
  }

  // Calls with the PIN revealed on the stack for the call only.
  CK_RV withPin(const std::function<CK_RV(CK_UTF8CHAR_PTR)>& call) const {
    CK_UTF8CHAR pin[kPinLength];
    pin_.reveal(pin);
    const CK_RV rv = call(pin);
    OPENSSL_cleanse(pin, sizeof pin);
    return rv;
  }

  CK_RV login(CK_SESSION_HANDLE session) const {
    return withPin([&](CK_UTF8CHAR_PTR pin) { return p11->C_Login(session, CKU_USER, pin, kPinLength); });
  }

  void expectNoCopies() const {
    EXPECT_EQ(testutil::findInWritableMemory(pin_), std::vector<std::string>{}) << "the PIN";
    EXPECT_EQ(testutil::findInWritableMemory(pin_.derivedPin()), std::vector<std::string>{}) << "its derived value";
  }

  MaskedSecret pin_ = MaskedSecret::randomPin(kPinLength);
};

const ResidueCase kResidueCases[] = {
    {"LoginOnly", [](SecretResidue&, CK_SESSION_HANDLE) {}},
    {"SignWithACardKey",
     [](SecretResidue& test, CK_SESSION_HANDLE session) {
       const KeyPair keys = test.pair(session);
       CK_MECHANISM mechanism{CKM_SHA256_RSA_PKCS, nullptr, 0};
       ASSERT_EQ(module()->C_SignInit(session, &mechanism, keys.privateKey), CKR_OK);
       unsigned char data[] = "data", signature[128];
       CK_ULONG length = sizeof signature;
       EXPECT_EQ(module()->C_Sign(session, data, sizeof data, signature, &length), CKR_OK);
     }},
};

TEST_P(SecretResidue, NoPinNorDerivedValueLeftAfterLogout) {
  CK_SESSION_HANDLE session = openSession();
  ASSERT_EQ(login(session), CKR_OK);
  GetParam().use(*this, session);
  ASSERT_EQ(p11->C_Logout(session), CKR_OK);
  expectNoCopies();
  ASSERT_EQ(p11->C_CloseSession(session), CKR_OK);
}

INSTANTIATE_TEST_SUITE_P(Uses, SecretResidue, ::testing::ValuesIn(kResidueCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace p11test
