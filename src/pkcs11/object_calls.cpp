#include "object_calls.h"

#include "card.h"
#include "ck_error.h"
#include "object_attributes.h"
#include "object_store.h"

namespace p11 {
namespace {

bool neverSensitive(CK_ATTRIBUTE_TYPE) { return false; }

}  // namespace

CK_RV findObjectsInit(CK_SESSION_HANDLE handle, const CK_ATTRIBUTE* attributes, CK_ULONG count) {
  Session& session = sessionByHandle(handle);
  require(!session.found.has_value(), CKR_OPERATION_ACTIVE);
  const Template pattern(attributes, count);
  Slot& slot = slotById(session.slot);
  {
    // Other programs may have added, changed or removed objects since the
    // last look; the change check reads only what moved.
    Card card(slot.portIndex, CardScope::Session);
    refreshCardObjects(card, slot);
  }
  std::vector<CK_OBJECT_HANDLE> found;
  for (const auto& [objectHandle, object] : state().objects) {
    if (isVisible(session, object) && matches(object.attributes, pattern)) found.push_back(objectHandle);
  }
  session.found = std::move(found);
  session.foundPosition = 0;
  return CKR_OK;
}

CK_RV findObjects(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE* objects, CK_ULONG maxCount, CK_ULONG* count) {
  Session& session = sessionByHandle(handle);
  require(session.found.has_value(), CKR_OPERATION_NOT_INITIALIZED);
  require(objects != nullptr && count != nullptr, CKR_ARGUMENTS_BAD);
  CK_ULONG given = 0;
  while (given < maxCount && session.foundPosition < session.found->size()) {
    objects[given++] = (*session.found)[session.foundPosition++];
  }
  *count = given;
  return CKR_OK;
}

CK_RV findObjectsFinal(CK_SESSION_HANDLE handle) {
  Session& session = sessionByHandle(handle);
  require(session.found.has_value(), CKR_OPERATION_NOT_INITIALIZED);
  session.found.reset();
  return CKR_OK;
}

CK_RV getAttributeValue(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE objectHandle, CK_ATTRIBUTE* attributes,
                        CK_ULONG count) {
  const Session& session = sessionByHandle(handle);
  const Object& object = visibleObject(session, objectHandle);
  return copyAttributes(object.attributes,
                        object.objectClass == CKO_PRIVATE_KEY ? isSensitiveAttribute : neverSensitive, attributes,
                        count);
}

CK_RV setAttributeValue(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE objectHandle, const CK_ATTRIBUTE* attributes,
                        CK_ULONG count) {
  Session& session = sessionByHandle(handle);
  Object& object = visibleObject(session, objectHandle);
  setAttributes(session, object, Template(attributes, count));
  return CKR_OK;
}

CK_RV createObject(CK_SESSION_HANDLE handle, const CK_ATTRIBUTE* attributes, CK_ULONG count,
                   CK_OBJECT_HANDLE* object) {
  Session& session = sessionByHandle(handle);
  require(object != nullptr, CKR_ARGUMENTS_BAD);
  *object = createObject(session, Template(attributes, count));
  return CKR_OK;
}

CK_RV destroyObject(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE objectHandle) {
  Session& session = sessionByHandle(handle);
  destroyObject(session, visibleObject(session, objectHandle));
  return CKR_OK;
}

CK_RV getObjectSize(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE objectHandle, CK_ULONG* size) {
  const Session& session = sessionByHandle(handle);
  visibleObject(session, objectHandle);
  require(size != nullptr, CKR_ARGUMENTS_BAD);
  *size = CK_UNAVAILABLE_INFORMATION;
  return CKR_OK;
}

}  // namespace p11
