// Card commands per user operation of the PKCS#11 module, counted in the APDU
// trace of a file-backed virtual token with one RSA key pair: each client's
// calls (as pkcs11-tool, ssh-keygen -D and ssh make them) in a fresh start of
// the module, beside the least they can cost (one discovery of 21 commands,
// 4 more per data object, a change check of 5 at each later look, and the
// VERIFY, private-key operation and logout's VERIFY of a login).
#include <dlfcn.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/registration.h"
#include "bench/summary.h"
#include "pkcs11/pkcs11_api.h"

namespace bench {
namespace {

CK_FUNCTION_LIST* p11 = nullptr;
std::string tracePath;
unsigned char pin[] = "12345678";
unsigned char soPin[] = "87654321";

bool ok(CK_RV rv) { return rv == CKR_OK; }

std::size_t commandsSent() {
  std::ifstream trace(tracePath);
  std::size_t count = 0;
  for (std::string line; std::getline(trace, line);) count += line.rfind("> ", 0) == 0;
  return count;
}

CK_SESSION_HANDLE openSession(CK_FLAGS flags = CKF_SERIAL_SESSION) {
  CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
  return ok(p11->C_OpenSession(0, flags, nullptr, nullptr, &session)) ? session : CK_INVALID_HANDLE;
}

std::vector<CK_OBJECT_HANDLE> find(CK_SESSION_HANDLE session, std::vector<CK_ATTRIBUTE> pattern) {
  std::vector<CK_OBJECT_HANDLE> found;
  if (!ok(p11->C_FindObjectsInit(session, pattern.data(), pattern.size()))) return found;
  CK_OBJECT_HANDLE batch[16];
  CK_ULONG count = 0;
  while (ok(p11->C_FindObjects(session, batch, 16, &count)) && count > 0) found.insert(found.end(), batch, batch + count);
  p11->C_FindObjectsFinal(session);
  return found;
}

std::vector<CK_OBJECT_HANDLE> findClass(CK_SESSION_HANDLE session, CK_OBJECT_CLASS objectClass) {
  return find(session, {{CKA_CLASS, &objectClass, sizeof objectClass}});
}

bool slotLookup() {
  CK_SLOT_ID slots[4];
  CK_ULONG count = 4;
  CK_TOKEN_INFO info;
  return ok(p11->C_GetSlotList(CK_TRUE, nullptr, &count)) && ok(p11->C_GetSlotList(CK_TRUE, slots, &count)) &&
         ok(p11->C_GetTokenInfo(0, &info));
}

bool signWithId(CK_SESSION_HANDLE session, CK_MECHANISM_TYPE type) {
  CK_OBJECT_CLASS privateClass = CKO_PRIVATE_KEY;
  unsigned char id = 1;
  const auto keys = find(session, {{CKA_CLASS, &privateClass, sizeof privateClass}, {CKA_ID, &id, 1}});
  CK_MECHANISM mechanism{type, nullptr, 0};
  unsigned char data[83] = {0x30}, signature[128];
  CK_ULONG length = sizeof signature;
  return keys.size() == 1 && ok(p11->C_SignInit(session, &mechanism, keys[0])) &&
         ok(p11->C_Sign(session, data, sizeof data, signature, &length));
}

bool listObjects() {
  CK_SLOT_INFO slotInfo;
  CK_ULONG count = 0;
  const bool looked = ok(p11->C_GetSlotList(CK_TRUE, nullptr, &count)) && ok(p11->C_GetSlotInfo(0, &slotInfo));
  const CK_SESSION_HANDLE session = openSession();
  return looked && !find(session, {}).empty() && ok(p11->C_CloseSession(session));
}

bool loginSign() {
  const bool looked = slotLookup();
  const CK_SESSION_HANDLE session = openSession();
  CK_TOKEN_INFO info;
  return looked && ok(p11->C_GetTokenInfo(0, &info)) && ok(p11->C_Login(session, CKU_USER, pin, 8)) &&
         signWithId(session, CKM_SHA256_RSA_PKCS) && ok(p11->C_CloseSession(session));
}

bool sshKeygenList() {
  const bool looked = slotLookup();
  const CK_SESSION_HANDLE session = openSession();
  findClass(session, CKO_CERTIFICATE);
  return looked && !findClass(session, CKO_PUBLIC_KEY).empty() && ok(p11->C_CloseSession(session));
}

bool sshLogin() {
  const bool looked = slotLookup();
  const CK_SESSION_HANDLE session = openSession();
  findClass(session, CKO_CERTIFICATE);
  return looked && !findClass(session, CKO_PUBLIC_KEY).empty() && ok(p11->C_Login(session, CKU_USER, pin, 8)) &&
         signWithId(session, CKM_RSA_PKCS) && ok(p11->C_CloseSession(session));
}

// The commands of one fresh start of the module running a client's calls.
bool countClient(bool (*client)(), std::size_t& commands) {
  if (!ok(p11->C_Initialize(nullptr))) return false;
  const std::size_t before = commandsSent();
  const bool done = client();
  p11->C_Finalize(nullptr);
  commands = commandsSent() - before;
  return done;
}

bool addDataObjects(int count) {
  if (!ok(p11->C_Initialize(nullptr))) return false;
  const CK_SESSION_HANDLE session = openSession(CKF_SERIAL_SESSION | CKF_RW_SESSION);
  bool done = ok(p11->C_Login(session, CKU_USER, pin, 8));
  for (int i = 0; done && i < count; ++i) {
    CK_OBJECT_CLASS objectClass = CKO_DATA;
    CK_BBOOL yes = CK_TRUE;
    char label[16], value[16];
    const int labelLength = std::snprintf(label, sizeof label, "d%d", i);
    const int valueLength = std::snprintf(value, sizeof value, "value %d", i);
    CK_ATTRIBUTE pattern[] = {{CKA_CLASS, &objectClass, sizeof objectClass},
                              {CKA_TOKEN, &yes, sizeof yes},
                              {CKA_LABEL, label, static_cast<CK_ULONG>(labelLength)},
                              {CKA_VALUE, value, static_cast<CK_ULONG>(valueLength)}};
    CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
    done = ok(p11->C_CreateObject(session, pattern, 4, &handle));
  }
  p11->C_Finalize(nullptr);
  return done;
}

// A formatted token with the user PIN set and one key pair of id 01.
bool prepareToken() {
  unsigned char label[32];
  std::fill(std::begin(label), std::end(label), ' ');
  if (!ok(p11->C_Initialize(nullptr)) || !ok(p11->C_InitToken(0, soPin, 8, label))) return false;
  CK_SESSION_HANDLE session = openSession(CKF_SERIAL_SESSION | CKF_RW_SESSION);
  bool done = ok(p11->C_Login(session, CKU_SO, soPin, 8)) && ok(p11->C_InitPIN(session, pin, 8)) &&
              ok(p11->C_Logout(session)) && ok(p11->C_Login(session, CKU_USER, pin, 8));
  CK_MECHANISM mechanism{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
  CK_ULONG bits = 1024;
  unsigned char id = 1;
  CK_BBOOL onToken = CK_TRUE;
  CK_ATTRIBUTE publicTemplate[] = {{CKA_MODULUS_BITS, &bits, sizeof bits}, {CKA_TOKEN, &onToken, sizeof onToken}};
  CK_ATTRIBUTE privateTemplate[] = {{CKA_ID, &id, 1}, {CKA_TOKEN, &onToken, sizeof onToken}};
  CK_OBJECT_HANDLE publicKey = CK_INVALID_HANDLE, privateKey = CK_INVALID_HANDLE;
  done = done && ok(p11->C_GenerateKeyPair(session, &mechanism, publicTemplate, 2, privateTemplate, 2, &publicKey,
                                           &privateKey));
  p11->C_Finalize(nullptr);
  return done;
}

// A Find after a Find, nothing changed between them.
bool countUnchangedFind(std::size_t& commands) {
  if (!ok(p11->C_Initialize(nullptr))) return false;
  const CK_SESSION_HANDLE session = openSession();
  bool done = ok(p11->C_Login(session, CKU_USER, pin, 8)) && !find(session, {}).empty();
  const std::size_t before = commandsSent();
  done = done && !find(session, {}).empty();
  commands = commandsSent() - before;
  p11->C_Finalize(nullptr);
  return done;
}

struct ClientRow {
  const char* name;
  bool (*client)();
  double least;
  double goal;
};

}  // namespace

bool registerPkcs11Benchmarks() {
  void* library = dlopen(PELU7_BUILD_DIR "/lib/libpelu7-pkcs11.so", RTLD_NOW | RTLD_LOCAL);
  auto getList = library != nullptr ? reinterpret_cast<CK_C_GetFunctionList>(dlsym(library, "C_GetFunctionList"))
                                    : nullptr;
  if (getList == nullptr || !ok(getList(&p11))) {
    std::fprintf(stderr, "pelu7_bench: the PKCS#11 module is not built (%s); its rows are left out\n", dlerror());
    return true;
  }
  char folderPattern[] = "/tmp/pelu7-bench-p11-XXXXXX";
  if (mkdtemp(folderPattern) == nullptr) return false;
  const std::string folder = folderPattern;
  tracePath = folder + "/trace";
  const std::string readers = "USB1=vtoken:" + folder + "/token.vtoken";
  setenv("PELU7_READERS", readers.c_str(), 1);
  setenv("PELU7_PKCS11_PORTS", "1", 1);
  setenv("PELU7_APDU_TRACE", tracePath.c_str(), 1);

  const ClientRow oneKey[] = {
      {"pkcs11-tool --list-objects", listObjects, 21 + 5, 26},
      {"pkcs11-tool --login --sign", loginSign, 21 + 5 + 3, 30},
      {"ssh-keygen -D", sshKeygenList, 21 + 3 * 5, 36},
      {"ssh -I login", sshLogin, 21 + 4 * 5 + 3, 44},
  };
  const ClientRow sevenData[] = {
      {"pkcs11-tool --list-objects, 7 data objects", listObjects, 49 + 5, 54},
      {"ssh-keygen -D, 7 data objects", sshKeygenList, 49 + 3 * 5, 64},
  };
  bool done = prepareToken();
  summary().addSection(
      "PKCS#11 card commands per client run (reference: one discovery and a change check per later look)");
  for (const auto& row : oneKey) {
    std::size_t commands = 0;
    done = done && countClient(row.client, commands);
    summary().addCount(row.name, double(commands), row.least, {GoalKind::AtMost, row.goal / row.least});
  }
  done = done && addDataObjects(7);
  for (const auto& row : sevenData) {
    std::size_t commands = 0;
    done = done && countClient(row.client, commands);
    summary().addCount(row.name, double(commands), row.least, {GoalKind::AtMost, row.goal / row.least});
  }
  done = done && addDataObjects(31 - 7);
  std::size_t unchanged = 0;
  done = done && countUnchangedFind(unchanged);
  summary().addCount("Find again, nothing changed, full index (33 objects)", double(unchanged), 5, {GoalKind::AtMost, 1});

  unsetenv("PELU7_APDU_TRACE");
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  if (!done) std::fprintf(stderr, "pelu7_bench: a PKCS#11 client run failed\n");
  return done;
}

}  // namespace bench
