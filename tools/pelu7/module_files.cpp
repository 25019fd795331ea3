#include "module_files.h"

#include <array>
#include <cstring>
#include <iostream>
#include <string>

#include "common/big_endian.h"
#include "common/token_identity.h"
#include "tool_errors.h"
#include "vorn_dal_pelu7.h"

namespace pelu7tool {
namespace {

// The module's layout: file numbers, and the head of its token information
// and index files (a 4-byte magic, a version byte; in the index, the change
// counter as a 32-bit big-endian number at offset 8).
constexpr int kModuleFileType = 3;
// The token's identity, just below the payloads, is the module's too: a write
// there would make the token another one to every program.
constexpr int kFirstModuleFileNo = common::kIdentityFileNo;
constexpr int kLastModuleFileNo = 511;
constexpr int kTokenInfoFileNo = 511;
constexpr int kIndexFileNo = 510;
constexpr char kTokenInfoMagic[] = "P11T";
constexpr char kIndexMagic[] = "P11I";
constexpr unsigned char kModuleFileVersion = 1;
constexpr int kIndexHeaderLength = 16;
constexpr int kCounterOffset = 8;

using Head = std::array<unsigned char, kIndexHeaderLength>;

// Reads the head of a module file; false when it is absent, unreadable or
// not the module's.
bool readModuleHead(int number, const char* magic, int length, Head& head) {
  if (VORN_DAL_ReadUsrDataFile(kModuleFileType, number, 0, length, head.data()) != 0) return false;
  return std::memcmp(head.data(), magic, 4) == 0 && head[4] == kModuleFileVersion;
}

bool tokenCarriesModuleFiles() {
  Head head{};
  return readModuleHead(kTokenInfoFileNo, kTokenInfoMagic, 5, head) ||
         readModuleHead(kIndexFileNo, kIndexMagic, 5, head);
}

}  // namespace

bool inModuleRange(int type, int number) {
  return type == kModuleFileType && number >= kFirstModuleFileNo && number <= kLastModuleFileNo;
}

bool guardModuleFile(const ParsedArgs& args, int type, int number) {
  if (!inModuleRange(type, number) || !tokenCarriesModuleFiles()) return false;
  if (!args.has("force")) {
    throw ToolError("file " + std::to_string(type) + "/" + std::to_string(number) +
                    " is kept by the PKCS#11 module (libpelu7-pkcs11.so): changing it here would leave "
                    "running programs with stale objects and can corrupt the module's index; use a "
                    "PKCS#11 client, or add --force to change it anyway");
  }
  return true;
}

void moveModuleCounter() {
  Head head{};
  if (!readModuleHead(kIndexFileNo, kIndexMagic, kIndexHeaderLength, head)) return;
  unsigned char counter[4];
  common::putBigEndian32(counter, common::getBigEndian32(&head[kCounterOffset]) + 1);
  if (VORN_DAL_WriteUsrDataFile(kModuleFileType, kIndexFileNo, kCounterOffset, 4, counter) != 0) {
    std::cerr << "pelu7: warning: could not move the PKCS#11 module's change counter (it needs --login user); "
                 "running programs that use the module may keep serving what they read before\n";
  }
}

}  // namespace pelu7tool
