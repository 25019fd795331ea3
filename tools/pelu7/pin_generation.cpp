#include "pin_generation.h"

#include <openssl/rand.h>

#include "common/token_identity.h"
#include "platform/pin_generations.h"
#include "vorn_dal_pelu7.h"

namespace pelu7tool {
namespace {

constexpr int kAnybody = 0;
// The module's own files: user data files of type 3 from 511 down to 256,
// and its identity file.
constexpr int kModuleFileType = 3;
constexpr int kFirstModuleFileNo = 256;
constexpr int kLastModuleFileNo = 511;

// The token's identity, 0 when it has none yet (no program of this project
// has seen it since its format: nobody keeps a PIN of it).
common::TokenIdentity readIdentity() {
  common::IdentityBytes bytes{};
  if (VORN_DAL_ReadUsrDataFile(common::kIdentityFileType, common::kIdentityFileNo, 0,
                               static_cast<int>(bytes.size()), bytes.data()) != 0) {
    return 0;
  }
  return common::decodeIdentity(bytes.data()).value_or(0);
}

platform::PinRole roleOf(int role) {
  return role == VORN_DAL_SUPER_USER ? platform::PinRole::kSecurityOfficer : platform::PinRole::kUser;
}

}  // namespace

void notePinResult(int role, int result) {
  const common::TokenIdentity identity = readIdentity();
  if (identity == 0) return;
  platform::PinTriesSeen seen;
  if (result >= 1 && result <= 14) {
    seen.left = result;
  } else if (result == -1 || result == -2) {
    seen.locked = true;
  } else if (result != 0) {
    return;  // not a PIN answer
  }
  if (result == 0) platform::movePinGeneration(identity, roleOf(role));
  platform::notePinTries(identity, roleOf(role), seen);
}

void giveNewIdentity() {
  unsigned char random[8];
  common::TokenIdentity identity = 0;
  while (identity == 0) {
    if (RAND_bytes(random, sizeof random) != 1) return;  // the module draws one when it first looks
    for (unsigned char byte : random) identity = identity << 8 | byte;
  }
  // A module may have been first (between the format and now): its
  // identity stands.
  if (VORN_DAL_CreateUsrDataFile(common::kIdentityFileType, common::kIdentityFileNo,
                                 static_cast<int>(common::kIdentityFileSize), kAnybody, kAnybody) != 0) {
    return;
  }
  const auto bytes = common::encodeIdentity(identity);
  VORN_DAL_WriteUsrDataFile(common::kIdentityFileType, common::kIdentityFileNo, 0, static_cast<int>(bytes.size()),
                            bytes.data());
}

}  // namespace pelu7tool

namespace pelu7tool {

void noteFileChange(int fileType, int fileNo) {
  if (fileType != kModuleFileType || fileNo < kFirstModuleFileNo || fileNo > kLastModuleFileNo) return;
  common::IdentityBytes bytes{};
  if (VORN_DAL_ReadUsrDataFile(common::kIdentityFileType, common::kIdentityFileNo, 0,
                               static_cast<int>(bytes.size()), bytes.data()) != 0 ||
      !common::decodeIdentity(bytes.data())) {
    return;  // no module has seen this token since its format
  }
  const auto counter = common::encodeChangeCounter(common::decodeChangeCounter(bytes.data()) + 1);
  VORN_DAL_WriteUsrDataFile(common::kIdentityFileType, common::kIdentityFileNo,
                            static_cast<int>(common::kChangeCounterOffset), static_cast<int>(counter.size()),
                            counter.data());
}

}  // namespace pelu7tool
