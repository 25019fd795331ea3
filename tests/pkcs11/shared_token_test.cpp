// One token, several programs: what this application finds after another
// program changed the token is what a fresh look finds, its handles stay
// while their objects do, and its login outlives the others' logouts.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include "module_fixture.h"

namespace p11test {
namespace {

class SharedTokenTest : public ModuleTest {
 public:
  using ModuleTest::find;
  using ModuleTest::generateKeyPair;
  CK_FUNCTION_LIST* functions() { return p11; }

 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    initToken();
    setenv("P11TEST_PIN", kUserPin, 1);
    setenv("P11TEST_SO_PIN", kSoPin, 1);
    session = openSession();
    loginUser(session);
    pair = generateKeyPair(session, "k1", "first key");
    data = createData(session, "first data", "value one");
  }

 public:
  CK_OBJECT_HANDLE createData(CK_SESSION_HANDLE in, const std::string& label, const std::string& value,
                              CK_BBOOL isPrivate = CK_FALSE) {
    CK_OBJECT_CLASS objectClass = CKO_DATA;
    CK_BBOOL yes = CK_TRUE;
    std::vector<CK_ATTRIBUTE> pattern{attr(CKA_CLASS, objectClass), attr(CKA_TOKEN, yes), attr(CKA_PRIVATE, isPrivate),
                                      attr(CKA_LABEL, label.data(), label.size()),
                                      attr(CKA_VALUE, value.data(), value.size())};
    CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
    EXPECT_EQ(p11->C_CreateObject(in, pattern.data(), pattern.size(), &handle), CKR_OK);
    return handle;
  }

 protected:
  // Every object this session finds, described by what identifies it (an
  // attribute its class lacks reads as empty).
  std::vector<std::string> describeAll(CK_SESSION_HANDLE in) {
    std::vector<std::string> described;
    for (CK_OBJECT_HANDLE handle : find(in, {})) {
      std::string text;
      for (CK_ATTRIBUTE_TYPE type : {CKA_CLASS, CKA_LABEL, CKA_ID, CKA_VALUE, CKA_MODULUS}) {
        CK_ATTRIBUTE query{type, nullptr, 0};
        if (p11->C_GetAttributeValue(in, handle, &query, 1) == CKR_OK && query.ulValueLen != CK_UNAVAILABLE_INFORMATION) {
          std::string value(query.ulValueLen, '\0');
          query.pValue = value.data();
          EXPECT_EQ(p11->C_GetAttributeValue(in, handle, &query, 1), CKR_OK);
          text += value;
        }
        text += '|';
      }
      described.push_back(text);
    }
    std::sort(described.begin(), described.end());
    return described;
  }


 public:
  using ModuleTest::tokenPath;
  // Runs a change in a child process that uses the module on its own (its
  // own C_Initialize, its own login, its own C_Finalize, which logs the card
  // out); the child's exit status.
  int inAnotherProgram(const std::function<void(CK_SESSION_HANDLE)>& change) {
    const pid_t child = fork();
    if (child == 0) {
      int failures = p11->C_Initialize(nullptr) == CKR_OK ? 0 : 1;
      CK_SESSION_HANDLE own = CK_INVALID_HANDLE;
      failures += p11->C_OpenSession(kSlot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &own) == CKR_OK ? 0 : 2;
      Bytes pin = bytesOf(kUserPin);
      failures += p11->C_Login(own, CKU_USER, pin.data(), pin.size()) == CKR_OK ? 0 : 4;
      change(own);
      failures += ::testing::Test::HasFailure() ? 8 : 0;
      failures += p11->C_Finalize(nullptr) == CKR_OK ? 0 : 16;
      _exit(failures);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
  }


 protected:
  bool keptViewExists() {
    const std::filesystem::path folder = folder_.file("cache") + "/pelu7-pkcs11";
    if (!std::filesystem::is_directory(folder)) return false;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      if (entry.path().filename().string().starts_with("view-")) return true;
    }
    return false;
  }

  // What a new program finds (logged in), with or without the view kept
  // between programs; the module is left running.
  std::vector<std::string> describeFromNewProgram(bool withKeptView) {
    if (!withKeptView) setenv("PELU7_P11_CACHE", "0", 1);
    p11->C_Finalize(nullptr);
    EXPECT_EQ(p11->C_Initialize(nullptr), CKR_OK);
    const CK_SESSION_HANDLE next = openSession();
    loginUser(next);
    auto described = describeAll(next);
    unsetenv("PELU7_P11_CACHE");
    return described;
  }

  CK_RV sign(CK_SESSION_HANDLE in, CK_OBJECT_HANDLE key) {
    CK_MECHANISM mechanism{CKM_SHA256_RSA_PKCS, nullptr, 0};
    if (CK_RV rv = p11->C_SignInit(in, &mechanism, key); rv != CKR_OK) return rv;
    unsigned char message[] = "message", signature[128];
    CK_ULONG length = sizeof signature;
    return p11->C_Sign(in, message, sizeof message, signature, &length);
  }

  CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
  KeyPair pair;
  CK_OBJECT_HANDLE data = CK_INVALID_HANDLE;
};

struct Change {
  const char* name;
  // Done by another program: through the module (a child of fork), or with
  // the pelu7 tool, which knows nothing of the module's files.
  std::function<void(SharedTokenTest&, CK_SESSION_HANDLE)> throughModule;
  const char* toolCommands;  // ';'-separated, run in order
  bool keepsTheKey;          // the first key pair is still there
  bool killed = false;       // the other program is killed after its change, before it finishes
};

const Change kChanges[] = {
    {"AddsADataObject", [](SharedTokenTest& t, CK_SESSION_HANDLE s) { t.createData(s, "added", "new value"); },
     nullptr, true},
    {"AddsAPrivateDataObject",
     [](SharedTokenTest& t, CK_SESSION_HANDLE s) { t.createData(s, "secret", "private value", CK_TRUE); }, nullptr,
     true},
    {"RelabelsTheKey",
     [](SharedTokenTest& t, CK_SESSION_HANDLE s) {
       const std::string id = "k1", label = "renamed key";
       for (CK_OBJECT_HANDLE key : t.find(s, {attr(CKA_ID, id.data(), id.size())})) {
         CK_ATTRIBUTE change = attr(CKA_LABEL, label.data(), label.size());
         EXPECT_EQ(t.functions()->C_SetAttributeValue(s, key, &change, 1), CKR_OK);
       }
     },
     nullptr, true},
    {"RemovesTheDataObject",
     [](SharedTokenTest& t, CK_SESSION_HANDLE s) {
       CK_OBJECT_CLASS dataClass = CKO_DATA;
       for (CK_OBJECT_HANDLE object : t.find(s, {attr(CKA_CLASS, dataClass)})) {
         EXPECT_EQ(t.functions()->C_DestroyObject(s, object), CKR_OK);
       }
     },
     nullptr, true},
    {"GeneratesAKeyPair", [](SharedTokenTest& t, CK_SESSION_HANDLE s) { t.generateKeyPair(s, "k2", "second"); },
     nullptr, true},
    {"GeneratesAKeyPairWithoutTheModule", nullptr, "key generate --login user --pin-env P11TEST_PIN", true},
    {"FormatsAndMakesAKeyAgain", nullptr,
     "format --so-pin-env P11TEST_SO_PIN --pin-env P11TEST_PIN;key generate --login user --pin-env P11TEST_PIN",
     false},
    {"AddsADataObjectAndIsKilled",
     [](SharedTokenTest& t, CK_SESSION_HANDLE s) {
       t.createData(s, "added then killed", "value");
       kill(getpid(), SIGKILL);
     },
     nullptr, true, true},
};

// Makes the change in another program: a child using the module, or the tool.
void changeInAnotherProgram(SharedTokenTest& test, const Change& change) {
  if (change.throughModule) {
    ASSERT_EQ(test.inAnotherProgram([&](CK_SESSION_HANDLE own) { change.throughModule(test, own); }),
              change.killed ? -1 : 0);
    return;
  }
  std::string commands = change.toolCommands;
  for (std::size_t start = 0; start <= commands.size();) {
    const std::size_t end = std::min(commands.find(';', start), commands.size());
    ASSERT_EQ(runTool(test.tokenPath(), commands.substr(start, end - start)), 0);
    start = end + 1;
  }
}

class ChangeBetweenFindsTest : public SharedTokenTest, public ::testing::WithParamInterface<Change> {};

TEST_P(ChangeBetweenFindsTest, TheNextFindShowsWhatAFreshLookShows) {
  const Change& change = GetParam();
  const auto before = describeAll(session);
  changeInAnotherProgram(*this, change);
  const auto cached = describeAll(session);
  EXPECT_NE(cached, before);
  if (change.keepsTheKey) {
    // The handle of a key that is still there is still its handle, and the
    // login outlived the other program's logout.
    EXPECT_EQ(sign(session, pair.privateKey), CKR_OK);
  }
  if (!change.keepsTheKey) {
    // Another token now (formatted): this application's login, and the PIN
    // it kept, belonged to the one before.
    EXPECT_EQ(p11->C_Logout(session), CKR_USER_NOT_LOGGED_IN);
  }
  restartModule();
  CK_SESSION_HANDLE fresh = openSession();
  if (change.keepsTheKey) loginUser(fresh);
  EXPECT_EQ(describeAll(fresh), cached);
}

// A program started after the change begins with the view an earlier one
// kept between processes: what it finds is what a look without that kept
// view finds. The other program keeps no view of its own, so the kept one is
// the view from before the change.
TEST_P(ChangeBetweenFindsTest, TheNextProgramFindsWhatALookWithoutTheKeptViewFinds) {
  const auto before = describeAll(session);
  ASSERT_TRUE(keptViewExists());
  ASSERT_EQ(p11->C_Finalize(nullptr), CKR_OK);
  setenv("PELU7_P11_CACHE", "0", 1);
  changeInAnotherProgram(*this, GetParam());
  unsetenv("PELU7_P11_CACHE");
  const auto served = describeFromNewProgram(true);
  EXPECT_EQ(served, describeFromNewProgram(false));
  EXPECT_NE(served, before);
}

INSTANTIATE_TEST_SUITE_P(Programs, ChangeBetweenFindsTest, ::testing::ValuesIn(kChanges),
                         [](const auto& info) { return std::string(info.param.name); });

// Another token in the reader between two programs, made and filled by
// another program: the view kept of the first token is never served for it.
TEST_F(SharedTokenTest, AnotherTokenInTheReaderIsNotServedTheFirstOnesView) {
  const auto before = describeAll(session);
  ASSERT_TRUE(keptViewExists());
  ASSERT_EQ(p11->C_Finalize(nullptr), CKR_OK);
  const std::string other = folder_.file("other.vtoken");
  const pid_t child = fork();
  if (child == 0) {
    setenv("PELU7_READERS", ("USB1=vtoken:" + other).c_str(), 1);
    int failures = p11->C_Initialize(nullptr) == CKR_OK ? 0 : 1;
    initToken("other token");
    const CK_SESSION_HANDLE own = openSession();
    loginUser(own);
    generateKeyPair(own, "k1", "first key");
    createData(own, "first data", "another value");
    failures += ::testing::Test::HasFailure() ? 2 : 0;
    failures += p11->C_Finalize(nullptr) == CKR_OK ? 0 : 4;
    _exit(failures);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  std::filesystem::rename(other, tokenPath());
  const auto served = describeFromNewProgram(true);
  EXPECT_EQ(served, describeFromNewProgram(false));
  EXPECT_NE(served, before);
}

}  // namespace
}  // namespace p11test
