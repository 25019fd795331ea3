// Failures inside the module travel as a CkError carrying the Cryptoki result;
// the one guard every entry point goes through turns it back into a CK_RV, so
// no exception ever crosses the C boundary.
#pragma once

#include "pkcs11_api.h"

namespace p11 {

struct CkError {
  CK_RV rv;
};

[[noreturn]] inline void fail(CK_RV rv) { throw CkError{rv}; }

inline void require(bool condition, CK_RV rv) {
  if (!condition) fail(rv);
}

}  // namespace p11
