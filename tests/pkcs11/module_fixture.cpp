#include "module_fixture.h"

#include <dlfcn.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace p11test {

CK_FUNCTION_LIST* module() {
  static CK_FUNCTION_LIST* list = [] {
    void* library = dlopen(PELU7_BUILD_DIR "/lib/libpelu7-pkcs11.so", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) throw std::runtime_error(dlerror());
    auto getList = reinterpret_cast<CK_RV (*)(CK_FUNCTION_LIST_PTR_PTR)>(dlsym(library, "C_GetFunctionList"));
    if (getList == nullptr) throw std::runtime_error("no C_GetFunctionList");
    CK_FUNCTION_LIST* table = nullptr;
    if (getList(&table) != CKR_OK) throw std::runtime_error("C_GetFunctionList failed");
    return table;
  }();
  return list;
}

int runTool(const std::string& tokenPath, const std::string& arguments) {
  const std::string command = std::string(PELU7_BUILD_DIR "/bin/pelu7 --reader vtoken:") + tokenPath + " " +
                              arguments + " >/dev/null 2>&1";
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string toolOutput(const std::string& tokenPath, const std::string& arguments) {
  const std::string command =
      std::string(PELU7_BUILD_DIR "/bin/pelu7 --reader vtoken:") + tokenPath + " " + arguments + " 2>/dev/null";
  std::string out;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[512];
    while (std::size_t n = fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
    pclose(pipe);
  }
  return out;
}

int userPinTriesLeft(const std::string& tokenPath) {
  const std::string shown = toolOutput(tokenPath, "vtoken show " + tokenPath);
  // "  01  PIN (3A), attributes F0 EF 0A 66, N of 6 tries left"
  const std::size_t line = shown.find("\n  01  PIN");
  if (line == std::string::npos) return -1;
  const std::size_t end = shown.find('\n', line + 1);
  if (shown.substr(line, end - line).find("blocked") != std::string::npos) return 0;
  const std::size_t of = shown.find(" of ", line);
  const std::size_t number = of == std::string::npos ? of : shown.rfind(' ', of - 1);
  if (number == std::string::npos) return -1;
  return std::atoi(shown.c_str() + number + 1);
}

int runHelper(const std::string& tokenPath, const std::string& commandLine) {
  const std::string command = "PELU7_READERS='USB1=vtoken:" + tokenPath + "' PELU7_APDU_TRACE= " +
                              std::string(PELU7_BUILD_DIR "/bin/") + commandLine + " >/dev/null 2>&1";
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

CK_ATTRIBUTE attr(CK_ATTRIBUTE_TYPE type, const void* value, CK_ULONG length) {
  return CK_ATTRIBUTE{type, const_cast<void*>(value), length};
}

void ModuleTest::SetUp() {
  p11 = module();
  const std::string readers = inMemory_ ? "USB1=vtoken:" : "USB1=vtoken:" + tokenPath();
  setenv("PELU7_READERS", readers.c_str(), 1);
  setenv("PELU7_PKCS11_PORTS", "1", 1);
  unsetenv("PELU7_APDU_TRACE");
  // The view kept between programs lives in the test's own folder.
  setenv("XDG_CACHE_HOME", folder_.file("cache").c_str(), 1);
  unsetenv("PELU7_P11_CACHE");
  ASSERT_EQ(p11->C_Initialize(nullptr), CKR_OK);
}

void ModuleTest::TearDown() { p11->C_Finalize(nullptr); }

void ModuleTest::restartModule() {
  ASSERT_EQ(p11->C_Finalize(nullptr), CKR_OK);
  ASSERT_EQ(p11->C_Initialize(nullptr), CKR_OK);
}

void ModuleTest::initToken(const std::string& label) {
  unsigned char paddedLabel[32];
  std::fill(std::begin(paddedLabel), std::end(paddedLabel), ' ');
  std::copy(label.begin(), label.end(), paddedLabel);
  Bytes so = bytesOf(kSoPin);
  ASSERT_EQ(p11->C_InitToken(kSlot, so.data(), so.size(), paddedLabel), CKR_OK);
  CK_SESSION_HANDLE session = openSession();
  ASSERT_EQ(p11->C_Login(session, CKU_SO, so.data(), so.size()), CKR_OK);
  Bytes user = bytesOf(kUserPin);
  ASSERT_EQ(p11->C_InitPIN(session, user.data(), user.size()), CKR_OK);
  ASSERT_EQ(p11->C_CloseSession(session), CKR_OK);
}

CK_SESSION_HANDLE ModuleTest::openSession(bool readWrite) {
  CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
  const CK_FLAGS flags = CKF_SERIAL_SESSION | (readWrite ? CKF_RW_SESSION : 0);
  EXPECT_EQ(p11->C_OpenSession(kSlot, flags, nullptr, nullptr, &session), CKR_OK);
  return session;
}

void ModuleTest::loginUser(CK_SESSION_HANDLE session) {
  Bytes pin = bytesOf(kUserPin);
  ASSERT_EQ(p11->C_Login(session, CKU_USER, pin.data(), pin.size()), CKR_OK);
}

KeyPair ModuleTest::generateKeyPair(CK_SESSION_HANDLE session, const std::string& id, const std::string& label) {
  CK_MECHANISM mechanism{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
  CK_ULONG bits = 1024;
  static const CK_BBOOL onToken = CK_TRUE;
  std::vector<CK_ATTRIBUTE> publicTemplate{attr(CKA_MODULUS_BITS, bits), attr(CKA_TOKEN, onToken)};
  std::vector<CK_ATTRIBUTE> privateTemplate{attr(CKA_TOKEN, onToken)};
  if (!id.empty()) privateTemplate.push_back(attr(CKA_ID, id.data(), id.size()));
  if (!label.empty()) privateTemplate.push_back(attr(CKA_LABEL, label.data(), label.size()));
  KeyPair pair;
  EXPECT_EQ(p11->C_GenerateKeyPair(session, &mechanism, publicTemplate.data(), publicTemplate.size(),
                                   privateTemplate.data(), privateTemplate.size(), &pair.publicKey,
                                   &pair.privateKey),
            CKR_OK);
  return pair;
}

std::vector<CK_OBJECT_HANDLE> ModuleTest::find(CK_SESSION_HANDLE session, std::vector<CK_ATTRIBUTE> pattern) {
  std::vector<CK_OBJECT_HANDLE> found;
  EXPECT_EQ(p11->C_FindObjectsInit(session, pattern.data(), pattern.size()), CKR_OK);
  CK_OBJECT_HANDLE batch[8];
  CK_ULONG count = 0;
  do {
    EXPECT_EQ(p11->C_FindObjects(session, batch, 8, &count), CKR_OK);
    found.insert(found.end(), batch, batch + count);
  } while (count == 8);
  EXPECT_EQ(p11->C_FindObjectsFinal(session), CKR_OK);
  return found;
}

std::vector<CK_OBJECT_HANDLE> ModuleTest::findClass(CK_SESSION_HANDLE session, CK_OBJECT_CLASS objectClass) {
  return find(session, {attr(CKA_CLASS, objectClass)});
}

Bytes ModuleTest::attribute(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
  CK_ATTRIBUTE query{type, nullptr, 0};
  EXPECT_EQ(p11->C_GetAttributeValue(session, object, &query, 1), CKR_OK);
  if (query.ulValueLen == CK_UNAVAILABLE_INFORMATION) return {};
  Bytes value(query.ulValueLen);
  query.pValue = value.data();
  EXPECT_EQ(p11->C_GetAttributeValue(session, object, &query, 1), CKR_OK);
  return value;
}

void TracedModuleTest::SetUp() {
  setenv("PELU7_APDU_TRACE", folder_.file("trace").c_str(), 1);
  ModuleTest::SetUp();
  setenv("PELU7_APDU_TRACE", folder_.file("trace").c_str(), 1);
  initToken();
}

std::size_t TracedModuleTest::commandsSent() const {
  std::ifstream trace(folder_.file("trace"));
  std::size_t count = 0;
  for (std::string line; std::getline(trace, line);) count += line.rfind("> ", 0) == 0;
  return count;
}

}  // namespace p11test
