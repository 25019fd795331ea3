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

 private:
  std::mutex osMutex_;
  CK_C_INITIALIZE_ARGS callbacks_{};
  void* appMutex_ = nullptr;
};

}  // namespace p11
