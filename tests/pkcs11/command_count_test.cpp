// Card commands per user operation, counted in the APDU trace: each client's
// sequence of calls (as pkcs11-tool, ssh-keygen and ssh make them) in a fresh
// start of the module on a token with one key pair, and a Find on a token
// that did not change, at several object counts.
#include "module_fixture.h"

namespace p11test {
namespace {

class CommandCountTest : public TracedModuleTest {
 protected:
  void SetUp() override {
    TracedModuleTest::SetUp();
    CK_SESSION_HANDLE session = openSession();
    loginUser(session);
    generateKeyPair(session, "\x01", "k1");
    ASSERT_EQ(p11->C_CloseSession(session), CKR_OK);
  }

  void addDataObjects(int count) {
    CK_SESSION_HANDLE session = openSession();
    loginUser(session);
    for (int i = 0; i < count; ++i) {
      CK_OBJECT_CLASS objectClass = CKO_DATA;
      CK_BBOOL yes = CK_TRUE;
      const std::string label = "d" + std::to_string(i), value = "value " + std::to_string(i);
      std::vector<CK_ATTRIBUTE> pattern{attr(CKA_CLASS, objectClass), attr(CKA_TOKEN, yes),
                                        attr(CKA_LABEL, label.data(), label.size()),
                                        attr(CKA_VALUE, value.data(), value.size())};
      CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
      ASSERT_EQ(p11->C_CreateObject(session, pattern.data(), pattern.size(), &handle), CKR_OK);
    }
    ASSERT_EQ(p11->C_CloseSession(session), CKR_OK);
  }
};

class ClientCommandCountTest;
// The calls of one client run, after C_Initialize and before C_Finalize.
using Client = void (*)(ClientCommandCountTest&, CK_FUNCTION_LIST*);

struct CountCase {
  const char* name;
  Client client;
  int dataObjects;
  std::size_t goal;
  bool kept = false;  // another program looked at the token since it last changed
};

class ClientCommandCountTest : public CommandCountTest, public ::testing::WithParamInterface<CountCase> {
 public:
  using ModuleTest::attribute;
  using ModuleTest::find;
  using ModuleTest::findClass;
};

void slotLookup(CK_FUNCTION_LIST* p11) {
  CK_ULONG count = 0;
  ASSERT_EQ(p11->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
  CK_SLOT_ID slots[4];
  count = 4;
  ASSERT_EQ(p11->C_GetSlotList(CK_TRUE, slots, &count), CKR_OK);
}

CK_SESSION_HANDLE openedSession(CK_FUNCTION_LIST* p11) {
  CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
  EXPECT_EQ(p11->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_OK);
  return session;
}

void tokenInfo(CK_FUNCTION_LIST* p11) {
  CK_TOKEN_INFO info;
  ASSERT_EQ(p11->C_GetTokenInfo(0, &info), CKR_OK);
}

void listObjects(ClientCommandCountTest& test, CK_FUNCTION_LIST* p11) {
  slotLookup(p11);
  CK_SLOT_INFO slotInfo;
  ASSERT_EQ(p11->C_GetSlotInfo(0, &slotInfo), CKR_OK);
  const CK_SESSION_HANDLE session = openedSession(p11);
  test.find(session, {});
  ASSERT_EQ(p11->C_CloseSession(session), CKR_OK);
}

void loginSign(ClientCommandCountTest& test, CK_FUNCTION_LIST* p11) {
  slotLookup(p11);
  tokenInfo(p11);
  const CK_SESSION_HANDLE session = openedSession(p11);
  tokenInfo(p11);
  CK_OBJECT_CLASS privateClass = CKO_PRIVATE_KEY;
  const unsigned char id = 1;
  unsigned char pin[] = "12345678";
  ASSERT_EQ(p11->C_Login(session, CKU_USER, pin, 8), CKR_OK);
  const auto keys = test.find(session, {attr(CKA_CLASS, privateClass), attr(CKA_ID, &id, 1)});
  ASSERT_EQ(keys.size(), 1u);
  CK_MECHANISM mechanism{CKM_SHA256_RSA_PKCS, nullptr, 0};
  ASSERT_EQ(p11->C_SignInit(session, &mechanism, keys[0]), CKR_OK);
  unsigned char data[] = "data", signature[128];
  CK_ULONG length = sizeof signature;
  ASSERT_EQ(p11->C_Sign(session, data, sizeof data, signature, &length), CKR_OK);
  ASSERT_EQ(p11->C_CloseSession(session), CKR_OK);
}

// ssh-keygen -D: certificates, then public keys.
void listSshKeys(ClientCommandCountTest& test, CK_FUNCTION_LIST* p11) {
  CK_INFO info;
  ASSERT_EQ(p11->C_GetInfo(&info), CKR_OK);
  slotLookup(p11);
  tokenInfo(p11);
  const CK_SESSION_HANDLE session = openedSession(p11);
  auto& self = test;
  self.findClass(session, CKO_CERTIFICATE);
  self.findClass(session, CKO_PUBLIC_KEY);
  ASSERT_EQ(p11->C_CloseSession(session), CKR_OK);
}

// One ssh login: the keys offered, then the private key found and used.
void sshLogin(ClientCommandCountTest& test, CK_FUNCTION_LIST* p11) {
  CK_INFO info;
  ASSERT_EQ(p11->C_GetInfo(&info), CKR_OK);
  slotLookup(p11);
  tokenInfo(p11);
  const CK_SESSION_HANDLE session = openedSession(p11);
  auto& self = test;
  self.findClass(session, CKO_CERTIFICATE);
  const auto publicKeys = self.findClass(session, CKO_PUBLIC_KEY);
  ASSERT_FALSE(publicKeys.empty());
  const Bytes id = self.attribute(session, publicKeys[0], CKA_ID);
  unsigned char pin[] = "12345678";
  ASSERT_EQ(p11->C_Login(session, CKU_USER, pin, 8), CKR_OK);
  CK_OBJECT_CLASS privateClass = CKO_PRIVATE_KEY;
  const auto keys = self.find(session, {attr(CKA_CLASS, privateClass), attr(CKA_ID, id.data(), id.size())});
  ASSERT_EQ(keys.size(), 1u);
  CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
  ASSERT_EQ(p11->C_SignInit(session, &mechanism, keys[0]), CKR_OK);
  unsigned char digestInfo[83] = {0x30}, signature[128];
  CK_ULONG length = sizeof signature;
  ASSERT_EQ(p11->C_Sign(session, digestInfo, sizeof digestInfo, signature, &length), CKR_OK);
  ASSERT_EQ(p11->C_CloseSession(session), CKR_OK);
}

// Goals: one discovery (17 commands: the index header, then only the records
// in use; 4 more per data object), a change check of 5 at each later look,
// and VERIFY, the private-key operation and the logout's VERIFY where the
// operation logs in. Each process reads the token's identity once (4), and
// C_Login reads it again (4) to bind the kept PIN to that token.
//
// Where an earlier program kept its view of the unchanged token, a new one
// pays only the login check (2) and the change checks (the identity and its
// counter, 4, and the next key pair, 1, at each look), and the login.
const CountCase kCounts[] = {
    {"ListObjects", listObjects, 0, 26},
    {"LoginSign", loginSign, 0, 33},
    {"SshKeygenList", listSshKeys, 0, 31},
    {"SshLogin", sshLogin, 0, 43},
    {"ListObjectsWithSevenDataObjects", listObjects, 7, 56},
    {"SshKeygenListWithSevenDataObjects", listSshKeys, 7, 61},
    {"ListObjectsKept", listObjects, 0, 12, true},
    {"ListObjectsKeptWithEightDataObjects", listObjects, 8, 12, true},
    {"LoginSignKept", loginSign, 0, 19, true},
    {"SshKeygenListKept", listSshKeys, 0, 17, true},
    {"SshLoginKept", sshLogin, 0, 29, true},
};

TEST_P(ClientCommandCountTest, StaysWithinItsGoal) {
  const CountCase& c = GetParam();
  addDataObjects(c.dataObjects);
  ASSERT_EQ(p11->C_Finalize(nullptr), CKR_OK);
  if (c.kept) {
    ASSERT_EQ(p11->C_Initialize(nullptr), CKR_OK);
    c.client(*this, p11);
    ASSERT_EQ(p11->C_Finalize(nullptr), CKR_OK);
  }
  const std::size_t before = commandsSent();
  ASSERT_EQ(p11->C_Initialize(nullptr), CKR_OK);
  c.client(*this, p11);
  ASSERT_EQ(p11->C_Finalize(nullptr), CKR_OK);
  const std::size_t sent = commandsSent() - before;
  EXPECT_LE(sent, c.goal);
  RecordProperty("commands", static_cast<int>(sent));
  ASSERT_EQ(p11->C_Initialize(nullptr), CKR_OK);
}

INSTANTIATE_TEST_SUITE_P(Clients, ClientCommandCountTest, ::testing::ValuesIn(kCounts),
                         [](const auto& info) { return std::string(info.param.name); });

class UnchangedFindTest : public CommandCountTest, public ::testing::WithParamInterface<int> {};

TEST_P(UnchangedFindTest, CostsOnlyTheChangeCheck) {
  addDataObjects(GetParam());
  const CK_SESSION_HANDLE session = openSession();
  loginUser(session);
  const auto first = find(session, {});
  const std::size_t before = commandsSent();
  const auto again = find(session, {});
  EXPECT_LE(commandsSent() - before, 5u);
  EXPECT_EQ(again, first);
  EXPECT_EQ(first.size(), 2u + static_cast<std::size_t>(GetParam()));
}

// Up to a full index: 31 data objects beside the key pair's record.
INSTANTIATE_TEST_SUITE_P(ObjectCounts, UnchangedFindTest, ::testing::Values(0, 7, 31));

}  // namespace
}  // namespace p11test
