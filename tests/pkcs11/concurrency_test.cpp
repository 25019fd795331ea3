// The module under threads and forks: children of a parent whose other
// thread is inside a call, a child killed while it holds the card lock, and
// calls that race C_Initialize and C_Finalize. A hang is the failure these
// guard against; each child ends itself with alarm() after a generous bound
// (60 s, far beyond what its work takes on a loaded machine), which the
// parent sees as a signal.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <set>
#include <thread>

#include "module_fixture.h"

namespace p11test {
namespace {

constexpr unsigned kChildBoundSeconds = 60;

// The address sanitizer's allocator (GCC 12) is not made safe for fork: a
// child forked while another thread allocates may find its lock taken for
// ever. The product's allocator (glibc's) is; the test runs in the normal
// build.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kForkSafeAllocator = false;
#else
constexpr bool kForkSafeAllocator = true;
#endif

CK_RV signOnce(CK_FUNCTION_LIST* p11, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key) {
  CK_MECHANISM mechanism{CKM_SHA256_RSA_PKCS, nullptr, 0};
  CK_RV rv = p11->C_SignInit(session, &mechanism, key);
  if (rv != CKR_OK) return rv;
  unsigned char data[] = "data", signature[128];
  CK_ULONG length = sizeof signature;
  return p11->C_Sign(session, data, sizeof data, signature, &length);
}

// A fresh start in a child: logs in, finds the private key and signs.
int childSigns(CK_FUNCTION_LIST* p11, int signatures) {
  CK_ULONG count = 0;
  int failures = p11->C_GetSlotList(CK_FALSE, nullptr, &count) == CKR_CRYPTOKI_NOT_INITIALIZED ? 0 : 1;
  failures += p11->C_Initialize(nullptr) == CKR_OK ? 0 : 2;
  CK_SESSION_HANDLE own = CK_INVALID_HANDLE;
  failures += p11->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &own) == CKR_OK ? 0 : 4;
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
  for (int i = 0; i < signatures; ++i) failures += signOnce(p11, own, key) == CKR_OK ? 0 : 32;
  return failures;
}

class BusyParentTest : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    initToken();
    session = openSession();
    loginUser(session);
    key = generateKeyPair(session, "b", "busy").privateKey;
  }

  // Signs in another thread until stopped; counts its failures.
  void startSigning() {
    signer = std::thread([this] {
      while (!stop.load()) failures += signOnce(p11, session, key) == CKR_OK ? 0 : 1;
    });
  }
  void stopSigning() {
    stop.store(true);
    signer.join();
  }

  CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
  CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
  std::thread signer;
  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};
};

TEST_F(BusyParentTest, ChildrenForkedWhileAnotherThreadSignsStartAfresh) {
  if (!kForkSafeAllocator) GTEST_SKIP() << "the sanitizer's allocator is not fork-safe beside a busy thread";
  startSigning();
  constexpr int kChildren = 10;
  std::vector<int> statuses;
  for (int round = 0; round < kChildren; ++round) {
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
      alarm(kChildBoundSeconds);
      _exit(childSigns(p11, 2));
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    statuses.push_back(status);
  }
  stopSigning();
  for (int status : statuses) {
    EXPECT_TRUE(WIFEXITED(status)) << "child ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    if (WIFEXITED(status)) {
      EXPECT_EQ(WEXITSTATUS(status), 0);
    }
  }
  EXPECT_EQ(failures.load(), 0);
}

TEST_F(BusyParentTest, AChildKilledWhileItHoldsTheCardLockLeavesTheParentWorking) {
  setenv("P11TEST_CHILD_TRACE", folder_.file("child-trace").c_str(), 1);
  for (int round = 0; round < 4; ++round) {
    std::remove(folder_.file("child-trace").c_str());
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
      alarm(kChildBoundSeconds);
      // The child's own trace tells the parent when it is inside the card
      // bracket: a long random request holds the lock for many commands.
      setenv("PELU7_APDU_TRACE", getenv("P11TEST_CHILD_TRACE"), 1);
      if (p11->C_Initialize(nullptr) != CKR_OK) _exit(1);
      CK_SESSION_HANDLE own = CK_INVALID_HANDLE;
      if (p11->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &own) != CKR_OK) _exit(2);
      std::vector<unsigned char> random(1 << 20);
      p11->C_GenerateRandom(own, random.data(), random.size());
      _exit(3);
    }
    // Wait until the child has sent a GET CHALLENGE: it holds the lock.
    bool inside = false;
    while (!inside) {
      std::ifstream trace(folder_.file("child-trace"));
      for (std::string line; !inside && std::getline(trace, line);) inside = line.rfind("> 0084", 0) == 0;
      int status = 0;
      ASSERT_EQ(waitpid(child, &status, WNOHANG), 0) << "the child ended early";
      if (!inside) std::this_thread::yield();
    }
    ASSERT_EQ(kill(child, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(signOnce(p11, session, key), CKR_OK) << "round " << round;
  }
}

class LifecycleRaceTest : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    initToken();
  }
};

// Calls made while another thread initialises and finalises the module get
// CKR_CRYPTOKI_NOT_INITIALIZED or a whole answer, never a half-built one.
TEST_F(LifecycleRaceTest, CallsDuringInitializeAndFinalizeSeeAWholeModuleOrNone) {
  std::atomic<bool> stop{false};
  std::atomic<int> halfBuilt{0}, unexpected{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < 3; ++t) {
    callers.emplace_back([&] {
      while (!stop.load()) {
        CK_SLOT_ID slots[4];
        CK_ULONG count = 4;
        const CK_RV listed = p11->C_GetSlotList(CK_FALSE, slots, &count);
        if (listed == CKR_OK && count != 1) ++halfBuilt;
        if (listed != CKR_OK && listed != CKR_CRYPTOKI_NOT_INITIALIZED) ++unexpected;
        CK_SESSION_HANDLE own = CK_INVALID_HANDLE;
        const CK_RV opened = p11->C_OpenSession(kSlot, CKF_SERIAL_SESSION, nullptr, nullptr, &own);
        if (opened != CKR_OK && opened != CKR_CRYPTOKI_NOT_INITIALIZED) ++unexpected;
        if (opened == CKR_OK) {
          const CK_RV closed = p11->C_CloseSession(own);
          const std::set<CK_RV> fine{CKR_OK, CKR_CRYPTOKI_NOT_INITIALIZED, CKR_SESSION_HANDLE_INVALID};
          if (fine.count(closed) == 0) ++unexpected;
        }
      }
    });
  }
  for (int round = 0; round < 30; ++round) {
    EXPECT_EQ(p11->C_Finalize(nullptr), CKR_OK);
    EXPECT_EQ(p11->C_Initialize(nullptr), CKR_OK);
  }
  stop.store(true);
  for (auto& caller : callers) caller.join();
  EXPECT_EQ(halfBuilt.load(), 0);
  EXPECT_EQ(unexpected.load(), 0);
}

}  // namespace
}  // namespace p11test
