// Entry points for message digests.
#include "crypto_calls.h"
#include "entry_guard.h"
#include "export.h"

using namespace p11;

extern "C" {

P11_EXPORT CK_RV C_DigestInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism) {
  return withModule([&] { return digestInit(session, mechanism); });
}

P11_EXPORT CK_RV C_Digest(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG length, CK_BYTE_PTR digest,
                          CK_ULONG_PTR digestLength) {
  return withModule([&] { return digestFinish(session, data, length, digest, digestLength, true); });
}

P11_EXPORT CK_RV C_DigestUpdate(CK_SESSION_HANDLE session, CK_BYTE_PTR part, CK_ULONG length) {
  return withModule([&] { return digestUpdate(session, part, length); });
}

P11_EXPORT CK_RV C_DigestKey(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key) {
  return withModule([&] { return digestKey(session, key); });
}

P11_EXPORT CK_RV C_DigestFinal(CK_SESSION_HANDLE session, CK_BYTE_PTR digest, CK_ULONG_PTR digestLength) {
  return withModule([&] { return digestFinish(session, nullptr, 0, digest, digestLength, false); });
}

}  // extern "C"
