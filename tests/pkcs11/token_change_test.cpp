// A token that changes under running programs: its PIN changed by another
// program (through the module, the pelu7 tool, or something that says
// nothing), its tries left, a format and new keys under held handles, and
// the identity the serial shows.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "logged_in_programs.h"
#include "module_fixture.h"

namespace p11test {
namespace {

constexpr const char* kNewPin = "24681357";
constexpr int kAllTries = 6;

class TokenChangeTest : public ModuleTest {
 public:
  CK_FUNCTION_LIST* functions() { return p11; }
  using ModuleTest::find;
  using ModuleTest::generateKeyPair;
  using ModuleTest::initToken;
  using ModuleTest::loginUser;
  using ModuleTest::openSession;
  using ModuleTest::tokenPath;
  using ModuleTest::kUserPin;

  void SetUp() override {
    ModuleTest::SetUp();
    setenv("P11TEST_PIN", kUserPin, 1);
    setenv("P11TEST_SO_PIN", kSoPin, 1);
    setenv("P11TEST_NEW_PIN", kNewPin, 1);
  }

  // Runs `work` in a child of fork that uses the module on its own; its
  // exit status (0 when every expectation held).
  int inAnotherProgram(const std::function<void()>& work) {
    const pid_t child = fork();
    if (child == 0) {
      int failures = p11->C_Initialize(nullptr) == CKR_OK ? 0 : 1;
      work();
      failures += ::testing::Test::HasFailure() ? 2 : 0;
      p11->C_Finalize(nullptr);
      _exit(failures);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
  }

  void runToolCommands(const std::string& commands) {
    for (std::size_t start = 0; start <= commands.size();) {
      const std::size_t end = std::min(commands.find(';', start), commands.size());
      ASSERT_EQ(runTool(tokenPath(), commands.substr(start, end - start)), 0) << commands.substr(start, end - start);
      start = end + 1;
    }
  }

  std::string serial() {
    CK_TOKEN_INFO info{};
    EXPECT_EQ(p11->C_GetTokenInfo(kSlot, &info), CKR_OK);
    return std::string(reinterpret_cast<const char*>(info.serialNumber), sizeof info.serialNumber);
  }

  CK_FLAGS tokenFlags() {
    CK_TOKEN_INFO info{};
    EXPECT_EQ(p11->C_GetTokenInfo(kSlot, &info), CKR_OK);
    return info.flags;
  }
};

// --- A PIN changed while programs keep a login ------------------------------

struct PinChange {
  const char* name;
  std::function<void(TokenChangeTest&)> change;  // leaves the card logged out
  int triesLeft;                                  // after every program tried to sign
};

void changeThroughTheModule(TokenChangeTest& t) {
  CK_FUNCTION_LIST* p11 = t.functions();
  CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
  ASSERT_EQ(p11->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session), CKR_OK);
  Bytes oldPin = bytesOf(TokenChangeTest::kUserPin), newPin = bytesOf(kNewPin);
  ASSERT_EQ(p11->C_Login(session, CKU_USER, oldPin.data(), oldPin.size()), CKR_OK);
  ASSERT_EQ(p11->C_SetPIN(session, oldPin.data(), oldPin.size(), newPin.data(), newPin.size()), CKR_OK);
  ASSERT_EQ(p11->C_Logout(session), CKR_OK);
  ASSERT_EQ(p11->C_CloseSession(session), CKR_OK);
}

const PinChange kPinChanges[] = {
    {"ThroughTheModule", changeThroughTheModule, kAllTries},
    {"ThroughTheTool",
     [](TokenChangeTest& t) {
       ASSERT_EQ(runTool(t.tokenPath(), "change-pin --pin-env P11TEST_PIN --new-pin-env P11TEST_NEW_PIN"), 0);
       ASSERT_EQ(runTool(t.tokenPath(), "logout"), 0);
     },
     kAllTries},
    // Another library on the DAL: one try for the whole machine.
    {"WithoutAWord",
     [](TokenChangeTest& t) {
       ASSERT_EQ(runHelper(t.tokenPath(), "pkcs11_dal_pin_changer " + std::string(TokenChangeTest::kUserPin) + " " +
                                              kNewPin),
                 0);
     },
     kAllTries - 1},
};

class PinChangeElsewhereTest : public TokenChangeTest, public ::testing::WithParamInterface<PinChange> {};

TEST_P(PinChangeElsewhereTest, KeptPinsCostAtMostTheOneTryNobodyWasToldOf) {
  initToken();
  {
    CK_SESSION_HANDLE session = openSession();
    loginUser(session);
    generateKeyPair(session, "k", "key");
    ASSERT_EQ(p11->C_Logout(session), CKR_OK);
    ASSERT_EQ(p11->C_CloseSession(session), CKR_OK);
  }
  LoggedInPrograms programs(p11, 5, kUserPin);
  ASSERT_EQ(programs.loginResults(), std::vector<CK_RV>(5, CKR_OK));
  ASSERT_EQ(programs.signOnce(), std::vector<CK_RV>(5, CKR_OK));

  GetParam().change(*this);
  ASSERT_FALSE(HasFatalFailure());
  // Each finds the card logged out; none may log it in with the old PIN
  // beyond the one try a silent change costs.
  EXPECT_EQ(programs.signOnce(), std::vector<CK_RV>(5, CKR_USER_NOT_LOGGED_IN));
  EXPECT_EQ(userPinTriesLeft(tokenPath()), GetParam().triesLeft);
  // The user's new PIN works.
  CK_SESSION_HANDLE session = openSession();
  Bytes pin = bytesOf(kNewPin);
  EXPECT_EQ(p11->C_Login(session, CKU_USER, pin.data(), pin.size()), CKR_OK);
}

INSTANTIATE_TEST_SUITE_P(Changes, PinChangeElsewhereTest, ::testing::ValuesIn(kPinChanges),
                         [](const auto& info) { return std::string(info.param.name); });

// A program killed while logged in leaves nothing that makes the others try.
TEST_F(TokenChangeTest, AProgramKilledWhileLoggedInChangesNothingForTheOthers) {
  initToken();
  {
    CK_SESSION_HANDLE session = openSession();
    loginUser(session);
    generateKeyPair(session, "k", "key");
    ASSERT_EQ(p11->C_CloseSession(session), CKR_OK);
  }
  LoggedInPrograms survivors(p11, 2, kUserPin);
  ASSERT_EQ(survivors.loginResults(), std::vector<CK_RV>(2, CKR_OK));
  const pid_t victim = fork();
  if (victim == 0) {
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    Bytes pin = bytesOf(kUserPin);
    p11->C_Initialize(nullptr);
    p11->C_OpenSession(kSlot, CKF_SERIAL_SESSION, nullptr, nullptr, &session);
    p11->C_Login(session, CKU_USER, pin.data(), pin.size());
    ::raise(SIGKILL);
  }
  int status = 0;
  ASSERT_EQ(waitpid(victim, &status, 0), victim);
  ASSERT_TRUE(WIFSIGNALED(status));
  ASSERT_EQ(runTool(tokenPath(), "change-pin --pin-env P11TEST_PIN --new-pin-env P11TEST_NEW_PIN"), 0);
  ASSERT_EQ(runTool(tokenPath(), "logout"), 0);
  EXPECT_EQ(survivors.signOnce(), std::vector<CK_RV>(2, CKR_USER_NOT_LOGGED_IN));
  EXPECT_EQ(userPinTriesLeft(tokenPath()), kAllTries);
}

// --- Tries left that another process's wrong PINs revealed --------------------

struct WrongPins {
  const char* name;
  int count;
  CK_FLAGS shown;
};

const WrongPins kWrongPins[] = {
    {"OneWrongPin", 1, CKF_USER_PIN_COUNT_LOW},
    {"FiveWrongPins", 5, CKF_USER_PIN_FINAL_TRY},
    {"SixWrongPins", 6, CKF_USER_PIN_LOCKED},
};

class TriesSeenElsewhereTest : public TokenChangeTest, public ::testing::WithParamInterface<WrongPins> {};

TEST_P(TriesSeenElsewhereTest, AFreshProcessShowsThem) {
  initToken();
  const WrongPins& wrong = GetParam();
  ASSERT_EQ(inAnotherProgram([&] {
              CK_SESSION_HANDLE session = openSession();
              Bytes pin = bytesOf("00000000");
              for (int i = 0; i < wrong.count; ++i) p11->C_Login(session, CKU_USER, pin.data(), pin.size());
            }),
            0);
  const CK_FLAGS triesFlags = CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_LOCKED;
  EXPECT_EQ(tokenFlags() & triesFlags, wrong.shown);
  EXPECT_EQ(userPinTriesLeft(tokenPath()), kAllTries - wrong.count);
}

INSTANTIATE_TEST_SUITE_P(Logins, TriesSeenElsewhereTest, ::testing::ValuesIn(kWrongPins),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Handles held across a format and a new key pair -------------------------

struct Reprovisioning {
  const char* name;
  std::function<void(TokenChangeTest&)> run;  // formats, then makes a key pair
};

const Reprovisioning kReprovisionings[] = {
    {"WithTheTool",
     [](TokenChangeTest& t) {
       t.runToolCommands("format --so-pin-env P11TEST_SO_PIN --pin-env P11TEST_NEW_PIN;"
                         "key generate --login user --pin-env P11TEST_NEW_PIN");
     }},
    {"WithTheModule",
     [](TokenChangeTest& t) {
       ASSERT_EQ(t.inAnotherProgram([&t] {
                   t.initToken("again");
                   CK_SESSION_HANDLE session = t.openSession();
                   t.loginUser(session);
                   t.generateKeyPair(session, "new", "new key");
                 }),
                 0);
     }},
};

class HandlesAcrossFormatTest : public TokenChangeTest, public ::testing::WithParamInterface<Reprovisioning> {};

TEST_P(HandlesAcrossFormatTest, NeverAnswerForTheNewKey) {
  initToken();
  CK_SESSION_HANDLE session = openSession();
  loginUser(session);
  const KeyPair old = generateKeyPair(session, "old", "old key");
  const Bytes oldModulus = attribute(session, old.publicKey, CKA_MODULUS);
  CK_MECHANISM mechanism{CKM_SHA256_RSA_PKCS, nullptr, 0};
  ASSERT_EQ(p11->C_SignInit(session, &mechanism, old.privateKey), CKR_OK);  // before the format

  GetParam().run(*this);
  ASSERT_FALSE(HasFatalFailure());

  unsigned char message[] = "message", signature[128];
  CK_ULONG length = sizeof signature;
  EXPECT_NE(p11->C_Sign(session, message, sizeof message, signature, &length), CKR_OK);
  if (p11->C_SignInit(session, &mechanism, old.privateKey) == CKR_OK) {
    length = sizeof signature;
    EXPECT_NE(p11->C_Sign(session, message, sizeof message, signature, &length), CKR_OK);
  }
  // The old handle answers with its own key's modulus, or not at all.
  Bytes modulus(128);
  CK_ATTRIBUTE query = attr(CKA_MODULUS, modulus.data(), modulus.size());
  if (p11->C_GetAttributeValue(session, old.publicKey, &query, 1) == CKR_OK) {
    EXPECT_EQ(modulus, oldModulus);
  }

  // A look at the token finds only the new pair, under new handles; the
  // old ones name nothing any more.
  CK_OBJECT_CLASS publicClass = CKO_PUBLIC_KEY;
  const auto found = find(session, {attr(CKA_CLASS, publicClass)});
  ASSERT_EQ(found.size(), 1u);
  EXPECT_NE(found[0], old.publicKey);
  EXPECT_NE(found[0], old.privateKey);
  EXPECT_NE(attribute(session, found[0], CKA_MODULUS), oldModulus);
  EXPECT_EQ(p11->C_GetAttributeValue(session, old.publicKey, &query, 1), CKR_OBJECT_HANDLE_INVALID);
  EXPECT_EQ(p11->C_SignInit(session, &mechanism, old.privateKey), CKR_KEY_HANDLE_INVALID);
}

INSTANTIATE_TEST_SUITE_P(Programs, HandlesAcrossFormatTest, ::testing::ValuesIn(kReprovisionings),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Identity and serial -----------------------------------------------------

TEST_F(TokenChangeTest, TheSerialIsTheIdentityFromTheToolsFormatOn) {
  runToolCommands("format --so-pin-env P11TEST_SO_PIN --pin-env P11TEST_PIN");
  const std::string first = serial();
  EXPECT_EQ(first.find_first_not_of("0123456789ABCDEF"), std::string::npos) << first;
  EXPECT_NE(first, std::string(16, '0'));
  CK_SESSION_HANDLE session = openSession();
  loginUser(session);
  generateKeyPair(session, "k", "first key");
  EXPECT_EQ(serial(), first);
  ASSERT_EQ(p11->C_CloseSession(session), CKR_OK);
  // Another process reads the same identity.
  ASSERT_EQ(inAnotherProgram([&] { EXPECT_EQ(serial(), first); }), 0);
  runToolCommands("format --so-pin-env P11TEST_SO_PIN --pin-env P11TEST_PIN");
  EXPECT_NE(serial(), first);
}

// --- Another writer of the module's files ------------------------------------

TEST_F(TokenChangeTest, TheToolsWriteToTheIndexIsSeenAndNeverUndone) {
  initToken();
  CK_SESSION_HANDLE session = openSession();
  loginUser(session);
  CK_OBJECT_CLASS dataClass = CKO_DATA;
  CK_BBOOL yes = CK_TRUE;
  auto create = [&](const std::string& label) {
    std::vector<CK_ATTRIBUTE> pattern{attr(CKA_CLASS, dataClass), attr(CKA_TOKEN, yes),
                                      attr(CKA_LABEL, label.data(), label.size())};
    CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
    EXPECT_EQ(p11->C_CreateObject(session, pattern.data(), pattern.size(), &handle), CKR_OK);
  };
  create("first");
  ASSERT_EQ(find(session, {attr(CKA_CLASS, dataClass)}).size(), 1u);
  // The first index record (after the 16-byte header) cleared behind the
  // running module's back.
  runToolCommands("file write 3 510 --offset 16 --in-hex " + std::string(128, '0') +
                  " --login user --pin-env P11TEST_PIN --force");
  EXPECT_EQ(find(session, {attr(CKA_CLASS, dataClass)}).size(), 0u);
  create("second");
  restartModule();
  session = openSession();
  const auto found = find(session, {attr(CKA_CLASS, dataClass)});
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(attribute(session, found[0], CKA_LABEL), bytesOf("second"));
}

// --- Templates kept or refused ---------------------------------------------------

TEST_F(TokenChangeTest, KeyPairsBeyondTheIndexAreRefusedNeverMadeUnnamed) {
  initToken();
  CK_SESSION_HANDLE session = openSession();
  loginUser(session);
  CK_MECHANISM mechanism{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
  CK_ULONG bits = 1024;
  CK_BBOOL yes = CK_TRUE;
  std::vector<CK_RV> results;
  for (int i = 0; i < 34; ++i) {
    const std::string id = "id" + std::to_string(i);
    std::vector<CK_ATTRIBUTE> publicTemplate{attr(CKA_MODULUS_BITS, bits), attr(CKA_TOKEN, yes)};
    std::vector<CK_ATTRIBUTE> privateTemplate{attr(CKA_TOKEN, yes), attr(CKA_ID, id.data(), id.size())};
    CK_OBJECT_HANDLE publicKey = CK_INVALID_HANDLE, privateKey = CK_INVALID_HANDLE;
    results.push_back(p11->C_GenerateKeyPair(session, &mechanism, publicTemplate.data(), publicTemplate.size(),
                                             privateTemplate.data(), privateTemplate.size(), &publicKey,
                                             &privateKey));
  }
  std::vector<CK_RV> expected(32, CKR_OK);
  expected.resize(34, CKR_DEVICE_MEMORY);
  EXPECT_EQ(results, expected);
  restartModule();
  session = openSession();
  loginUser(session);
  CK_OBJECT_CLASS privateClass = CKO_PRIVATE_KEY;
  const auto keys = find(session, {attr(CKA_CLASS, privateClass)});
  ASSERT_EQ(keys.size(), 32u);
  for (int i = 0; i < 32; ++i) {
    const std::string id = "id" + std::to_string(i);
    EXPECT_EQ(find(session, {attr(CKA_CLASS, privateClass), attr(CKA_ID, id.data(), id.size())}).size(), 1u) << id;
  }
}

// --- Small answers -------------------------------------------------------------------

TEST_F(TokenChangeTest, ALabelKeepsItsColon) {
  initToken("team:alpha");
  CK_TOKEN_INFO info{};
  ASSERT_EQ(p11->C_GetTokenInfo(kSlot, &info), CKR_OK);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(info.label), 10), "team:alpha");
}

using KeyInit = CK_RV (*)(CK_FUNCTION_LIST*, CK_SESSION_HANDLE, CK_MECHANISM*, CK_OBJECT_HANDLE);

struct NotAKey {
  const char* name;
  KeyInit init;
};

const NotAKey kKeyInits[] = {
    {"SignInit", [](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s, CK_MECHANISM* m, CK_OBJECT_HANDLE k) {
       return f->C_SignInit(s, m, k);
     }},
    {"VerifyInit", [](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s, CK_MECHANISM* m, CK_OBJECT_HANDLE k) {
       return f->C_VerifyInit(s, m, k);
     }},
    {"EncryptInit", [](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s, CK_MECHANISM* m, CK_OBJECT_HANDLE k) {
       return f->C_EncryptInit(s, m, k);
     }},
    {"DecryptInit", [](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s, CK_MECHANISM* m, CK_OBJECT_HANDLE k) {
       return f->C_DecryptInit(s, m, k);
     }},
};

class NotAKeyTest : public TokenChangeTest, public ::testing::WithParamInterface<NotAKey> {};

TEST_P(NotAKeyTest, ADataObjectIsAnInvalidKeyHandle) {
  initToken();
  CK_SESSION_HANDLE session = openSession();
  loginUser(session);
  CK_OBJECT_CLASS dataClass = CKO_DATA;
  CK_BBOOL no = CK_FALSE;
  const std::string value = "not a key";
  std::vector<CK_ATTRIBUTE> pattern{attr(CKA_CLASS, dataClass), attr(CKA_TOKEN, no),
                                    attr(CKA_VALUE, value.data(), value.size())};
  CK_OBJECT_HANDLE data = CK_INVALID_HANDLE;
  ASSERT_EQ(p11->C_CreateObject(session, pattern.data(), pattern.size(), &data), CKR_OK);
  CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
  EXPECT_EQ(GetParam().init(p11, session, &mechanism, data), CKR_KEY_HANDLE_INVALID);
}

INSTANTIATE_TEST_SUITE_P(Inits, NotAKeyTest, ::testing::ValuesIn(kKeyInits),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace p11test
