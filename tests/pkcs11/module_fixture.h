// A fixture for the PKCS#11 module seen as applications see it: loaded with
// dlopen, reached only through C_GetFunctionList, on a virtual token of its
// own for every test.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pkcs11/pkcs11_api.h"
#include "support/test_util.h"

namespace p11test {

using Bytes = std::vector<unsigned char>;

// The module's function table (the library is loaded once per process).
CK_FUNCTION_LIST* module();

// A temporary folder removed with its files.
using testutil::TempFolder;

// Runs the pelu7 tool on a token file as another program would; its exit status.
int runTool(const std::string& tokenPath, const std::string& arguments);

// Runs the pelu7 tool on a token file; what it printed on stdout.
std::string toolOutput(const std::string& tokenPath, const std::string& arguments);
// The user PIN's tries left as the virtual token file holds them (-1: not shown).
int userPinTriesLeft(const std::string& tokenPath);
// Runs a helper program of this build (bin folder of the tests) on a token file.
int runHelper(const std::string& tokenPath, const std::string& commandLine);

struct KeyPair {
  CK_OBJECT_HANDLE publicKey = CK_INVALID_HANDLE;
  CK_OBJECT_HANDLE privateKey = CK_INVALID_HANDLE;
};

class ModuleTest : public ::testing::Test {
 protected:
  static constexpr const char* kSoPin = "87654321";
  static constexpr const char* kUserPin = "12345678";
  static constexpr CK_SLOT_ID kSlot = 0;

  // A file-backed token (tokenPath()), unless inMemory.
  explicit ModuleTest(bool inMemory = false) : inMemory_(inMemory) {}
  void SetUp() override;
  void TearDown() override;

  std::string tokenPath() const { return folder_.file("token.vtoken"); }
  // C_InitToken with kSoPin, then C_InitPIN with kUserPin.
  void initToken(const std::string& label = "test token");
  CK_SESSION_HANDLE openSession(bool readWrite = true);
  void loginUser(CK_SESSION_HANDLE session);
  KeyPair generateKeyPair(CK_SESSION_HANDLE session, const std::string& id = "",
                          const std::string& label = "");
  std::vector<CK_OBJECT_HANDLE> find(CK_SESSION_HANDLE session, std::vector<CK_ATTRIBUTE> pattern);
  std::vector<CK_OBJECT_HANDLE> findClass(CK_SESSION_HANDLE session, CK_OBJECT_CLASS objectClass);
  Bytes attribute(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type);
  // Finalizes and initialises again: a fresh look at the token.
  void restartModule();

  CK_FUNCTION_LIST* p11 = nullptr;
  TempFolder folder_;
  bool inMemory_;
};

// A formatted file-backed token whose every command is traced (the trace is
// set before the module starts and again after, as the driver reads it at
// each open), so that a test counts what its calls send.
class TracedModuleTest : public ModuleTest {
 protected:
  void SetUp() override;
  std::size_t commandsSent() const;
};

// A card-backed public key as OpenSSL sees it (for verification oracles).
Bytes bytesOf(const std::string& text);
CK_ATTRIBUTE attr(CK_ATTRIBUTE_TYPE type, const void* value, CK_ULONG length);
template <class T>
CK_ATTRIBUTE attr(CK_ATTRIBUTE_TYPE type, const T& value) {
  return attr(type, &value, sizeof value);
}

}  // namespace p11test
