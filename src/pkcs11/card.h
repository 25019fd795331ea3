// The module's one road to the token. A Card is one bracket of card work: the
// slot's port selected and the DAL's cross-process lock held for its life.
// Its calls answer in named results (what the card said), so that the
// Cryptoki files hold only Cryptoki rules; what cannot be a named result
// (a lost token, a refused lock, a broken card) throws CkError with the
// Cryptoki result of the bracket's scope.
#pragma once

#include <optional>

#include "pkcs11_api.h"
#include "bytes.h"

namespace p11 {

// What a failing call was doing, where the same card failure means different
// things to the caller.
enum class CardScope {
  Slot,     // a slot or token call: a lost device is CKR_TOKEN_NOT_PRESENT
  Session,  // a call on an open session: a lost device is CKR_DEVICE_REMOVED
};

enum class Role { User, SecurityOfficer };

// The card's login for a role: Unformatted when the card has no login files.
enum class CardLogin { Unformatted, LoggedIn, LoggedOut };

enum class PinOutcome { Ok, Wrong, Locked };
struct PinCheck {
  PinOutcome outcome = PinOutcome::Ok;
  int triesLeft = -1;  // after a wrong PIN
};

// Who may read or write a user data file.
enum class Access { Anybody, User, SecurityOfficer };

enum class FileRead {
  Ok,
  Unreadable,  // absent, beyond its end, or not readable without a login
  Deleted,     // marked deleted: the number stays taken
};
enum class FileWrite { Ok, Refused, Deleted };
enum class FileCreate {
  Ok,
  Taken,      // the number is in use (or the card is full: see Card::fileNumberFree)
  NotMarked,  // the file was made but its header could not be written (no login)
};

// The parts of an RSA key pair to import, each 64 bytes, big endian.
struct KeyParts {
  const unsigned char* modulus;
  const unsigned char *p, *q, *dP, *dQ, *qInv;
};

class Card {
 public:
  Card(int portIndex, CardScope scope);
  ~Card();
  Card(const Card&) = delete;
  Card& operator=(const Card&) = delete;

  CardScope scope() const { return scope_; }

  // Login and PINs.
  CardLogin login(Role role);
  PinCheck verify(Role role, const unsigned char* pin, std::size_t length);
  // Ends whichever role the card has; false when the card refused.
  bool logout();
  PinCheck changePin(Role role, const unsigned char* oldPin, std::size_t oldLength, const unsigned char* newPin,
                     std::size_t newLength);
  // Sets the user PIN (blocked or not) with the security officer's PIN.
  PinCheck unblockUserPin(const unsigned char* soPin, std::size_t soLength, const unsigned char* newPin,
                          std::size_t newLength);
  void format(const unsigned char* soPin, std::size_t soLength, const unsigned char* userPin, std::size_t userLength);

  // User data files of the module's type, by number.
  FileRead readFile(int fileNo, std::size_t offset, unsigned char* out, std::size_t length);
  FileWrite writeFile(int fileNo, std::size_t offset, const unsigned char* data, std::size_t length);
  FileCreate createFile(int fileNo, std::size_t size, Access read, Access write);
  // After a refused creation: true when the number reads as absent, so the
  // card refused for lack of room.
  bool fileNumberFree(int fileNo);
  bool deleteFile(int fileNo);

  // RSA key pairs; each returns the public key file id (the private key's is
  // one more). The user must be logged in on the card.
  int generateKeyPair();
  int importKeyPair(const KeyParts& parts);
  // The modulus of a public key file; nullopt when there is no such file.
  std::optional<Bytes> publicModulus(int publicId);
  // The raw private-key operation on a block below the modulus; false when
  // the card refused (its login is gone, or the key file is not a key).
  bool privateOperation(int privateId, const SecureBytes& block, SecureBytes& out);

  void random(unsigned char* out, std::size_t length);

 private:
  [[noreturn]] void failWith(int dalResult);
  void check(int dalResult);

  int portIndex_;
  CardScope scope_;
  bool locked_ = false;
};

// A card call found the device of this port gone (slot_presence.cpp settles
// it at the end of the call).
void noteTokenLost(int portIndex);

// The connection behind every Card: the port open for the module, and the
// DAL's cross-process lock handle of this process.
namespace card_connection {
// Opens the port of this index unless it is already the open one; true on
// success. Never relies on the DAL's lazy opening of USB1 or USB2.
bool select(int portIndex);
// Opens the port of this index again, whichever port is open: true when its
// token is there now (no command goes to the card).
bool reopen(int portIndex);
bool isOpen(int portIndex);
void close();
// In a child of fork: forgets the parent's port and lock handle without
// closing them (the parent still uses both).
void forgetInherited();
void createLock();
void destroyLock();
void* lockHandle();
}  // namespace card_connection

}  // namespace p11
