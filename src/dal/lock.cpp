// The exports of the lock "SemVornDal" shared by the processes of one user
// (behaviour in platform/named_lock.h).
//
// Failures. LockMutex returns -191 when the operating system fails it or
// the holder cannot be decided in time (a damaged lock object);
// LockMutex and UnLockMutex return -191 when the handle is null; 0 otherwise. CreateMutex returns -190 when the
// handle cannot be allocated (logging "******>malloc") or the lock cannot be
// opened, reserved, mapped or trusted.
#include "log.h"
#include "platform/driver_entry.h"
#include "platform/named_lock.h"
#include "platform/reader_driver.h"
#include "vorn_dal_pelu7.h"

namespace {

constexpr const char* kLockName = "SemVornDal";

// The driver's optional fifth function (driver/tkrdr.h).
constexpr const char* kDriverReleaseName = "ICC_release";
using TkrdrReleaseFunction = int(TKRDR_CALL*)();

// The driver's release entry, looked up once; with a driver without it,
// the card is given back by the driver's own idle timer.
TkrdrReleaseFunction driverRelease() {
  static const TkrdrReleaseFunction found = reinterpret_cast<TkrdrReleaseFunction>(
      platform::findEntryBeside(reinterpret_cast<void (*)()>(&CT_open), kDriverReleaseName));
  return found;
}

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
  // The card first, then the lock: whoever takes the lock next finds the
  // card free for its first command.
  if (TkrdrReleaseFunction release = driverRelease()) release();
  return platform::unlockNamedLock(handleOf(lock)) ? 0 : VORN_DAL_ERR_LOCK;
}

extern "C" VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_DestroyMutex(void* lock) {
  // Only this handle goes; a lock held through it stays held.
  platform::closeNamedLock(static_cast<platform::NamedLock*>(lock));
  return 0;
}
