// The PINs a program hands the DAL, and the values derived from them, leave no
// copy in the program's writable memory once the call is over: neither in the
// DAL, nor in the reader driver, nor in the virtual token that runs inside the
// process with a file-backed reader.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "support/dal_fixture.h"
#include "support/memory_scan.h"

namespace {

using testutil::MaskedSecret;

constexpr std::size_t kPinLength = 8;

// Two random PINs for each role: the one set at format and the one a case
// changes it to. Random, so that no other copy can be in memory by chance.
struct Pins {
  MaskedSecret super = MaskedSecret::randomPin(kPinLength);
  MaskedSecret user = MaskedSecret::randomPin(kPinLength);
  MaskedSecret newUser = MaskedSecret::randomPin(kPinLength);
};

// Calls a DAL function with two PINs revealed on the stack for the call only.
int withPins(const MaskedSecret& first, const MaskedSecret& second,
             const std::function<int(const unsigned char*, const unsigned char*)>& call) {
  unsigned char a[kPinLength];
  unsigned char b[kPinLength];
  first.reveal(a);
  second.reveal(b);
  const int rc = call(a, b);
  OPENSSL_cleanse(a, sizeof a);
  OPENSSL_cleanse(b, sizeof b);
  return rc;
}

int format(const Pins& pins) {
  return withPins(pins.super, pins.user, [](const unsigned char* s, const unsigned char* u) {
    return VORN_DAL_FormatDevice(s, kPinLength, u, kPinLength);
  });
}

int login(int role, const MaskedSecret& pin) {
  return withPins(pin, pin, [role](const unsigned char* p, const unsigned char*) {
    return VORN_DAL_Login(role, p, kPinLength);
  });
}

struct ResidueCase {
  const char* name;
  // What the program does after the format, ending logged out.
  std::function<int(const Pins&)> run;
};

const ResidueCase kResidueCases[] = {
    {"UserLoginAndLogout",
     [](const Pins& pins) {
       if (int rc = login(VORN_DAL_USER, pins.user); rc != 0) return rc;
       return VORN_DAL_Logout(VORN_DAL_USER);
     }},
    {"SuperUserLoginAndLogout",
     [](const Pins& pins) {
       if (int rc = login(VORN_DAL_SUPER_USER, pins.super); rc != 0) return rc;
       return VORN_DAL_Logout(VORN_DAL_SUPER_USER);
     }},
    {"PinChange",
     [](const Pins& pins) {
       if (int rc = withPins(pins.user, pins.newUser,
                             [](const unsigned char* o, const unsigned char* n) {
                               return VORN_DAL_ChangePin(VORN_DAL_USER, o, kPinLength, n, kPinLength);
                             });
           rc != 0) {
         return rc;
       }
       if (int rc = login(VORN_DAL_USER, pins.newUser); rc != 0) return rc;
       return VORN_DAL_Logout(VORN_DAL_USER);
     }},
    {"PinUnblock",
     [](const Pins& pins) {
       if (int rc = withPins(pins.super, pins.newUser,
                             [](const unsigned char* s, const unsigned char* n) {
                               return VORN_DAL_UnlockPin(s, kPinLength, n, kPinLength);
                             });
           rc != 0) {
         return rc;
       }
       return VORN_DAL_Logout(VORN_DAL_SUPER_USER);
     }},
};

class SecretResidue : public testsupport::DalTest, public ::testing::WithParamInterface<ResidueCase> {
 protected:
  void SetUp() override {
    DalTest::SetUp();
    const std::string readers = "USB1=vtoken:" + dir_.file("token.vtoken");
    setenv("PELU7_READERS", readers.c_str(), 1);
  }
};

TEST_P(SecretResidue, NoPinNorDerivedValueLeftInWritableMemory) {
  const Pins pins;
  ASSERT_EQ(0, format(pins));
  ASSERT_EQ(0, GetParam().run(pins));

  const std::vector<std::pair<const char*, const MaskedSecret*>> secrets = {
      {"super PIN", &pins.super}, {"user PIN", &pins.user}, {"new user PIN", &pins.newUser}};
  for (const auto& [name, pin] : secrets) {
    EXPECT_EQ(testutil::findInWritableMemory(*pin), std::vector<std::string>{}) << name;
    EXPECT_EQ(testutil::findInWritableMemory(pin->derivedPin()), std::vector<std::string>{})
        << name << ", derived value";
  }
}

// The scan itself finds a copy left on the heap, on the stack and in .bss.
unsigned char leftInBss[kPinLength];

TEST(SecretScan, FindsCopiesWhereverTheyAre) {
  const MaskedSecret pin = MaskedSecret::randomPin(kPinLength);
  std::vector<unsigned char> onHeap(kPinLength);
  unsigned char onStack[kPinLength];
  pin.reveal(onHeap.data());
  pin.reveal(onStack);
  pin.reveal(leftInBss);
  EXPECT_EQ(testutil::findInWritableMemory(pin).size(), 3u);
  OPENSSL_cleanse(onHeap.data(), onHeap.size());
  OPENSSL_cleanse(onStack, sizeof onStack);
  OPENSSL_cleanse(leftInBss, sizeof leftInBss);
  EXPECT_EQ(testutil::findInWritableMemory(pin).size(), 0u);
}

INSTANTIATE_TEST_SUITE_P(AfterLogout, SecretResidue, ::testing::ValuesIn(kResidueCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
