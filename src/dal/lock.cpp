// The exports of the lock "SemVornDal" shared by the processes of one user
// (behaviour in platform/named_lock.h).
//
// Failures. LockMutex returns -191 when the operating system fails it or
// the holder cannot be decided in time (a damaged lock object);
// LockMutex and UnLockMutex return -191 when the handle is null; 0 otherwise. CreateMutex returns -190 when the
// handle cannot be allocated (logging "******>malloc") or the lock cannot be
// opened, reserved, mapped or trusted.
#include "log.h"
#include "platform/named_lock.h"
#include "vorn_dal_pelu7.h"

namespace {

constexpr const char* kLockName = "SemVornDal";

platform::NamedLock& handleOf(void* lock) { return *static_cast<platform::NamedLock*>(lock); }

}  // namespace

extern "C" VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_CreateMutex(void** lockOut) {
  if (lockOut == nullptr) return VORN_DAL_ERR_CREATE_LOCK;
  platform::NamedLock* lock = nullptr;
  const platform::NamedLockOpening opening = platform::openNamedLock(kLockName, lock);
  if (opening == platform::NamedLockOpening::kOutOfMemory) {
    pelu7::logText("******>malloc");
    return VORN_DAL_ERR_CREATE_LOCK;
  }
  if (opening != platform::NamedLockOpening::kOpened) return VORN_DAL_ERR_CREATE_LOCK;
  *lockOut = lock;
  return 0;
}

extern "C" VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_LockMutex(void* lock) {
  if (lock == nullptr) return VORN_DAL_ERR_LOCK;
  return platform::lockNamedLock(handleOf(lock)) ? 0 : VORN_DAL_ERR_LOCK;
}

extern "C" VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_UnLockMutex(void* lock) {
  if (lock == nullptr) return VORN_DAL_ERR_LOCK;
  return platform::unlockNamedLock(handleOf(lock)) ? 0 : VORN_DAL_ERR_LOCK;
}

extern "C" VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_DestroyMutex(void* lock) {
  // Only this handle goes; a lock held through it stays held.
  platform::closeNamedLock(static_cast<platform::NamedLock*>(lock));
  return 0;
}
