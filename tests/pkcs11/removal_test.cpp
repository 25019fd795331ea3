// One program that stays loaded while its token is pulled out and put back
// (the virtual token pulled by another program, `pelu7 vtoken remove` and
// `insert`): what it sees while the token is out, the slot events, and that
// a new session, a login and a signature work once it is back, without
// C_Finalize.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <future>
#include <ostream>
#include <string>
#include <vector>

#include "module_fixture.h"

namespace p11test {
namespace {

using namespace std::chrono_literals;

CK_RV signWith(CK_FUNCTION_LIST* p11, CK_SESSION_HANDLE in, CK_OBJECT_HANDLE key) {
  CK_MECHANISM mechanism{CKM_SHA256_RSA_PKCS, nullptr, 0};
  if (CK_RV rv = p11->C_SignInit(in, &mechanism, key); rv != CKR_OK) return rv;
  unsigned char message[] = "message", signature[128];
  CK_ULONG length = sizeof signature;
  return p11->C_Sign(in, message, sizeof message, signature, &length);
}

class TokenRemoval : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    if (HasFatalFailure()) return;
    initToken("removal test");
    session_ = openSession();
    loginUser(session_);
    pair_ = generateKeyPair(session_, "k1", "removal key");
  }

  // The pelu7 tool pulling the token out or putting it back.
  void vtoken(const std::string& command) {
    const std::string line =
        std::string(PELU7_BUILD_DIR "/bin/pelu7 vtoken ") + command + " " + tokenPath() + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(line.c_str()), 0) << line;
  }

  bool slotPresent() {
    CK_SLOT_INFO info{};
    EXPECT_EQ(p11->C_GetSlotInfo(kSlot, &info), CKR_OK);
    return (info.flags & CKF_TOKEN_PRESENT) != 0;
  }

  CK_ULONG presentSlots() {
    CK_ULONG count = 99;
    EXPECT_EQ(p11->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
    return count;
  }

  CK_RV sign(CK_SESSION_HANDLE in, CK_OBJECT_HANDLE key) { return signWith(p11, in, key); }

  CK_RV waitForEvent(CK_FLAGS flags, CK_SLOT_ID* slot) { return p11->C_WaitForSlotEvent(flags, slot, nullptr); }

  CK_SESSION_HANDLE session_ = CK_INVALID_HANDLE;
  KeyPair pair_;
};

TEST_F(TokenRemoval, WhileOutTheSlotIsEmptyAndNoSessionOpens) {
  ASSERT_TRUE(slotPresent());
  vtoken("remove");
  EXPECT_FALSE(slotPresent());
  EXPECT_EQ(presentSlots(), 0u);
  CK_SESSION_HANDLE fresh = CK_INVALID_HANDLE;
  EXPECT_EQ(p11->C_OpenSession(kSlot, CKF_SERIAL_SESSION, nullptr, nullptr, &fresh), CKR_TOKEN_NOT_PRESENT);
  CK_TOKEN_INFO info{};
  EXPECT_EQ(p11->C_GetTokenInfo(kSlot, &info), CKR_TOKEN_NOT_PRESENT);
}

// A session opened before the pull: the first call on it tells of the
// removal, whatever the call; the module has then closed it.
struct OldSessionCall {
  const char* name;
  std::function<CK_RV(CK_FUNCTION_LIST*, CK_SESSION_HANDLE, CK_OBJECT_HANDLE privateKey)> call;
};

void PrintTo(const OldSessionCall& c, std::ostream* out) { *out << c.name; }

class OldSession : public TokenRemoval, public ::testing::WithParamInterface<OldSessionCall> {};

TEST_P(OldSession, AnswersDeviceRemovedThenIsClosed) {
  vtoken("remove");
  EXPECT_EQ(GetParam().call(p11, session_, pair_.privateKey), CKR_DEVICE_REMOVED);
  CK_SESSION_INFO info{};
  EXPECT_EQ(p11->C_GetSessionInfo(session_, &info), CKR_SESSION_HANDLE_INVALID);
}

INSTANTIATE_TEST_SUITE_P(
    Calls, OldSession,
    ::testing::Values(
        OldSessionCall{"GetSessionInfo",
                       [](CK_FUNCTION_LIST* p11, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE) {
                         CK_SESSION_INFO info{};
                         return p11->C_GetSessionInfo(s, &info);
                       }},
        OldSessionCall{"FindObjectsInit",
                       [](CK_FUNCTION_LIST* p11, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE) {
                         return p11->C_FindObjectsInit(s, nullptr, 0);
                       }},
        OldSessionCall{"Sign", signWith},
        OldSessionCall{"GenerateRandom",
                       [](CK_FUNCTION_LIST* p11, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE) {
                         unsigned char out[8];
                         return p11->C_GenerateRandom(s, out, sizeof out);
                       }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TokenRemoval, BackInTheSameTokenSignsInANewSessionWithoutFinalize) {
  vtoken("remove");
  ASSERT_FALSE(slotPresent());
  vtoken("insert");
  EXPECT_TRUE(slotPresent());
  CK_TOKEN_INFO info{};
  ASSERT_EQ(p11->C_GetTokenInfo(kSlot, &info), CKR_OK);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(info.label), 12), "removal test");

  const CK_SESSION_HANDLE fresh = openSession();
  // The pull ended the login and wiped its PIN: private keys need a new one.
  EXPECT_TRUE(findClass(fresh, CKO_PRIVATE_KEY).empty());
  loginUser(fresh);
  const auto keys = find(fresh, {attr(CKA_CLASS, CKO_PRIVATE_KEY), attr(CKA_ID, "k1", 2)});
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_EQ(sign(fresh, keys[0]), CKR_OK);
}

// Pulled out and put back while the program made no call: its first call on
// the token finds the card it talked to gone, and the program recovers.
TEST_F(TokenRemoval, PutBackUnseenIsStillAPull) {
  vtoken("remove");
  vtoken("insert");
  EXPECT_EQ(sign(session_, pair_.privateKey), CKR_DEVICE_REMOVED);
  const CK_SESSION_HANDLE fresh = openSession();
  loginUser(fresh);
  const auto keys = find(fresh, {attr(CKA_CLASS, CKO_PRIVATE_KEY), attr(CKA_ID, "k1", 2)});
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_EQ(sign(fresh, keys[0]), CKR_OK);
}

TEST_F(TokenRemoval, AnotherTokenInTheReaderShowsAsItself) {
  vtoken("remove");
  ASSERT_FALSE(slotPresent());
  // Another token, formatted by another program, goes in the same reader.
  const std::string other = folder_.file("other.vtoken");
  setenv("P11TEST_SO", kSoPin, 1);
  setenv("P11TEST_PIN", kUserPin, 1);
  ASSERT_EQ(runTool(other, "format --so-pin-env P11TEST_SO --pin-env P11TEST_PIN"), 0);
  std::filesystem::copy_file(other, tokenPath(), std::filesystem::copy_options::overwrite_existing);
  vtoken("insert");
  CK_TOKEN_INFO info{};
  ASSERT_EQ(p11->C_GetTokenInfo(kSlot, &info), CKR_OK);
  EXPECT_NE(std::string(reinterpret_cast<char*>(info.label), 12), "removal test");
  const CK_SESSION_HANDLE fresh = openSession();
  loginUser(fresh);
  EXPECT_TRUE(findClass(fresh, CKO_PRIVATE_KEY).empty());
}

TEST_F(TokenRemoval, SlotEventsWithoutBlocking) {
  CK_SLOT_ID slot = 99;
  ASSERT_EQ(waitForEvent(CKF_DONT_BLOCK, &slot), CKR_NO_EVENT);
  vtoken("remove");
  EXPECT_EQ(waitForEvent(CKF_DONT_BLOCK, &slot), CKR_OK);
  EXPECT_EQ(slot, kSlot);
  EXPECT_EQ(waitForEvent(CKF_DONT_BLOCK, &slot), CKR_NO_EVENT);
  vtoken("insert");
  slot = 99;
  EXPECT_EQ(waitForEvent(CKF_DONT_BLOCK, &slot), CKR_OK);
  EXPECT_EQ(slot, kSlot);
  EXPECT_EQ(waitForEvent(CKF_DONT_BLOCK, &slot), CKR_NO_EVENT);
}

TEST_F(TokenRemoval, BlockedWaiterSeesTheRemovalAndTheInsertion) {
  CK_SLOT_ID slot = 99;
  ASSERT_EQ(waitForEvent(CKF_DONT_BLOCK, &slot), CKR_NO_EVENT);  // the state events are told against
  for (const char* change : {"remove", "insert"}) {
    auto waiter = std::async(std::launch::async, [&] {
      CK_SLOT_ID seen = 99;
      const CK_RV rv = waitForEvent(0, &seen);
      return std::make_pair(rv, seen);
    });
    vtoken(change);
    ASSERT_EQ(waiter.wait_for(60s), std::future_status::ready) << change;
    EXPECT_EQ(waiter.get(), std::make_pair(CK_RV(CKR_OK), kSlot)) << change;
  }
}

TEST_F(TokenRemoval, BlockedWaiterEndsWhenAnotherThreadFinalizes) {
  CK_SLOT_ID slot = 99;
  ASSERT_EQ(waitForEvent(CKF_DONT_BLOCK, &slot), CKR_NO_EVENT);
  std::promise<void> started;
  auto waiter = std::async(std::launch::async, [&] {
    started.set_value();
    CK_SLOT_ID seen = 99;
    return waitForEvent(0, &seen);
  });
  started.get_future().wait();
  ASSERT_EQ(p11->C_Finalize(nullptr), CKR_OK);
  ASSERT_EQ(waiter.wait_for(60s), std::future_status::ready);
  EXPECT_EQ(waiter.get(), CKR_CRYPTOKI_NOT_INITIALIZED);
  EXPECT_EQ(p11->C_Initialize(nullptr), CKR_OK);  // for TearDown
}

// Another program waiting for slot events is killed in the middle of its
// wait, and a child of fork sees the same pull as this program: neither
// disturbs this program's recovery.
TEST_F(TokenRemoval, KilledWaiterAndForkedChildLeaveThisProgramWhole) {
  int pipeEnds[2];
  ASSERT_EQ(pipe(pipeEnds), 0);
  const pid_t waiter = fork();
  ASSERT_GE(waiter, 0);
  if (waiter == 0) {
    CK_SLOT_ID seen = 99;
    int failures = p11->C_Initialize(nullptr) == CKR_OK ? 0 : 1;
    failures += p11->C_WaitForSlotEvent(CKF_DONT_BLOCK, &seen, nullptr) == CKR_NO_EVENT ? 0 : 2;
    const char ready = 'r';
    failures += write(pipeEnds[1], &ready, 1) == 1 ? 0 : 4;
    p11->C_WaitForSlotEvent(0, &seen, nullptr);  // killed while here, or told of the pull
    _exit(failures);
  }
  close(pipeEnds[1]);
  char ready = 0;
  ASSERT_EQ(read(pipeEnds[0], &ready, 1), 1);
  close(pipeEnds[0]);
  ASSERT_EQ(kill(waiter, SIGKILL), 0);
  int status = 0;
  ASSERT_EQ(waitpid(waiter, &status, 0), waiter);
  EXPECT_TRUE(WIFSIGNALED(status));

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int failures = p11->C_Initialize(nullptr) == CKR_OK ? 0 : 1;
    CK_SESSION_HANDLE own = CK_INVALID_HANDLE;
    failures += p11->C_OpenSession(kSlot, CKF_SERIAL_SESSION, nullptr, nullptr, &own) == CKR_OK ? 0 : 2;
    const std::string line = std::string(PELU7_BUILD_DIR "/bin/pelu7 vtoken remove ") + tokenPath() + " >/dev/null";
    failures += std::system(line.c_str()) == 0 ? 0 : 4;
    CK_SESSION_INFO info{};
    failures += p11->C_GetSessionInfo(own, &info) == CKR_DEVICE_REMOVED ? 0 : 8;
    _exit(failures);
  }
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);

  EXPECT_EQ(sign(session_, pair_.privateKey), CKR_DEVICE_REMOVED);
  vtoken("insert");
  const CK_SESSION_HANDLE fresh = openSession();
  loginUser(fresh);
  const auto keys = find(fresh, {attr(CKA_CLASS, CKO_PRIVATE_KEY), attr(CKA_ID, "k1", 2)});
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_EQ(sign(fresh, keys[0]), CKR_OK);
}

}  // namespace
}  // namespace p11test
