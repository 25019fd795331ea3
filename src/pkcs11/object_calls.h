// The object calls behind the C_* entry points.
#pragma once

#include "pkcs11_api.h"

namespace p11 {

CK_RV findObjectsInit(CK_SESSION_HANDLE handle, const CK_ATTRIBUTE* pattern, CK_ULONG count);
CK_RV findObjects(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE* objects, CK_ULONG maxCount, CK_ULONG* count);
CK_RV findObjectsFinal(CK_SESSION_HANDLE handle);
CK_RV getAttributeValue(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE object, CK_ATTRIBUTE* attributes, CK_ULONG count);
CK_RV setAttributeValue(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE object, const CK_ATTRIBUTE* attributes,
                        CK_ULONG count);
CK_RV createObject(CK_SESSION_HANDLE handle, const CK_ATTRIBUTE* attributes, CK_ULONG count, CK_OBJECT_HANDLE* object);
CK_RV destroyObject(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE object);
CK_RV getObjectSize(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE object, CK_ULONG* size);

}  // namespace p11
