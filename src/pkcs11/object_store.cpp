#include "object_store.h"

#include <set>

#include "card.h"
#include "card_login.h"
#include "ck_error.h"
#include "crypto_calls.h"
#include "object_attributes.h"
#include "template_rules.h"

namespace p11 {
namespace {

// Handles name objects: a card object is its token (identity) and its place
// there. Within one identity, key pair ids and payload file numbers are
// never given to another object (key pairs are never deleted, deleted
// payload files never reused), so a handle never answers for another object.
std::string locationKey(const Slot& slot, const std::string& what, int ref) {
  return std::to_string(slot.id) + ":" + std::to_string(slot.view.identity) + ":" + what + ":" + std::to_string(ref);
}

CK_OBJECT_HANDLE placeCardObject(const std::string& key, Object object, std::set<CK_OBJECT_HANDLE>& seen) {
  auto& module = state();
  auto [at, inserted] = module.cardHandles.emplace(key, 0);
  if (inserted) at->second = module.nextObject++;
  object.handle = at->second;
  module.objects[object.handle] = std::move(object);
  seen.insert(at->second);
  return at->second;
}

const IndexRecord* findRecord(const IndexFile& index, RecordKind kind, int ref) {
  for (const auto& record : index.records) {
    if (record.kind == kind && record.ref == ref) return &record;
  }
  return nullptr;
}

std::size_t recordSlot(const IndexFile& index, RecordKind kind, int ref) {
  for (std::size_t i = 0; i < index.records.size(); ++i) {
    if (index.records[i].kind == kind && index.records[i].ref == ref) return i;
  }
  return freeIndexSlot(index);
}

Bytes defaultKeyLabel(int publicId) { return textValue("PELU7 key " + std::to_string(publicId)); }

// The card refuses the index write without the user's login; an earlier
// check keeps a refused write from leaving a half-made file behind.
void requireWritableIndex(Card& card, Slot& slot) {
  require(userLoggedIn(slot), CKR_USER_NOT_LOGGED_IN);
  ensureCardLogin(card, slot);
}

Bytes boundedBytes(const Bytes* value, std::size_t limit) {
  if (value == nullptr) return {};
  require(value->size() <= limit, CKR_ATTRIBUTE_VALUE_INVALID);
  return *value;
}

}  // namespace

IndexFile& indexToWrite(Card& card, Slot& slot) {
  freshen(card, slot);
  // Never written from a stale copy: the whole index is read again and
  // compared, so that a change made by a writer that did not move the
  // generation (a tool writing the file directly) is seen, not undone.
  IndexFile now = readIndex(card);
  CardView& view = slot.view;
  if (now.state != view.index.state || !(now.header == view.index.header) || now.records != view.index.records) {
    view.index = std::move(now);
    view.unusablePayloads.clear();
    ++view.changes;
  }
  return view.index;
}

void syncObjects(Slot& slot) {
  const std::pair<std::uint64_t, bool> source{slot.view.changes, userLoggedIn(slot)};
  if (slot.objectsBuiltFrom == source) return;
  auto& module = state();
  const CardView& view = slot.view;
  std::set<CK_OBJECT_HANDLE> seen;
  for (const auto& [publicId, modulus] : view.moduli) {
    if (modulus.empty()) continue;
    const IndexRecord* record = findRecord(view.index, RecordKind::KeyPair, publicId);
    const Bytes id = record != nullptr ? record->id : keyIdOfModulus(modulus);
    const Bytes label = record != nullptr ? record->label : defaultKeyLabel(publicId);
    const bool local = record != nullptr && record->local;
    Object pub{0, slot.id, Origin::CardKey, 0, publicId, CKO_PUBLIC_KEY, false,
               publicKeyAttributes(modulus, kRsaExponent, id, label, true, local)};
    placeCardObject(locationKey(slot, "pub", publicId), std::move(pub), seen);
    Object priv{0, slot.id, Origin::CardKey, 0, publicId, CKO_PRIVATE_KEY, true,
                privateKeyAttributes(modulus, id, label, local)};
    placeCardObject(locationKey(slot, "priv", publicId), std::move(priv), seen);
  }
  for (const auto& record : view.index.records) {
    if (record.kind != RecordKind::Certificate && record.kind != RecordKind::Data) continue;
    const auto payload = view.payloads.find(record.ref);
    if (payload == view.payloads.end()) continue;
    Object object{0, slot.id, Origin::CardFile, 0, record.ref, 0, record.isPrivate, {}};
    if (record.kind == RecordKind::Certificate) {
      object.objectClass = CKO_CERTIFICATE;
      try {
        object.attributes = certificateAttributes(payload->second.value, record.id, record.label, true);
      } catch (const CkError&) {
        continue;  // not a certificate after all: not shown
      }
    } else {
      object.objectClass = CKO_DATA;
      object.attributes = dataAttributes(payload->second, record.label, record.isPrivate, true);
    }
    placeCardObject(locationKey(slot, "file", record.ref), std::move(object), seen);
  }
  // Card objects of this slot that are gone (or, for private files, out of
  // reach without the login). Their handles stay reserved for their place.
  for (auto at = module.objects.begin(); at != module.objects.end();) {
    const bool stale = at->second.slot == slot.id && at->second.origin != Origin::Session && seen.count(at->first) == 0;
    at = stale ? module.objects.erase(at) : std::next(at);
  }
  slot.objectsBuiltFrom = source;
}

void refreshCardObjects(Card& card, Slot& slot) {
  freshen(card, slot);
  syncObjects(slot);
}

void recordKeyPair(Card& card, Slot& slot, int publicId, const Bytes& id, const Bytes& label, bool local) {
  IndexFile& index = indexToWrite(card, slot);
  IndexRecord record{RecordKind::KeyPair, false, local, publicId, 0, id, label};
  writeIndexRecord(card, index, recordSlot(index, RecordKind::KeyPair, publicId), record);
  ++slot.view.changes;
}

CK_OBJECT_HANDLE keyHandle(const Slot& slot, int publicId, CK_OBJECT_CLASS objectClass) {
  const auto at = state().cardHandles.find(
      locationKey(slot, objectClass == CKO_PUBLIC_KEY ? "pub" : "priv", publicId));
  require(at != state().cardHandles.end(), CKR_DEVICE_ERROR);
  return at->second;
}

CK_OBJECT_HANDLE createObject(Session& session, const Template& pattern) {
  auto& module = state();
  Slot& slot = slotById(session.slot);
  const auto objectClass = pattern.ulong(CKA_CLASS);
  require(objectClass.has_value(), CKR_TEMPLATE_INCOMPLETE);
  const bool onToken = pattern.boolean(CKA_TOKEN).value_or(false);
  const bool isPrivate = pattern.boolean(CKA_PRIVATE).value_or(false);
  if (onToken) require(session.readWrite, CKR_SESSION_READ_ONLY);
  if (isPrivate) require(userLoggedIn(slot), CKR_USER_NOT_LOGGED_IN);
  const Bytes id = boundedBytes(pattern.find(CKA_ID), kMaxIdLength);
  const Bytes label = boundedBytes(pattern.find(CKA_LABEL), kMaxLabelLength);

  Object object{0, session.slot, Origin::Session, session.handle, 0, *objectClass, isPrivate, {}};
  Payload payload;
  RecordKind kind = RecordKind::Data;
  switch (*objectClass) {
    case CKO_CERTIFICATE: {
      const auto type = pattern.ulong(CKA_CERTIFICATE_TYPE);
      require(!type || *type == CKC_X_509, CKR_ATTRIBUTE_VALUE_INVALID);
      const Bytes* value = pattern.find(CKA_VALUE);
      require(value != nullptr, CKR_TEMPLATE_INCOMPLETE);
      require(!isPrivate, CKR_ATTRIBUTE_VALUE_INVALID);
      payload.value = *value;
      object.attributes = certificateAttributes(*value, id, label, onToken);
      kind = RecordKind::Certificate;
      break;
    }
    case CKO_DATA: {
      const Bytes* value = pattern.find(CKA_VALUE);
      payload.value = value != nullptr ? *value : Bytes{};
      if (const Bytes* app = pattern.find(CKA_APPLICATION)) payload.application = *app;
      if (const Bytes* oid = pattern.find(CKA_OBJECT_ID)) payload.objectId = *oid;
      object.attributes = dataAttributes(payload, label, isPrivate, onToken);
      break;
    }
    case CKO_PUBLIC_KEY: {
      // Public keys on the token exist only as halves of the card's pairs.
      require(!onToken, CKR_TEMPLATE_INCONSISTENT);
      const auto keyType = pattern.ulong(CKA_KEY_TYPE);
      require(keyType.has_value(), CKR_TEMPLATE_INCOMPLETE);
      require(*keyType == CKK_RSA, CKR_ATTRIBUTE_VALUE_INVALID);
      const Bytes* modulus = pattern.find(CKA_MODULUS);
      const Bytes* exponent = pattern.find(CKA_PUBLIC_EXPONENT);
      require(modulus != nullptr && exponent != nullptr, CKR_TEMPLATE_INCOMPLETE);
      // The software operations serve keys of the card's size only.
      require(modulus->size() == kModulusBytes && (*modulus)[0] >= 0x80 && !exponent->empty(),
              CKR_ATTRIBUTE_VALUE_INVALID);
      object.attributes = publicKeyAttributes(*modulus, *exponent, id, label, false, false);
      break;
    }
    case CKO_PRIVATE_KEY:
      return importKeyPair(session, pattern);
    default:
      fail(CKR_ATTRIBUTE_VALUE_INVALID);
  }
  requireHonoured(pattern, object.attributes, {});
  if (!onToken) {
    object.handle = module.nextObject++;
    const CK_OBJECT_HANDLE handle = object.handle;
    module.objects[handle] = std::move(object);
    return handle;
  }
  Card card(slot.portIndex, CardScope::Session);
  requireWritableIndex(card, slot);
  IndexFile& index = indexToWrite(card, slot);
  std::size_t free = 0;
  int fileNo = 0;
  const Bytes encoded = encodePayload(payload);
  try {
    free = freeIndexSlot(index);
    fileNo = storePayload(card, encoded, isPrivate, index);
  } catch (const CkError& error) {
    if (error.rv == CKR_DEVICE_MEMORY) slot.view.noRoomForPayloads = true;
    throw;
  }
  writeIndexRecord(card, index, free, IndexRecord{kind, isPrivate, false, fileNo, encoded.size(), id, label});
  slot.view.payloads[fileNo] = payload;
  ++slot.view.changes;
  syncObjects(slot);
  const auto at = module.cardHandles.find(locationKey(slot, "file", fileNo));
  require(at != module.cardHandles.end(), CKR_DEVICE_ERROR);
  return at->second;
}

void destroyObject(Session& session, Object& object) {
  auto& module = state();
  if (object.origin == Origin::Session) {
    module.objects.erase(object.handle);
    return;
  }
  // Key pairs cannot be deleted from this card; only a format clears them.
  require(object.origin == Origin::CardFile, CKR_ACTION_PROHIBITED);
  require(session.readWrite, CKR_SESSION_READ_ONLY);
  const RecordKind kind = object.objectClass == CKO_CERTIFICATE ? RecordKind::Certificate : RecordKind::Data;
  const int fileNo = object.cardRef;
  Slot& slot = slotById(session.slot);
  Card card(slot.portIndex, CardScope::Session);
  requireWritableIndex(card, slot);
  IndexFile& index = indexToWrite(card, slot);
  bool listed = false;
  for (std::size_t i = 0; i < index.records.size(); ++i) {
    if (index.records[i].kind == kind && index.records[i].ref == fileNo) {
      writeIndexRecord(card, index, i, IndexRecord{});
      listed = true;
    }
  }
  if (!listed) {
    // Another program removed it first.
    syncObjects(slot);
    fail(CKR_OBJECT_HANDLE_INVALID);
  }
  deletePayload(card, fileNo);
  slot.view.payloads.erase(fileNo);
  slot.view.noRoomForPayloads = false;  // a record is free again (its file number is not)
  ++slot.view.changes;
  syncObjects(slot);
}

void setAttributes(Session& session, Object& object, const Template& changes) {
  for (const auto& [type, value] : changes.values()) {
    (void)value;
    require(type == CKA_ID || type == CKA_LABEL, CKR_ATTRIBUTE_READ_ONLY);
  }
  require(object.objectClass != CKO_DATA || !changes.has(CKA_ID), CKR_ATTRIBUTE_TYPE_INVALID);
  const Bytes id = changes.has(CKA_ID) ? boundedBytes(changes.find(CKA_ID), kMaxIdLength) : object.attributes[CKA_ID];
  const Bytes label =
      changes.has(CKA_LABEL) ? boundedBytes(changes.find(CKA_LABEL), kMaxLabelLength) : object.attributes[CKA_LABEL];
  if (object.origin == Origin::Session) {
    if (changes.has(CKA_ID)) object.attributes[CKA_ID] = id;
    if (changes.has(CKA_LABEL)) object.attributes[CKA_LABEL] = label;
    return;
  }
  require(session.readWrite, CKR_SESSION_READ_ONLY);
  Slot& slot = slotById(session.slot);
  const CK_OBJECT_HANDLE handle = object.handle;
  const int ref = object.cardRef;
  const Origin origin = object.origin;
  const RecordKind kind = origin == Origin::CardKey                   ? RecordKind::KeyPair
                          : object.objectClass == CKO_CERTIFICATE ? RecordKind::Certificate
                                                                  : RecordKind::Data;
  Card card(slot.portIndex, CardScope::Session);
  requireWritableIndex(card, slot);
  IndexFile& index = indexToWrite(card, slot);
  syncObjects(slot);  // the object may be gone by now
  require(state().objects.count(handle) != 0, CKR_OBJECT_HANDLE_INVALID);
  const IndexRecord* old = findRecord(index, kind, ref);
  IndexRecord record;
  if (old != nullptr) {
    record = *old;
  } else {
    require(kind == RecordKind::KeyPair, CKR_OBJECT_HANDLE_INVALID);
    record = IndexRecord{RecordKind::KeyPair, false, false, ref, 0, {}, {}};
  }
  record.id = id;
  record.label = label;
  writeIndexRecord(card, index, recordSlot(index, kind, ref), record);
  ++slot.view.changes;
  syncObjects(slot);
}

void dropSessionObjects(CK_SESSION_HANDLE session) {
  auto& objects = state().objects;
  for (auto at = objects.begin(); at != objects.end();) {
    at = at->second.origin == Origin::Session && at->second.owner == session ? objects.erase(at) : std::next(at);
  }
}

void dropSlotObjects(CK_SLOT_ID slot) {
  auto& module = state();
  for (auto at = module.objects.begin(); at != module.objects.end();) {
    at = at->second.slot == slot ? module.objects.erase(at) : std::next(at);
  }
}

}  // namespace p11
