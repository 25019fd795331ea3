// The one guard every entry point goes through: it serialises the call inside
// the process, refuses calls before C_Initialize (and in a child of fork that
// has not initialised again), and turns every failure into a CK_RV.
#pragma once

#include <new>

#include "ck_error.h"
#include "pkcs11_api.h"

namespace p11 {

class AppLocking;
AppLocking& appLocking();

// Holds the application lock; CKR_CRYPTOKI_NOT_INITIALIZED when the module
// is not initialised in this process.
class ModuleLock {
 public:
  ModuleLock();
  ~ModuleLock();
  ModuleLock(const ModuleLock&) = delete;
  ModuleLock& operator=(const ModuleLock&) = delete;
};

template <class Body>
CK_RV guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const CkError& error) {
    return error.rv;
  } catch (const std::bad_alloc&) {
    return CKR_HOST_MEMORY;
  } catch (...) {
    return CKR_GENERAL_ERROR;
  }
}

template <class Body>
CK_RV withModule(Body&& body) noexcept {
  return guarded([&]() -> CK_RV {
    ModuleLock lock;
    return body();
  });
}

}  // namespace p11
