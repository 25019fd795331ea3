// The mutex that serialises every entry point of the module inside one
// process: the operating system's, or the application's callbacks when it
// asked for them in C_Initialize.
#pragma once

#include <mutex>

#include "pkcs11_api.h"

namespace p11 {

class AppLocking {
 public:
  // Checks the C_Initialize arguments and chooses the locking; CKR_OK or the
  // error C_Initialize returns.
  CK_RV configure(const CK_C_INITIALIZE_ARGS* args);
  // Drops the application's mutex (C_Finalize, or a child of fork).
  void reset();
  void lock();
  void unlock();
  // In a child of fork: the mutex may have been copied while a thread of the
  // parent held it, and the application's mutex is the parent's. The
  // operating system's mutex is made anew and the application's forgotten
  // (not destroyed: it is not the child's).
  void rebuildInChild();

 private:
  std::mutex osMutex_;
  CK_C_INITIALIZE_ARGS callbacks_{};
  void* appMutex_ = nullptr;
};

}  // namespace p11
