// Formatting: authenticate to the card, erase everything under the MF and
// build the library's layout with the caller's PINs, then reset the card.
#include <cstdint>

#include "card_layout.h"
#include "connection.h"
#include "driver/tkrdr.h"
#include "external_auth.h"
#include "transport.h"

namespace pelu7 {
namespace {

// The card maker's external-authentication key 00 on a delivered card, and
// the library's own key that formatting installs in its place.
constexpr unsigned char kTransportKey[] = "QZXKWVNMRTJoupHB";
constexpr unsigned char kOwnExternalKey[] = "RQWTYUPLMKNBHGFE";
constexpr int kExternalKeySize = 16;

// SELECT of the MF, the erase under it, and the CREATE FILE of the key file
// (type 3F, 0x67 bytes, four access bytes).
constexpr std::uint8_t kSelectMf[] = {card::kSelectHeader[0],
                                      card::kSelectHeader[1],
                                      card::kSelectHeader[2],
                                      card::kSelectHeader[3],
                                      card::kSelectHeader[4],
                                      MF >> 8,
                                      MF & 0xFF};
constexpr auto kEraseMf = card::kEraseHeader;
constexpr std::uint8_t kCreateKeyFile[] = {card::kCreateFileHeader[0],
                                           card::kCreateFileHeader[1],
                                           KeyFile >> 8,
                                           KeyFile & 0xFF,
                                           card::kCreateFileDataLength,
                                           card::kFileTypeKeyFile,
                                           0x00,
                                           0x67,
                                           0x01,
                                           0xFA,
                                           card::kAccessNever,
                                           card::kAccessNever};
using card::kWriteKeyHeader;
constexpr std::uint8_t kAttributeSize = 5;  // type byte and four attribute bytes

constexpr int kAtrBufferSize = 64;

int send(std::span<const std::uint8_t> bytes) {
  CommandApdu command(bytes);
  Response response;
  return exchange(command, response);
}

int writeKey(const KeyObject& object, std::span<const std::uint8_t> value) {
  CommandApdu write(kWriteKeyHeader);
  write.append(object.keyId).append(static_cast<std::uint8_t>(kAttributeSize + value.size()));
  write.append(object.type).append(object.attributes).append(value);
  Response response;
  return exchange(write, response);
}

// The transport helpers answer 0 for success; card commands answer 9000.
int helperStatus(int result) { return result == 0 ? kSwOk : result; }

bool softwareFailure(int authResult) { return authResult == -1 || authResult == kAuthSoftwareFailure; }

// Authenticates with the transport key, else with the library's own key.
// False only when the software step failed; a refusal by the card is left to
// the erase, which the card then refuses.
bool authenticateForErase() {
  int result = TransportKeyAuth(kTransportKey, kExternalKeySize, VornExternalKey);
  if (result == kSwOk) return true;
  if (softwareFailure(result)) return false;
  result = TransportKeyAuth(kOwnExternalKey, kExternalKeySize, VornExternalKey);
  return !softwareFailure(result);
}

}  // namespace
}  // namespace pelu7

using namespace pelu7;

namespace {

// One step of formatting: 0 when the card accepted it; else logs the step's
// text with the status at the caller's line and gives the step's code.
int checkStep(int status, const char* failureFormat, int code,
              std::source_location site = std::source_location::current()) {
  if (status == kSwOk) return 0;
  logFormatted(failureFormat, status, site);
  return cardFailure(code);
}

}  // namespace

extern "C" VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_FormatDevice(const unsigned char* superPin, int superPinLen,
                                                                   const unsigned char* userPin, int userPinLen) {
  if (int rc = openDevice(); rc != 0) return rc;
  if (superPinLen < 0 || userPinLen < 0) {
    logText("******>pin len");
    return VORN_DAL_ERR_ARGUMENT;
  }

  // The erase and the objects of the key file, each step only while the
  // steps before it succeeded.
  int rc = checkStep(send(kSelectMf), "Select MF error:0X%X", VORN_DAL_ERR_OTHER);
  if (rc == 0 && !authenticateForErase()) rc = cardFailure(VORN_DAL_ERR_OTHER);
  if (rc == 0) rc = checkStep(send(kEraseMf), "Del MF error:0X%X", VORN_DAL_ERR_ERASE);
  if (rc == 0) rc = checkStep(send(kCreateKeyFile), "Create Key File error:0X%X", VORN_DAL_ERR_CREATE_KEY_FILE);
  if (rc == 0) {
    rc = checkStep(writeKey(kVornExternalKeyObject, {kOwnExternalKey, kExternalKeySize}),
                   "Create VORN EXTERNAL error:0X%X", VORN_DAL_ERR_WRITE_KEY_FILE);
  }
  if (rc != 0) return rc;

  PinValue value;
  derivePin(userPin, userPinLen, value);
  rc = checkStep(writeKey(kUserPinObject, value.bytes), "Create User Pin error:0X%X", VORN_DAL_ERR_WRITE_PIN);
  if (rc != 0) return rc;
  derivePin(superPin, superPinLen, value);
  rc = checkStep(writeKey(kSuperUserPinObject, value.bytes), "Create Super User Pin error:0X%X",
                 VORN_DAL_ERR_WRITE_PIN);
  if (rc != 0) return rc;
  deriveFixedPin(kLogoutPinText, value);
  rc = checkStep(writeKey(kLogoutPinObject, value.bytes), "Create Logout Pin error:0X%X", VORN_DAL_ERR_WRITE_PIN);
  if (rc != 0) return rc;
  deriveFixedPin(kUnlockPinText, value);
  rc = checkStep(writeKey(kUnlockPinKeyObject, value.bytes), "Create Unlock Pin error:0X%X", VORN_DAL_ERR_WRITE_PIN);
  if (rc != 0) return rc;

  rc = checkStep(helperStatus(PELU7_CreateFileBin(PinCheckFlagFile, kFlagFileSize, kAccessUser, kAccessUser)),
                 "Create Pin Check Flag File error:0X%X", VORN_DAL_ERR_CREATE_FILE);
  if (rc != 0) return rc;
  int result = PELU7_CreateFileBin(SuperUserPinCheckFlagFile, kFlagFileSize, kAccessSuperUser, kAccessSuperUser);
  if (result != 0) {
    logText("******>create pin flag file");
    logFormatted("Create Super User Pin Check Flag File error:0X%X", result);
    return cardFailure(VORN_DAL_ERR_CREATE_FILE);
  }
  rc = checkStep(
      helperStatus(PELU7_CreateFileBin(KeyPairCounterFile, kKeyPairCounterFileSize, kAccessFree, kAccessUser)),
      "Create Global Info File error:0X%X", VORN_DAL_ERR_CREATE_FILE);
  if (rc != 0) return rc;
  // The first key pair gets ids 0001 and 0002; bytes 2-7 are not interpreted.
  const unsigned char counter[kKeyPairCounterFileSize] = {0x00, 0x01};
  result = PELU7_WriteFileBin(KeyPairCounterFile, 0, counter, sizeof counter);
  if (result != 0) {
    logText("******>write global info file");
    logFormatted("Write Global Info error:0X%X", result);
    return cardFailure(VORN_DAL_ERR_WRITE_FILE);
  }

  unsigned char atrLength = 0;
  unsigned char atr[kAtrBufferSize];
  if (ICC_reset(readerHandle, &atrLength, atr) != kSwOk) {
    logText("******>ICC_reset");
    return VORN_DAL_ERR_RESET_DEVICE;
  }
  return 0;
}
