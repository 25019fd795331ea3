#include "app_locking.h"

#include <new>

namespace p11 {

CK_RV AppLocking::configure(const CK_C_INITIALIZE_ARGS* args) {
  reset();
  if (args == nullptr) return CKR_OK;
  if (args->pReserved != nullptr) return CKR_ARGUMENTS_BAD;
  const int given = (args->CreateMutex != nullptr) + (args->DestroyMutex != nullptr) +
                    (args->LockMutex != nullptr) + (args->UnlockMutex != nullptr);
  if (given != 0 && given != 4) return CKR_ARGUMENTS_BAD;
  // With CKF_OS_LOCKING_OK, or without callbacks, the operating system's
  // mutex serves; the callbacks are used only when the application offers
  // them and does not allow the operating system's.
  if (given == 0 || (args->flags & CKF_OS_LOCKING_OK) != 0) return CKR_OK;
  void* mutex = nullptr;
  if (args->CreateMutex(&mutex) != CKR_OK || mutex == nullptr) return CKR_CANT_LOCK;
  callbacks_ = *args;
  appMutex_ = mutex;
  return CKR_OK;
}

void AppLocking::reset() {
  if (appMutex_ != nullptr) callbacks_.DestroyMutex(appMutex_);
  appMutex_ = nullptr;
  callbacks_ = CK_C_INITIALIZE_ARGS{};
}

void AppLocking::lock() {
  if (appMutex_ != nullptr) {
    callbacks_.LockMutex(appMutex_);
  } else {
    osMutex_.lock();
  }
}

void AppLocking::unlock() {
  if (appMutex_ != nullptr) {
    callbacks_.UnlockMutex(appMutex_);
  } else {
    osMutex_.unlock();
  }
}

void AppLocking::rebuildInChild() {
  new (&osMutex_) std::mutex;
  appMutex_ = nullptr;
  callbacks_ = CK_C_INITIALIZE_ARGS{};
}

}  // namespace p11
