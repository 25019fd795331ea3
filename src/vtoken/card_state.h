// The whole state of one virtual card: its EEPROM (files under the MF, key
// objects in the key file, the card's features) and its volatile RAM (security
// state, external-authentication right, current file, last challenge, SSF33
// key), which a card reset clears.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>

#include "card/vocabulary.h"
#include "common/secure_buffer.h"

namespace vtoken {

using common::SecureBytes;

// File ids, file types of CREATE FILE and key object types of WRITE KEY.
using card::kFileTypeKeyFile;
using card::kFileTypeRsaPrivateKey;
using card::kFileTypeRsaPublicKey;
using card::kFileTypeTransparent;
using card::kKeyTypeExternalAuth;
using card::kKeyTypePin;
using card::kKeyTypeUnblock;
using card::kMfId;

// EEPROM capacity. A file costs its declared size plus kFileOverhead bytes of
// file header. Key objects live inside the key file and use its declared size:
// each costs kKeyObjectOverhead bytes (id, type, four attributes, length) plus
// its value. The MF and the card's own system area are not counted.
inline constexpr std::size_t kCapacity = 32 * 1024;
inline constexpr std::size_t kFileOverhead = 16;
inline constexpr std::size_t kKeyObjectOverhead = 7;

struct KeyObject {
  std::uint8_t type = 0;
  // [0] and [1] are kept as written; [2] is the security state a successful
  // presentation sets (for an unblock key: the id of the PIN object it
  // unblocks); [3] is the error counter, high nibble the maximum tries, low
  // nibble the tries left.
  std::array<std::uint8_t, 4> attributes{};
  SecureBytes value;

  unsigned maxTries() const { return attributes[3] >> 4; }
  unsigned triesLeft() const { return attributes[3] & 0x0F; }
  bool blocked() const { return triesLeft() == 0; }
  std::uint8_t targetState() const { return attributes[2] & 0x0F; }
  // A wrong presentation: one try fewer; returns the tries left.
  unsigned countFailure();
  // A right presentation: the counter is back at its maximum.
  void resetCounter();
  std::size_t footprint() const { return kKeyObjectOverhead + value.size(); }
};

struct ElementaryFile {
  std::uint8_t type = kFileTypeTransparent;
  std::uint16_t size = 0;
  // CREATE FILE bytes 4 to 7. For transparent and public key files [0] is the
  // read and [1] the write access byte; for a private key file [0] is the use
  // (key generation, private-key operation) and [1] the write access byte.
  std::array<std::uint8_t, 4> access{};
  SecureBytes content;                     // size bytes; empty for a key file
  std::map<std::uint8_t, KeyObject> keys;  // key file only

  std::size_t keySpaceUsed() const;
};

struct CardState {
  // EEPROM.
  bool ssf33Supported = true;
  std::map<std::uint16_t, ElementaryFile> files;  // flat, directly under the MF

  // RAM, cleared by a card reset.
  std::uint8_t securityState = 0;       // one hexadecimal digit; 0 after reset
  bool externalAuthGranted = false;     // EXTERNAL AUTHENTICATE succeeded since reset
  std::uint16_t currentFile = kMfId;    // the MF or an elementary file
  SecureBytes lastChallenge;            // empty when there is none
  SecureBytes ssf33Key;                 // empty when none is loaded

  void resetVolatile();
  std::size_t usedCapacity() const;
  // The id of the key file under the MF, if there is one.
  std::optional<std::uint16_t> keyFileId() const;
  KeyObject* findKey(std::uint8_t keyId);
};

// The card as its maker delivers it: the MF with a key file 0000 that holds the
// transport key as key 00.
CardState factoryFreshState(bool ssf33Supported);

// The card maker's transport key, "QZXKWVNMRTJoupHB".
inline constexpr std::array<std::uint8_t, 16> kTransportKey = {'Q', 'Z', 'X', 'K', 'W', 'V', 'N', 'M',
                                                               'R', 'T', 'J', 'o', 'u', 'p', 'H', 'B'};

// Whether an access byte admits the given security state: F0 admits any
// state, FF none, a byte with two equal digits (AA, CC, ...) exactly that
// state; any other byte admits none.
bool accessAllows(std::uint8_t accessByte, std::uint8_t securityState);

}  // namespace vtoken
