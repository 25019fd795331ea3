#include "dal_adapter.h"

#include <iterator>

#include "ck_error.h"
#include "vorn_dal_pelu7.h"

namespace p11 {
namespace {

struct DalMapping {
  int dal;
  CK_RV slotCall;
  CK_RV sessionCall;
};

// Results a caller checks for itself before using this table (the PIN tries
// left, -161/-127/-128 after a login check, -123 after a probe) still have a
// row here: the answer when nothing more is known.
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

int currentPort = -1;
void* cardLock = nullptr;

}  // namespace

CK_RV ckrFromDal(int dalResult, DalScope scope) {
  if (dalResult == 0) return CKR_OK;
  if (dalResult > 0) return CKR_PIN_INCORRECT;  // tries left after a wrong PIN
  for (const auto& row : kDalMappings) {
    if (row.dal == dalResult) return scope == DalScope::Slot ? row.slotCall : row.sessionCall;
  }
  return CKR_DEVICE_ERROR;
}

void check(int dalResult, DalScope scope) {
  if (dalResult == 0) return;
  if (isDeviceLost(dalResult)) closePort();
  fail(ckrFromDal(dalResult, scope));
}

bool isDeviceLost(int dalResult) {
  return dalResult == VORN_DAL_ERR_NO_DEVICE || dalResult == VORN_DAL_ERR_OPEN_DEVICE ||
         dalResult == VORN_DAL_ERR_RESET_DEVICE;
}

int openPortIndex() { return currentPort; }

int selectPort(int portIndex) {
  if (currentPort == portIndex) return 0;
  currentPort = -1;
  const int rc = VORN_DAL_InitializeEx(portIndex);
  if (rc == 0) currentPort = portIndex;
  return rc;
}

void closePort() {
  VORN_DAL_Finalize();
  currentPort = -1;
}

void forgetInheritedPort() {
  // The driver keeps the parent's connection alive in a child and only drops
  // the handle, so closing here never disturbs the parent's reader.
  VORN_DAL_Finalize();
  currentPort = -1;
  // The lock handle stays: it maps the same shared object in the child.
}

void createCardLock() {
  if (cardLock == nullptr) check(VORN_DAL_CreateMutex(&cardLock), DalScope::Slot);
}

void destroyCardLock() {
  if (cardLock != nullptr) VORN_DAL_DestroyMutex(cardLock);
  cardLock = nullptr;
}

CardAccess::CardAccess(int portIndex, DalScope scope) {
  check(selectPort(portIndex), scope);
  require(cardLock != nullptr, CKR_CRYPTOKI_NOT_INITIALIZED);
  check(VORN_DAL_LockMutex(cardLock), scope);
  locked_ = true;
}

CardAccess::~CardAccess() {
  if (locked_) VORN_DAL_UnLockMutex(cardLock);
}

}  // namespace p11
