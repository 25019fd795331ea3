// The card calls over the DAL exports: each DAL result becomes a named
// result, or one Cryptoki error from the table below.
#include "card.h"

#include <climits>

#include "ck_error.h"
#include "vorn_dal_pelu7.h"

namespace p11 {
namespace {

constexpr int kModuleFileType = 3;
constexpr int kModulusBytes = 128;

struct DalMapping {
  int dal;
  CK_RV slotCall;
  CK_RV sessionCall;
};

// The answer when nothing more is known; callers turn the results they
// understand (PIN tries, refused reads and writes) into named results first.
constexpr DalMapping kDalMappings[] = {
    {VORN_DAL_ERR_USER_PIN_LOCKED, CKR_PIN_LOCKED, CKR_PIN_LOCKED},
    {VORN_DAL_ERR_SUPER_PIN_LOCKED, CKR_PIN_LOCKED, CKR_PIN_LOCKED},
    {VORN_DAL_ERR_NOT_SUPPORTED, CKR_FUNCTION_NOT_SUPPORTED, CKR_FUNCTION_NOT_SUPPORTED},
    {VORN_DAL_ERR_NO_DEVICE, CKR_TOKEN_NOT_PRESENT, CKR_DEVICE_REMOVED},
    {VORN_DAL_ERR_OPEN_DEVICE, CKR_TOKEN_NOT_PRESENT, CKR_DEVICE_REMOVED},
    {VORN_DAL_ERR_RESET_DEVICE, CKR_TOKEN_NOT_PRESENT, CKR_DEVICE_REMOVED},
    {VORN_DAL_ERR_OTHER, CKR_TOKEN_NOT_RECOGNIZED, CKR_DEVICE_ERROR},
    {VORN_DAL_ERR_LOGIN, CKR_DEVICE_ERROR, CKR_DEVICE_ERROR},
    {VORN_DAL_ERR_CREATE_FILE, CKR_DEVICE_MEMORY, CKR_DEVICE_MEMORY},
    {VORN_DAL_ERR_WRITE_FILE, CKR_USER_NOT_LOGGED_IN, CKR_USER_NOT_LOGGED_IN},
    {VORN_DAL_ERR_READ_FILE, CKR_DEVICE_ERROR, CKR_DEVICE_ERROR},
    {VORN_DAL_ERR_MODULUS_LENGTH, CKR_KEY_SIZE_RANGE, CKR_KEY_SIZE_RANGE},
    {VORN_DAL_ERR_GEN_KEY_PAIR, CKR_DEVICE_ERROR, CKR_DEVICE_ERROR},
    {VORN_DAL_ERR_DATA_LENGTH, CKR_DATA_LEN_RANGE, CKR_DATA_LEN_RANGE},
    {VORN_DAL_ERR_RSA, CKR_DEVICE_ERROR, CKR_DEVICE_ERROR},
    {VORN_DAL_ERR_RANDOM, CKR_DEVICE_ERROR, CKR_DEVICE_ERROR},
    {VORN_DAL_ERR_CREATE_LOCK, CKR_CANT_LOCK, CKR_CANT_LOCK},
    {VORN_DAL_ERR_LOCK, CKR_FUNCTION_FAILED, CKR_FUNCTION_FAILED},
    {VORN_DAL_ERR_ARGUMENT, CKR_GENERAL_ERROR, CKR_GENERAL_ERROR},
};

CK_RV ckrFromDal(int dalResult, CardScope scope) {
  if (dalResult > 0) return CKR_PIN_INCORRECT;
  for (const auto& row : kDalMappings) {
    if (row.dal == dalResult) return scope == CardScope::Slot ? row.slotCall : row.sessionCall;
  }
  return CKR_DEVICE_ERROR;
}

bool isDeviceLost(int dalResult) {
  return dalResult == VORN_DAL_ERR_NO_DEVICE || dalResult == VORN_DAL_ERR_OPEN_DEVICE ||
         dalResult == VORN_DAL_ERR_RESET_DEVICE;
}

int dalRole(Role role) { return role == Role::SecurityOfficer ? VORN_DAL_SUPER_USER : VORN_DAL_USER; }

int dalAccess(Access access) {
  switch (access) {
    case Access::Anybody:
      return 0;
    case Access::User:
      return 1;
    case Access::SecurityOfficer:
      break;
  }
  return 2;
}

// Lengths handed to the DAL: its arguments are ints.
int dalLength(std::size_t length) {
  require(length <= static_cast<std::size_t>(INT_MAX), CKR_ARGUMENTS_BAD);
  return static_cast<int>(length);
}

}  // namespace

Card::Card(int portIndex, CardScope scope) : portIndex_(portIndex), scope_(scope) {
  if (!card_connection::select(portIndex)) {
    noteTokenLost(portIndex);
    fail(scope == CardScope::Slot ? CKR_TOKEN_NOT_PRESENT : CKR_DEVICE_REMOVED);
  }
  void* lock = card_connection::lockHandle();
  require(lock != nullptr, CKR_CRYPTOKI_NOT_INITIALIZED);
  check(VORN_DAL_LockMutex(lock));
  locked_ = true;
}

Card::~Card() {
  if (locked_) VORN_DAL_UnLockMutex(card_connection::lockHandle());
}

void Card::failWith(int dalResult) {
  if (isDeviceLost(dalResult)) {
    card_connection::close();
    noteTokenLost(portIndex_);
  }
  fail(ckrFromDal(dalResult, scope_));
}

void Card::check(int dalResult) {
  if (dalResult != 0) failWith(dalResult);
}

CardLogin Card::login(Role role) {
  int loggedIn = 0;
  const int rc = VORN_DAL_IsLogin(dalRole(role), &loggedIn);
  if (rc == VORN_DAL_ERR_OTHER) return CardLogin::Unformatted;
  check(rc);
  return loggedIn == 1 ? CardLogin::LoggedIn : CardLogin::LoggedOut;
}

namespace {

// The PIN answers of Login, ChangePin and UnlockPin: tries left, blocked, or
// a failure of their own.
bool pinAnswer(int rc, PinCheck& result) {
  if (rc == 0) return true;
  if (rc > 0) {
    result = {PinOutcome::Wrong, rc};
    return true;
  }
  if (rc == VORN_DAL_ERR_USER_PIN_LOCKED || rc == VORN_DAL_ERR_SUPER_PIN_LOCKED) {
    result = {PinOutcome::Locked, 0};
    return true;
  }
  return false;
}

}  // namespace

PinCheck Card::verify(Role role, const unsigned char* pin, std::size_t length) {
  PinCheck result;
  const int rc = VORN_DAL_Login(dalRole(role), pin, dalLength(length));
  if (!pinAnswer(rc, result)) failWith(rc);
  return result;
}

bool Card::logout() {
  const int rc = VORN_DAL_Logout(VORN_DAL_USER);
  if (rc == VORN_DAL_ERR_LOGOUT) return false;
  check(rc);
  return true;
}

PinCheck Card::changePin(Role role, const unsigned char* oldPin, std::size_t oldLength, const unsigned char* newPin,
                         std::size_t newLength) {
  PinCheck result;
  const int rc = VORN_DAL_ChangePin(dalRole(role), oldPin, dalLength(oldLength), newPin, dalLength(newLength));
  if (!pinAnswer(rc, result)) failWith(rc);
  return result;
}

PinCheck Card::unblockUserPin(const unsigned char* soPin, std::size_t soLength, const unsigned char* newPin,
                              std::size_t newLength) {
  PinCheck result;
  const int rc = VORN_DAL_UnlockPin(soPin, dalLength(soLength), newPin, dalLength(newLength));
  if (!pinAnswer(rc, result)) failWith(rc);
  return result;
}

void Card::format(const unsigned char* soPin, std::size_t soLength, const unsigned char* userPin,
                  std::size_t userLength) {
  check(VORN_DAL_FormatDevice(soPin, dalLength(soLength), userPin, dalLength(userLength)));
}

FileRead Card::readFile(int fileNo, std::size_t offset, unsigned char* out, std::size_t length) {
  const int rc = VORN_DAL_ReadUsrDataFile(kModuleFileType, fileNo, dalLength(offset), dalLength(length), out);
  if (rc == VORN_DAL_ERR_READ_FILE) return FileRead::Unreadable;
  if (rc == VORN_DAL_ERR_FILE_DELETED) return FileRead::Deleted;
  check(rc);
  return FileRead::Ok;
}

FileWrite Card::writeFile(int fileNo, std::size_t offset, const unsigned char* data, std::size_t length) {
  const int rc = VORN_DAL_WriteUsrDataFile(kModuleFileType, fileNo, dalLength(offset), dalLength(length), data);
  if (rc == VORN_DAL_ERR_READ_FILE || rc == VORN_DAL_ERR_WRITE_FILE) return FileWrite::Refused;
  if (rc == VORN_DAL_ERR_FILE_DELETED) return FileWrite::Deleted;
  check(rc);
  return FileWrite::Ok;
}

FileCreate Card::createFile(int fileNo, std::size_t size, Access read, Access write) {
  const int rc =
      VORN_DAL_CreateUsrDataFile(kModuleFileType, fileNo, dalLength(size), dalAccess(read), dalAccess(write));
  if (rc == VORN_DAL_ERR_CREATE_FILE) return FileCreate::Taken;
  if (rc == VORN_DAL_ERR_WRITE_FILE) return FileCreate::NotMarked;
  check(rc);
  return FileCreate::Ok;
}

bool Card::fileNumberFree(int fileNo) {
  unsigned char probe = 0;
  return readFile(fileNo, 0, &probe, 1) == FileRead::Unreadable;
}

bool Card::deleteFile(int fileNo) {
  const int rc = VORN_DAL_DeleteUsrDataFile(kModuleFileType, fileNo);
  if (rc == VORN_DAL_ERR_DELETE_FILE) return false;
  check(rc);
  return true;
}

int Card::generateKeyPair() {
  int publicId = 0;
  int privateId = 0;
  check(VORN_DAL_GenRsaKeyPair(kModulusBytes * 8, &publicId, &privateId));
  return publicId;
}

int Card::importKeyPair(const KeyParts& parts) {
  int publicId = 0;
  int privateId = 0;
  check(VORN_DAL_ImportRsaKeyPair(nullptr, parts.modulus, nullptr, parts.p, parts.q, parts.dP, parts.dQ, parts.qInv,
                                  &publicId, &privateId));
  return publicId;
}

std::optional<Bytes> Card::publicModulus(int publicId) {
  Bytes modulus(kModulusBytes);
  int length = 0;
  const int rc = VORN_DAL_GetPublicKey(publicId, modulus.data(), &length);
  if (rc == VORN_DAL_ERR_READ_FILE) return std::nullopt;
  check(rc);
  require(length == kModulusBytes, CKR_DEVICE_ERROR);
  return modulus;
}

bool Card::privateOperation(int privateId, const SecureBytes& block, SecureBytes& out) {
  out = SecureBytes(kModulusBytes);
  int outLength = 0;
  const int rc = VORN_DAL_RsaPrivateKeyRaw(privateId, block.data(), static_cast<int>(block.size()), out.data(), &outLength);
  if (rc == VORN_DAL_ERR_RSA) return false;
  check(rc);
  require(outLength == kModulusBytes, CKR_DEVICE_ERROR);
  return true;
}

void Card::random(unsigned char* out, std::size_t length) {
  require(length <= UINT_MAX, CKR_ARGUMENTS_BAD);
  check(VORN_DAL_GenRand(static_cast<unsigned int>(length), out));
}

}  // namespace p11
