// Slots are the reader ports the module is set to; a token is present when
// its port opens (slot_presence.h).
#include <openssl/rand.h>

#include <algorithm>
#include <cstring>

#include "card.h"
#include "card_files.h"
#include "card_login.h"
#include "card_view.h"
#include "ck_error.h"
#include "object_store.h"
#include "session_calls.h"
#include "slot_presence.h"

namespace p11 {
namespace {

constexpr char kManufacturer[] = "PELU7 project";
constexpr char kModel[] = "PELU7";
constexpr char kDefaultLabel[] = "PELU7";
constexpr std::size_t kSerialLength = 16;

void padded(unsigned char* field, std::size_t size, const std::string& text) {
  std::memset(field, ' ', size);
  std::memcpy(field, text.data(), std::min(size, text.size()));
}

std::string hex(const unsigned char* data, std::size_t length) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (std::size_t i = 0; i < length; ++i) {
    out += digits[data[i] >> 4];
    out += digits[data[i] & 0x0F];
  }
  return out;
}

// The serial is the token's identity; a token that has none (a full card)
// shows the one its token information holds, or zeros.
std::string serialOf(TokenIdentity identity, const std::optional<TokenInfoRecord>& info) {
  if (identity != 0) {
    const auto text = common::identitySerial(identity);
    return std::string(text.begin(), text.end());
  }
  return info ? info->serial : std::string(kSerialLength, '0');
}

// What this process saw of a PIN's tries, or what any process of the
// machine saw last when the token's identity is known.
PinTries triesShown(const Slot& slot, const PinTries& own, Role role) {
  if (slot.view.identity == 0) return own;
  const platform::PinTriesSeen seen = platform::pinTriesSeen(slot.view.identity, pinRoleOf(role));
  if (seen.left < 0 && !seen.locked) return own;
  return PinTries{seen.left, seen.locked};
}

int sessionsOn(CK_SLOT_ID id, bool readWriteOnly) {
  int count = 0;
  for (const auto& [handle, session] : state().sessions) {
    if (session.slot == id && (!readWriteOnly || session.readWrite)) ++count;
  }
  return count;
}

CK_FLAGS triesFlags(const PinTries& tries, CK_FLAGS countLow, CK_FLAGS finalTry, CK_FLAGS locked) {
  if (tries.locked) return locked;
  if (tries.left == 1) return finalTry;
  return tries.left > 1 ? countLow : 0;
}

// The label as given, trailing blanks dropped (clients find the token by it).
std::string trimmedLabel(const unsigned char* label) {
  std::string text(reinterpret_cast<const char*>(label), 32);
  text.erase(text.find_last_not_of(' ') + 1);
  return text;
}

}  // namespace

void refreshToken(Card& card, Slot& slot) {
  TokenSnapshot token;
  if (card.login(Role::User) == CardLogin::Unformatted) {
    token.initialized = false;  // no login files: not formatted
    token.label = kDefaultLabel;
    token.serial = std::string(kSerialLength, '0');
    slot.token = token;
    return;
  }
  token.initialized = true;
  refreshCardObjects(card, slot);
  FileState infoState = FileState::Absent;
  auto info = tokenInfo(card, slot.view, infoState);
  if (info && slot.token &&
      !sameToken(*slot.token, TokenSnapshot{true, false, true, info->label, serialOf(slot.view.identity, info)})) {
    // Another token in the reader: nothing read of the last one holds.
    dropSlotObjects(slot.id);
    slot.view = CardView{};
    slot.objectsBuiltFrom.reset();
    refreshCardObjects(card, slot);
    info = tokenInfo(card, slot.view, infoState);
  }
  token.writeProtected = infoState == FileState::Foreign || slot.view.index.state == FileState::Foreign;
  token.label = info ? info->label : kDefaultLabel;
  token.serial = serialOf(slot.view.identity, info);
  token.userPinSet = info ? info->userPinSet : true;
  slot.token = token;
}

CK_RV getSlotList(CK_BBOOL tokenPresentOnly, CK_SLOT_ID* list, CK_ULONG* count) {
  require(count != nullptr, CKR_ARGUMENTS_BAD);
  std::vector<CK_SLOT_ID> ids;
  for (auto& slot : state().slots) {
    if (tokenPresentOnly == CK_FALSE || lookForToken(slot)) ids.push_back(slot.id);
  }
  if (list == nullptr) {
    *count = ids.size();
    return CKR_OK;
  }
  if (*count < ids.size()) {
    *count = ids.size();
    return CKR_BUFFER_TOO_SMALL;
  }
  std::copy(ids.begin(), ids.end(), list);
  *count = ids.size();
  return CKR_OK;
}

CK_RV getSlotInfo(CK_SLOT_ID id, CK_SLOT_INFO* info) {
  require(info != nullptr, CKR_ARGUMENTS_BAD);
  Slot& slot = slotById(id);
  *info = CK_SLOT_INFO{};
  padded(info->slotDescription, sizeof info->slotDescription,
         "PELU7 reader port USB" + std::to_string(slot.portIndex + 1));
  padded(info->manufacturerID, sizeof info->manufacturerID, kManufacturer);
  // Opening the port sends the card no command, so a polled call may look.
  const bool present = lookForToken(slot);
  info->flags = CKF_HW_SLOT | CKF_REMOVABLE_DEVICE | (present ? CKF_TOKEN_PRESENT : 0);
  info->hardwareVersion = {1, 0};
  info->firmwareVersion = {1, 0};
  return CKR_OK;
}

CK_RV getTokenInfo(CK_SLOT_ID id, CK_TOKEN_INFO* info) {
  require(info != nullptr, CKR_ARGUMENTS_BAD);
  Slot& slot = slotById(id);
  require(lookForToken(slot), CKR_TOKEN_NOT_PRESENT);
  // With sessions open the snapshot serves (a polled call); without, the
  // token is asked again, as another program may have changed it.
  if (!slot.token || sessionsOn(id, false) == 0) {
    Card card(slot.portIndex, CardScope::Slot);
    refreshToken(card, slot);
  }
  const TokenSnapshot& token = *slot.token;
  *info = CK_TOKEN_INFO{};
  padded(info->label, sizeof info->label, token.label);
  padded(info->manufacturerID, sizeof info->manufacturerID, kManufacturer);
  padded(info->model, sizeof info->model, kModel);
  padded(info->serialNumber, sizeof info->serialNumber, token.serial);
  padded(info->utcTime, sizeof info->utcTime, "");
  info->flags = CKF_RNG | CKF_LOGIN_REQUIRED;
  if (token.initialized) info->flags |= CKF_TOKEN_INITIALIZED;
  if (token.initialized && token.userPinSet) info->flags |= CKF_USER_PIN_INITIALIZED;
  if (token.writeProtected) info->flags |= CKF_WRITE_PROTECTED;
  info->flags |= triesFlags(triesShown(slot, slot.userTries, Role::User), CKF_USER_PIN_COUNT_LOW,
                            CKF_USER_PIN_FINAL_TRY, CKF_USER_PIN_LOCKED);
  info->flags |= triesFlags(triesShown(slot, slot.soTries, Role::SecurityOfficer), CKF_SO_PIN_COUNT_LOW,
                            CKF_SO_PIN_FINAL_TRY, CKF_SO_PIN_LOCKED);
  info->ulMaxSessionCount = CK_EFFECTIVELY_INFINITE;
  info->ulSessionCount = static_cast<CK_ULONG>(sessionsOn(id, false));
  info->ulMaxRwSessionCount = CK_EFFECTIVELY_INFINITE;
  info->ulRwSessionCount = static_cast<CK_ULONG>(sessionsOn(id, true));
  info->ulMaxPinLen = kMaxPinLength;
  info->ulMinPinLen = kMinPinLength;
  // The card tells no free space; once an object found no room (a full
  // card, or the payload file numbers used up) there is none to show.
  const CK_ULONG freeMemory = slot.view.noRoomForPayloads ? 0 : CK_UNAVAILABLE_INFORMATION;
  info->ulTotalPublicMemory = CK_UNAVAILABLE_INFORMATION;
  info->ulFreePublicMemory = freeMemory;
  info->ulTotalPrivateMemory = CK_UNAVAILABLE_INFORMATION;
  info->ulFreePrivateMemory = freeMemory;
  info->hardwareVersion = {1, 0};
  info->firmwareVersion = {1, 0};
  return CKR_OK;
}

CK_RV getMechanismList(CK_SLOT_ID id, CK_MECHANISM_TYPE* list, CK_ULONG* count) {
  require(count != nullptr, CKR_ARGUMENTS_BAD);
  slotById(id);
  const auto all = mechanisms();
  if (list == nullptr) {
    *count = all.size();
    return CKR_OK;
  }
  if (*count < all.size()) {
    *count = all.size();
    return CKR_BUFFER_TOO_SMALL;
  }
  for (std::size_t i = 0; i < all.size(); ++i) list[i] = all[i].type;
  *count = all.size();
  return CKR_OK;
}

CK_RV getMechanismInfo(CK_SLOT_ID id, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO* info) {
  require(info != nullptr, CKR_ARGUMENTS_BAD);
  slotById(id);
  const Mechanism* mechanism = findMechanism(type);
  require(mechanism != nullptr, CKR_MECHANISM_INVALID);
  info->ulMinKeySize = isDigest(*mechanism) ? 0 : kModulusBits;
  info->ulMaxKeySize = isDigest(*mechanism) ? 0 : kModulusBits;
  info->flags = mechanism->flags;
  return CKR_OK;
}

CK_RV initToken(CK_SLOT_ID id, const unsigned char* soPin, CK_ULONG soPinLength, const unsigned char* label) {
  require(soPin != nullptr && label != nullptr, CKR_ARGUMENTS_BAD);
  Slot& slot = slotById(id);
  require(sessionsOn(id, false) == 0, CKR_SESSION_EXISTS);
  require(soPinLength >= kMinPinLength && soPinLength <= kMaxPinLength, CKR_PIN_LEN_RANGE);
  Card card(slot.portIndex, CardScope::Slot);
  if (card.login(Role::SecurityOfficer) != CardLogin::Unformatted) {
    // The DAL's format asks for no PIN; on a formatted token the SO PIN is
    // checked first, so that nobody else can wipe it.
    const PinCheck answer = card.verify(Role::SecurityOfficer, soPin, soPinLength);
    notePinCheck(currentIdentity(card, slot), Role::SecurityOfficer, answer);
    if (answer.outcome == PinOutcome::Wrong) slot.soTries.left = answer.triesLeft;
    if (answer.outcome == PinOutcome::Locked) slot.soTries.locked = true;
    require(answer.outcome != PinOutcome::Wrong, CKR_PIN_INCORRECT);
    require(answer.outcome != PinOutcome::Locked, CKR_PIN_LOCKED);
  }
  // The user PIN stays unknown until C_InitPIN sets it.
  SecureBytes random(8);
  require(RAND_bytes(random.data(), static_cast<int>(random.size())) == 1, CKR_FUNCTION_FAILED);
  std::string text = hex(random.data(), random.size());
  SecureBytes userPin(text.begin(), text.end());
  OPENSSL_cleanse(text.data(), text.size());
  card.format(soPin, soPinLength, userPin.data(), userPin.size());
  slot.soTries = PinTries{};
  slot.userTries = PinTries{};
  endLogin(slot);
  dropSlotObjects(id);
  slot.view = CardView{};
  slot.objectsBuiltFrom.reset();

  // A new token: a new identity, shown as its serial from now on (and kept
  // in its token information for earlier versions of the module).
  const TokenIdentity identity = makeIdentityFile(card, readIdentityFile(card), randomIdentity()).identity;
  TokenInfoRecord info{trimmedLabel(label), serialOf(identity, std::nullopt), false};
  require(card.verify(Role::SecurityOfficer, soPin, soPinLength).outcome == PinOutcome::Ok, CKR_DEVICE_ERROR);
  writeTokenInfo(card, info);
  card.logout();
  refreshToken(card, slot);
  return CKR_OK;
}

}  // namespace p11
