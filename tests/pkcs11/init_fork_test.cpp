// C_Initialize's arguments, calls before it, and a child of fork that must
// initialise again while its parent keeps signing.
#include <sys/wait.h>
#include <unistd.h>

#include "module_fixture.h"

namespace p11test {
namespace {

class InitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    p11 = module();
    setenv("PELU7_READERS", "USB1=vtoken:", 1);
    setenv("PELU7_PKCS11_PORTS", "1", 1);
  }
  void TearDown() override { p11->C_Finalize(nullptr); }
  CK_FUNCTION_LIST* p11 = nullptr;
};

int lockCalls = 0;
CK_RV countingCreate(void** mutex) {
  static int cell;
  *mutex = &cell;
  return CKR_OK;
}
CK_RV countingDestroy(void*) { return CKR_OK; }
CK_RV countingLock(void*) {
  ++lockCalls;
  return CKR_OK;
}
CK_RV countingUnlock(void*) { return CKR_OK; }

TEST_F(InitTest, ArgumentsAreChecked) {
  int reserved = 0;
  struct Case {
    CK_C_INITIALIZE_ARGS args;
    CK_RV expected;
  };
  const Case cases[] = {
      {{nullptr, nullptr, nullptr, nullptr, 0, &reserved}, CKR_ARGUMENTS_BAD},
      {{countingCreate, nullptr, nullptr, nullptr, 0, nullptr}, CKR_ARGUMENTS_BAD},
      {{nullptr, nullptr, nullptr, nullptr, CKF_OS_LOCKING_OK, nullptr}, CKR_OK},
  };
  for (const auto& c : cases) {
    CK_C_INITIALIZE_ARGS args = c.args;
    EXPECT_EQ(p11->C_Initialize(&args), c.expected);
    p11->C_Finalize(nullptr);
  }
}

TEST_F(InitTest, ApplicationLockingIsUsedWhenTheOperatingSystemsIsNotAllowed) {
  CK_C_INITIALIZE_ARGS args{countingCreate, countingDestroy, countingLock, countingUnlock, 0, nullptr};
  lockCalls = 0;
  ASSERT_EQ(p11->C_Initialize(&args), CKR_OK);
  CK_INFO info;
  ASSERT_EQ(p11->C_GetInfo(&info), CKR_OK);
  EXPECT_GT(lockCalls, 0);
}

TEST_F(InitTest, CallsOutsideInitializationAreRefused) {
  CK_ULONG count = 0;
  EXPECT_EQ(p11->C_GetSlotList(CK_FALSE, nullptr, &count), CKR_CRYPTOKI_NOT_INITIALIZED);
  EXPECT_EQ(p11->C_Finalize(nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);
  ASSERT_EQ(p11->C_Initialize(nullptr), CKR_OK);
  EXPECT_EQ(p11->C_Initialize(nullptr), CKR_CRYPTOKI_ALREADY_INITIALIZED);
  int reserved = 0;
  EXPECT_EQ(p11->C_Finalize(&reserved), CKR_ARGUMENTS_BAD);
  EXPECT_EQ(p11->C_GetSlotList(CK_FALSE, nullptr, &count), CKR_OK);
  EXPECT_EQ(count, 1u);
}

class ForkTest : public ModuleTest {};

// Signs once with the key pair of the given id; the result code.
CK_RV signOnce(CK_FUNCTION_LIST* p11, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key) {
  CK_MECHANISM mechanism{CKM_SHA256_RSA_PKCS, nullptr, 0};
  CK_RV rv = p11->C_SignInit(session, &mechanism, key);
  if (rv != CKR_OK) return rv;
  unsigned char data[] = "data", signature[128];
  CK_ULONG length = sizeof signature;
  return p11->C_Sign(session, data, sizeof data, signature, &length);
}

TEST_F(ForkTest, ChildInitialisesAgainWhileTheParentKeepsSigning) {
  initToken();
  CK_SESSION_HANDLE session = openSession();
  loginUser(session);
  const KeyPair pair = generateKeyPair(session, "f", "fork");

  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    // The parent's state is not the child's: nothing works before C_Initialize.
    CK_ULONG count = 0;
    int failures = p11->C_GetSlotList(CK_FALSE, nullptr, &count) == CKR_CRYPTOKI_NOT_INITIALIZED ? 0 : 1;
    failures += p11->C_Initialize(nullptr) == CKR_OK ? 0 : 2;
    CK_SESSION_HANDLE own = CK_INVALID_HANDLE;
    failures += p11->C_OpenSession(kSlot, CKF_SERIAL_SESSION, nullptr, nullptr, &own) == CKR_OK ? 0 : 4;
    unsigned char pin[] = "12345678";
    failures += p11->C_Login(own, CKU_USER, pin, 8) == CKR_OK ? 0 : 8;
    CK_OBJECT_CLASS privateClass = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE pattern = attr(CKA_CLASS, privateClass);
    CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
    CK_ULONG found = 0;
    p11->C_FindObjectsInit(own, &pattern, 1);
    p11->C_FindObjects(own, &key, 1, &found);
    p11->C_FindObjectsFinal(own);
    failures += found == 1 ? 0 : 16;
    for (int i = 0; i < 5; ++i) failures += signOnce(p11, own, key) == CKR_OK ? 0 : 32;
    _exit(failures);
  }
  for (int i = 0; i < 5; ++i) EXPECT_EQ(signOnce(p11, session, pair.privateKey), CKR_OK);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace p11test
