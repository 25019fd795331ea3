// Key pairs made on the card or imported into it, and random numbers from
// the card. A key generation or import without the user's login used to
// damage the card's key counter, so the login is checked before any card
// command: first this application's, then the card's.
#include <algorithm>

#include "card.h"
#include "card_login.h"
#include "ck_error.h"
#include "crypto_calls.h"
#include "object_attributes.h"
#include "object_store.h"
#include "session_calls.h"
#include "template_rules.h"

namespace p11 {
namespace {

constexpr std::size_t kPrimeBytes = kModulusBytes / 2;

Bytes withoutLeadingZeros(const Bytes& value) {
  const auto first = std::find_if(value.begin(), value.end(), [](unsigned char b) { return b != 0; });
  return Bytes(first, value.end());
}

void requireClass(const Template& pattern, CK_OBJECT_CLASS objectClass) {
  const auto given = pattern.ulong(CKA_CLASS);
  require(!given || *given == objectClass, CKR_TEMPLATE_INCONSISTENT);
  const auto keyType = pattern.ulong(CKA_KEY_TYPE);
  require(!keyType || *keyType == CKK_RSA, CKR_TEMPLATE_INCONSISTENT);
}

void requireOurExponent(const Template& pattern) {
  if (const Bytes* exponent = pattern.find(CKA_PUBLIC_EXPONENT)) {
    require(withoutLeadingZeros(*exponent) == kRsaExponent, CKR_ATTRIBUTE_VALUE_INVALID);
  }
}

// The one name both halves of a pair share: two templates naming them
// differently cannot both be honoured.
Bytes boundedAttribute(const Template& first, const Template& second, CK_ATTRIBUTE_TYPE type, std::size_t limit) {
  const Bytes* value = first.find(type);
  const Bytes* other = second.find(type);
  require(value == nullptr || other == nullptr || *value == *other, CKR_TEMPLATE_INCONSISTENT);
  if (value == nullptr) value = other;
  if (value == nullptr) return {};
  require(value->size() <= limit, CKR_ATTRIBUTE_VALUE_INVALID);
  return *value;
}

// What a generation template may ask of each half: the attributes the new
// keys will hold, with the modulus the card makes left out.
void requireGeneratable(const Template& publicPattern, const Template& privatePattern, const Bytes& id,
                        const Bytes& label) {
  const Bytes someModulus(kModulusBytes, 0xFF);
  requireHonoured(publicPattern, publicKeyAttributes(someModulus, kRsaExponent, id, label, true, true),
                  {CKA_CLASS, CKA_KEY_TYPE, CKA_ID, CKA_LABEL, CKA_MODULUS_BITS, CKA_PUBLIC_EXPONENT},
                  {CKA_MODULUS, CKA_PUBLIC_KEY_INFO});
  requireHonoured(privatePattern, privateKeyAttributes(someModulus, id, label, true),
                  {CKA_CLASS, CKA_KEY_TYPE, CKA_ID, CKA_LABEL, CKA_PUBLIC_EXPONENT},
                  {CKA_MODULUS, CKA_PUBLIC_KEY_INFO});
}

// A new pair is made only where its index record can be written: a full or
// foreign index refuses the template before the card is asked, so that no
// pair is ever made without the CKA_ID and CKA_LABEL asked for. A pair asked
// for without a name needs no record: it shows the names a pair without one
// has (the modulus's hash, "PELU7 key N").
bool named(const Bytes& id, const Bytes& label) { return !id.empty() || !label.empty(); }

void requireRoomForPair(Card& card, Slot& slot, const Bytes& id, const Bytes& label) {
  if (named(id, label)) freeIndexSlot(indexToWrite(card, slot));
}

// What this process already knows refuses before any card command.
void requireKnownRoom(const Slot& slot, const Bytes& id, const Bytes& label) {
  if (slot.view.known && named(id, label)) freeIndexSlot(slot.view.index);
}

void nameNewPair(Card& card, Slot& slot, int publicId, Bytes id, Bytes label, bool local) {
  refreshCardObjects(card, slot);
  const auto modulus = slot.view.moduli.find(publicId);
  require(modulus != slot.view.moduli.end() && !modulus->second.empty(), CKR_DEVICE_ERROR);
  const bool asked = named(id, label);
  if (id.empty()) id = keyIdOfModulus(modulus->second);
  if (label.empty()) label = textValue("PELU7 key " + std::to_string(publicId));
  try {
    // Within the same card bracket as requireRoomForPair: a named pair's
    // record is free.
    recordKeyPair(card, slot, publicId, id, label, local);
  } catch (const CkError& error) {
    if (asked || (error.rv != CKR_DEVICE_MEMORY && error.rv != CKR_TOKEN_WRITE_PROTECTED)) throw;
  }
  syncObjects(slot);
}

SecureBytes keyPart(const Template& pattern, CK_ATTRIBUTE_TYPE type) {
  const Bytes* value = pattern.find(type);
  require(value != nullptr, CKR_TEMPLATE_INCOMPLETE);
  const Bytes trimmed = withoutLeadingZeros(*value);
  require(trimmed.size() <= kPrimeBytes, CKR_ATTRIBUTE_VALUE_INVALID);
  SecureBytes part(kPrimeBytes);
  std::copy(trimmed.begin(), trimmed.end(), part.data() + kPrimeBytes - trimmed.size());
  return part;
}

}  // namespace

CK_RV generateKeyPair(CK_SESSION_HANDLE handle, const CK_MECHANISM* mechanism, const CK_ATTRIBUTE* publicTemplate,
                      CK_ULONG publicCount, const CK_ATTRIBUTE* privateTemplate, CK_ULONG privateCount,
                      CK_OBJECT_HANDLE* publicKey, CK_OBJECT_HANDLE* privateKey) {
  Session& session = sessionByHandle(handle);
  require(mechanism != nullptr && publicKey != nullptr && privateKey != nullptr, CKR_ARGUMENTS_BAD);
  require(mechanism->mechanism == CKM_RSA_PKCS_KEY_PAIR_GEN, CKR_MECHANISM_INVALID);
  const Template publicPattern(publicTemplate, publicCount);
  const Template privatePattern(privateTemplate, privateCount);
  requireClass(publicPattern, CKO_PUBLIC_KEY);
  requireClass(privatePattern, CKO_PRIVATE_KEY);
  const auto bits = publicPattern.ulong(CKA_MODULUS_BITS);
  require(bits.has_value(), CKR_TEMPLATE_INCOMPLETE);
  require(*bits == kModulusBits, CKR_KEY_SIZE_RANGE);
  requireOurExponent(publicPattern);
  requireOurExponent(privatePattern);
  // Every pair takes card space for good and both halves live on the card:
  // no session keys, and a template without CKA_TOKEN asks for one.
  requireTokenObject(publicPattern);
  requireTokenObject(privatePattern);
  const Bytes id = boundedAttribute(privatePattern, publicPattern, CKA_ID, kMaxIdLength);
  const Bytes label = boundedAttribute(privatePattern, publicPattern, CKA_LABEL, kMaxLabelLength);
  requireGeneratable(publicPattern, privatePattern, id, label);

  Slot& slot = slotById(session.slot);
  require(session.readWrite, CKR_SESSION_READ_ONLY);
  require(userLoggedIn(slot), CKR_USER_NOT_LOGGED_IN);
  requireKnownRoom(slot, id, label);
  Card card(slot.portIndex, CardScope::Session);
  // A generation without the card's login used to damage its key counter:
  // the login is made sure of before the card is asked.
  ensureCardLogin(card, slot);
  requireRoomForPair(card, slot, id, label);
  const int publicId = card.generateKeyPair();
  nameNewPair(card, slot, publicId, id, label, true);
  *publicKey = keyHandle(slot, publicId, CKO_PUBLIC_KEY);
  *privateKey = keyHandle(slot, publicId, CKO_PRIVATE_KEY);
  return CKR_OK;
}

CK_OBJECT_HANDLE importKeyPair(Session& session, const Template& pattern) {
  requireClass(pattern, CKO_PRIVATE_KEY);
  require(pattern.ulong(CKA_KEY_TYPE).has_value(), CKR_TEMPLATE_INCOMPLETE);
  requireTokenObject(pattern);
  const Bytes* modulusValue = pattern.find(CKA_MODULUS);
  require(modulusValue != nullptr && pattern.has(CKA_PUBLIC_EXPONENT), CKR_TEMPLATE_INCOMPLETE);
  const Bytes modulus = withoutLeadingZeros(*modulusValue);
  require(modulus.size() == kModulusBytes && modulus[0] >= 0x80, CKR_ATTRIBUTE_VALUE_INVALID);
  requireOurExponent(pattern);
  const SecureBytes p = keyPart(pattern, CKA_PRIME_1);
  const SecureBytes q = keyPart(pattern, CKA_PRIME_2);
  const SecureBytes dP = keyPart(pattern, CKA_EXPONENT_1);
  const SecureBytes dQ = keyPart(pattern, CKA_EXPONENT_2);
  const SecureBytes qInv = keyPart(pattern, CKA_COEFFICIENT);
  const Bytes id = boundedAttribute(pattern, pattern, CKA_ID, kMaxIdLength);
  const Bytes label = boundedAttribute(pattern, pattern, CKA_LABEL, kMaxLabelLength);
  requireHonoured(pattern, privateKeyAttributes(modulus, id, label, false),
                  {CKA_CLASS, CKA_KEY_TYPE, CKA_ID, CKA_LABEL, CKA_MODULUS, CKA_PUBLIC_EXPONENT, CKA_PRIVATE_EXPONENT,
                   CKA_PRIME_1, CKA_PRIME_2, CKA_EXPONENT_1, CKA_EXPONENT_2, CKA_COEFFICIENT});

  Slot& slot = slotById(session.slot);
  require(session.readWrite, CKR_SESSION_READ_ONLY);
  require(userLoggedIn(slot), CKR_USER_NOT_LOGGED_IN);
  requireKnownRoom(slot, id, label);
  Card card(slot.portIndex, CardScope::Session);
  ensureCardLogin(card, slot);
  requireRoomForPair(card, slot, id, label);
  const int publicId =
      card.importKeyPair(KeyParts{modulus.data(), p.data(), q.data(), dP.data(), dQ.data(), qInv.data()});
  nameNewPair(card, slot, publicId, id, label, false);
  return keyHandle(slot, publicId, CKO_PRIVATE_KEY);
}

CK_RV generateRandom(CK_SESSION_HANDLE handle, unsigned char* out, CK_ULONG length) {
  const Session& session = sessionByHandle(handle);
  require(out != nullptr || length == 0, CKR_ARGUMENTS_BAD);
  if (length == 0) return CKR_OK;
  const Slot& slot = slotById(session.slot);
  Card card(slot.portIndex, CardScope::Session);
  card.random(out, length);
  return CKR_OK;
}

}  // namespace p11
