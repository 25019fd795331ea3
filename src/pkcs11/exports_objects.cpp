// Entry points for objects.
#include "entry_guard.h"
#include "export.h"
#include "object_calls.h"

using namespace p11;

extern "C" {

P11_EXPORT CK_RV C_CreateObject(CK_SESSION_HANDLE session, CK_ATTRIBUTE_PTR attributes, CK_ULONG count,
                                CK_OBJECT_HANDLE_PTR object) {
  return withModule([&] { return createObject(session, attributes, count, object); });
}

P11_EXPORT CK_RV C_CopyObject(CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR) {
  return withModule([] { return CKR_FUNCTION_NOT_SUPPORTED; });
}

P11_EXPORT CK_RV C_DestroyObject(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object) {
  return withModule([&] { return destroyObject(session, object); });
}

P11_EXPORT CK_RV C_GetObjectSize(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ULONG_PTR size) {
  return withModule([&] { return getObjectSize(session, object, size); });
}

P11_EXPORT CK_RV C_GetAttributeValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_PTR attributes,
                                     CK_ULONG count) {
  return withModule([&] { return getAttributeValue(session, object, attributes, count); });
}

P11_EXPORT CK_RV C_SetAttributeValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_PTR attributes,
                                     CK_ULONG count) {
  return withModule([&] { return setAttributeValue(session, object, attributes, count); });
}

P11_EXPORT CK_RV C_FindObjectsInit(CK_SESSION_HANDLE session, CK_ATTRIBUTE_PTR attributes, CK_ULONG count) {
  return withModule([&] { return findObjectsInit(session, attributes, count); });
}

P11_EXPORT CK_RV C_FindObjects(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE_PTR objects, CK_ULONG maxCount,
                               CK_ULONG_PTR count) {
  return withModule([&] { return findObjects(session, objects, maxCount, count); });
}

P11_EXPORT CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE session) {
  return withModule([&] { return findObjectsFinal(session); });
}

}  // extern "C"
