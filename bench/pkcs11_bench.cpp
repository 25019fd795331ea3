// Card commands per user operation of the PKCS#11 module, counted in the APDU
// trace of a file-backed virtual token with one RSA key pair: each client's
// calls (as pkcs11-tool, ssh-keygen -D and ssh make them) in a fresh start of
// the module, beside the least they can cost (one discovery of 21 commands,
// 4 more per data object, a change check of 5 at each later look, and the
// VERIFY, private-key operation and logout's VERIFY of a login).
#include <dlfcn.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
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

// A fresh start of the module running a client's calls with the view that
// an earlier run kept (one run first to keep it), or without any kept view.
bool runKeptOrNot(bool (*client)(), bool kept, std::size_t& commands) {
  if (!kept) setenv("PELU7_P11_CACHE", "0", 1);
  bool done = !kept || countClient(client, commands);
  done = done && countClient(client, commands);
  unsetenv("PELU7_P11_CACHE");
  return done;
}

// The seconds a user waits for a client run on a token that takes `timing`
// (PELU7_VTOKEN_TIMING) to answer; the token reads it when the module opens
// its port, at each fresh start.
// The median of three runs.
bool timeClient(bool (*client)(), bool kept, const char* timing, double& seconds) {
  setenv("PELU7_VTOKEN_TIMING", timing, 1);
  if (!kept) setenv("PELU7_P11_CACHE", "0", 1);
  std::size_t commands = 0;
  bool done = !kept || countClient(client, commands);
  double runs[3] = {};
  for (double& run : runs) {
    const auto start = std::chrono::steady_clock::now();
    done = done && countClient(client, commands);
    run = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  std::sort(std::begin(runs), std::end(runs));
  seconds = runs[1];
  unsetenv("PELU7_P11_CACHE");
  unsetenv("PELU7_VTOKEN_TIMING");
  return done;
}

struct TimedRow {
  const char* name;
  bool (*client)();
  double goalSeconds;  // at 15 ms a command with the kept view; 0: none
};

// Seconds per client run at 5 and 15 ms a command (50 and 150 ms more for a
// private-key operation), with the view kept between programs and without.
bool addTimedRows() {
  const TimedRow rows[] = {
      {"pkcs11-tool --list-objects", listObjects, 0.25},
      {"pkcs11-tool --login --sign", loginSign, 0.45},
      {"ssh-keygen -D", sshKeygenList, 0},
      {"ssh -I login", sshLogin, 0},
  };
  summary().addSection(
      "PKCS#11 client runs on a token timed like a real one (wall-clock seconds; ours: with the view kept "
      "between programs, reference: without)");
  bool done = true;
  for (const char* timing : {"5,50", "15,150"}) {
    for (const auto& row : rows) {
      double kept = 0, fresh = 0;
      done = done && timeClient(row.client, false, timing, fresh) && timeClient(row.client, true, timing, kept);
      if (!done) {
        std::fprintf(stderr, "pelu7_bench: %s at %s ms failed\n", row.name, timing);
        return false;
      }
      const std::string name = std::string(row.name) + ", " + timing + " ms";
      summary().addMeasured(name, Measure::WallSeconds, kept, fresh, {});
      if (row.goalSeconds > 0 && std::string(timing) == "15,150") {
        summary().addMeasured(name + ", goal", Measure::WallSeconds, kept, row.goalSeconds,
                              {GoalKind::AtMost, 1}, "(reference: the goal)");
      }
    }
  }
  return done;
}

}  // namespace

bool registerPkcs11Benchmarks() {
  void* library = dlopen(PELU7_BUILD_DIR "/lib/libpelu7-pkcs11.so", RTLD_NOW | RTLD_LOCAL);
  auto getList = library != nullptr ? reinterpret_cast<CK_C_GetFunctionList>(dlsym(library, "C_GetFunctionList"))
                                    : nullptr;
  if (getList == nullptr || !ok(getList(&p11))) {
    std::fprintf(stderr, "pelu7_bench: the PKCS#11 module is not built (%s); its rows are left out\n", dlerror());
    return true;
  }
  // In memory where the machine has it: the token file's flushes to disk,
  // which a real token does not have, stay out of the timed runs.
  char shmPattern[] = "/dev/shm/pelu7-bench-p11-XXXXXX";
  char tmpPattern[] = "/tmp/pelu7-bench-p11-XXXXXX";
  char* folderPattern = mkdtemp(shmPattern) != nullptr ? shmPattern : tmpPattern;
  if (folderPattern == tmpPattern && mkdtemp(tmpPattern) == nullptr) return false;
  const std::string folder = folderPattern;
  tracePath = folder + "/trace";
  const std::string readers = "USB1=vtoken:" + folder + "/token.vtoken";
  setenv("PELU7_READERS", readers.c_str(), 1);
  setenv("PELU7_PKCS11_PORTS", "1", 1);
  setenv("PELU7_APDU_TRACE", tracePath.c_str(), 1);
  // The view kept between programs goes to the run's own folder.
  setenv("XDG_CACHE_HOME", (folder + "/cache").c_str(), 1);

  // One discovery: 17 commands (the login check, the token information, the
  // index header and the records in use, the key pair and the probe past it),
  // 4 more per data object, and 4 for the token's identity; a login reads the
  // identity again (4) before it presents the PIN.
  const ClientRow oneKey[] = {
      {"pkcs11-tool --list-objects", listObjects, 17 + 4 + 5, 26},
      {"pkcs11-tool --login --sign", loginSign, 17 + 4 + 5 + 4 + 3, 33},
      {"ssh-keygen -D", sshKeygenList, 17 + 4 + 3 * 5, 31},
      {"ssh -I login", sshLogin, 17 + 4 + 4 * 5 + 4 + 3, 43},
  };
  const ClientRow sevenData[] = {
      {"pkcs11-tool --list-objects, 7 data objects", listObjects, 45 + 4 + 5, 56},
      {"ssh-keygen -D, 7 data objects", sshKeygenList, 45 + 4 + 3 * 5, 61},
  };
  bool done = prepareToken();
  if (!done) std::fprintf(stderr, "pelu7_bench: the token could not be prepared\n");
  summary().addSection(
      "PKCS#11 card commands per client run, no view kept between programs (reference: one discovery and a "
      "change check per later look)");
  for (const auto& row : oneKey) {
    std::size_t commands = 0;
    done = done && runKeptOrNot(row.client, false, commands);
    if (!done) std::fprintf(stderr, "pelu7_bench: %s failed\n", row.name);
    summary().addCount(row.name, double(commands), row.least, {GoalKind::AtMost, row.goal / row.least});
  }
  // A new program on a token that an earlier one looked at since its last
  // change: only the checks that nothing changed, the token's own files and
  // the login (reference: the same run without the kept view).
  const ClientRow kept[] = {
      {"pkcs11-tool --list-objects, kept view", listObjects, 0, 12},
      {"pkcs11-tool --login --sign, kept view", loginSign, 0, 16},
      {"ssh-keygen -D, kept view", sshKeygenList, 0, 0},
      {"ssh -I login, kept view", sshLogin, 0, 0},
  };
  const auto addKeptRows = [&](const ClientRow& row) {
    std::size_t withView = 0, without = 0;
    done = done && runKeptOrNot(row.client, true, withView) && runKeptOrNot(row.client, false, without);
    if (!done) std::fprintf(stderr, "pelu7_bench: %s failed\n", row.name);
    summary().addCount(row.name, double(withView), double(without),
                       row.goal > 0 ? Goal{GoalKind::AtMost, row.goal / double(without)} : Goal{},
                       row.goal > 0 ? "(goal: " + std::to_string(int(row.goal)) + " commands)" : "");
  };
  for (const auto& row : kept) addKeptRows(row);
  done = done && addTimedRows();
  done = done && addDataObjects(7);
  for (const auto& row : sevenData) {
    std::size_t commands = 0;
    done = done && runKeptOrNot(row.client, false, commands);
    summary().addCount(row.name, double(commands), row.least, {GoalKind::AtMost, row.goal / row.least});
  }
  done = done && addDataObjects(1);
  addKeptRows({"pkcs11-tool --list-objects, kept view, 8 data objects", listObjects, 0, 12});
  done = done && addDataObjects(31 - 8);
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
