// What the module keeps for one process between calls: slots with this
// application's login, sessions with their operations, and objects with
// handles that stay stable while the process runs.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "attributes.h"
#include "card_view.h"
#include "locked_secret.h"
#include "mechanisms.h"
#include "pkcs11_api.h"
#include "rsa_public.h"
#include "bytes.h"

namespace p11 {

constexpr CK_USER_TYPE kNobody = CK_UNAVAILABLE_INFORMATION;

// What the token said when last asked (no card traffic in polled calls).
struct TokenSnapshot {
  bool initialized = false;
  bool writeProtected = false;
  bool userPinSet = true;
  std::string label;
  std::string serial;
};

// Tries left as the last failed PIN check reported them (-1: not known);
// the card offers no query.
struct PinTries {
  int left = -1;
  bool locked = false;
};

struct Slot {
  CK_SLOT_ID id = 0;
  int portIndex = 0;
  CK_USER_TYPE login = kNobody;  // this application's login, whatever the card's state
  LockedSecret pin;              // its PIN, kept while it lasts (see card_login.h)
  TokenIdentity loginIdentity = 0;  // the token the login and its PIN belong to
  std::optional<std::uint32_t> pinGeneration;  // the machine's PIN generation the PIN was accepted at
  PinTries userTries, soTries;
  std::optional<TokenSnapshot> token;
  CardView view;
  // What the slot's card objects were last built from: the view's changes
  // and whether the user was logged in.
  std::optional<std::pair<std::uint64_t, bool>> objectsBuiltFrom;
  // Removal and insertion (slot_presence.h): whether the token was there at
  // the last look, how many times this process saw it go, and what
  // C_WaitForSlotEvent last reported of both.
  std::optional<bool> present;
  std::uint64_t removals = 0;
  std::optional<bool> reportedPresent;
  std::uint64_t reportedRemovals = 0;
};

enum class Origin { Session, CardKey, CardFile };

struct Object {
  CK_OBJECT_HANDLE handle = 0;
  CK_SLOT_ID slot = 0;
  Origin origin = Origin::Session;
  CK_SESSION_HANDLE owner = 0;  // the session of a session object
  int cardRef = 0;              // public key file id of a key pair, or the payload file number
  CK_OBJECT_CLASS objectClass = 0;
  bool isPrivate = false;
  AttributeMap attributes;
};

enum class OperationKind { Sign, Verify, Encrypt, Decrypt };

struct Operation {
  OperationKind kind = OperationKind::Sign;
  const Mechanism* mechanism = nullptr;
  CK_OBJECT_HANDLE key = 0;
  PssParameters pss;
  OaepParameters oaep;
  std::shared_ptr<EVP_MD_CTX> digest;  // for mechanisms that hash
  SecureBytes data;                    // collected parts for those that do not
  bool updated = false;                // a multi-part operation has begun
};

// A message digest in progress.
struct DigestOperation {
  std::shared_ptr<EVP_MD_CTX> context;
  bool updated = false;  // a multi-part digest has begun
};

struct Session {
  CK_SESSION_HANDLE handle = 0;
  CK_SLOT_ID slot = 0;
  bool readWrite = false;
  std::optional<Operation> sign, verify, encrypt, decrypt;
  std::optional<DigestOperation> digest;
  std::optional<std::vector<CK_OBJECT_HANDLE>> found;  // an active C_FindObjects
  std::size_t foundPosition = 0;
};

struct ModuleState {
  std::vector<Slot> slots;
  std::map<CK_SESSION_HANDLE, Session> sessions;
  std::map<CK_OBJECT_HANDLE, Object> objects;
  std::map<std::string, CK_OBJECT_HANDLE> cardHandles;  // card location -> handle
  // Sessions closed because their token was pulled out: each answers
  // CKR_DEVICE_REMOVED once more, then is forgotten.
  std::set<CK_SESSION_HANDLE> removedSessions;
  CK_SESSION_HANDLE callSession = 0;  // the session the current call found last
  CK_SESSION_HANDLE nextSession = 1;
  CK_OBJECT_HANDLE nextObject = 1;
};

ModuleState& state();
// In a child of fork, at C_Initialize: a fresh state. The inherited one is
// left alone, never destroyed: a thread of the parent may have been changing
// it when the process was copied.
void replaceInheritedState();
// At unload of a finalised module: the state is freed (a later call makes a
// fresh one). A state inherited through fork stays as it is.
void freeStateOnUnload();

// Lookups that throw the matching CKR_*_INVALID.
Slot& slotById(CK_SLOT_ID id);
Session& sessionByHandle(CK_SESSION_HANDLE handle);
// An object this session may see (private objects need this application's
// user login).
Object& visibleObject(const Session& session, CK_OBJECT_HANDLE handle);
bool isVisible(const Session& session, const Object& object);
bool userLoggedIn(const Slot& slot);

}  // namespace p11
