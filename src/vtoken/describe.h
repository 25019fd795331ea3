// A read-only description of a virtual token's card state, without secrets:
// files with their type, size and access bytes; key objects with type,
// attributes and tries left, never their values; the capacity used; the
// volatile state without the challenge or any key.
#pragma once

#include "vtoken/token.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vtoken {

struct FileDescription {
  std::uint16_t id = 0;
  std::uint8_t type = 0;
  std::uint16_t size = 0;
  std::array<std::uint8_t, 4> access{};
  bool holdsRsaKey = false;  // private key files only: a usable key is stored
};

struct KeyDescription {
  std::uint8_t id = 0;
  std::uint8_t type = 0;
  std::array<std::uint8_t, 4> attributes{};
  unsigned maxTries = 0;
  unsigned triesLeft = 0;
  bool blocked = false;
};

struct TokenDescription {
  bool ssf33Supported = true;
  std::vector<FileDescription> files;  // in id order, the key file included
  std::vector<KeyDescription> keys;    // in id order
  std::size_t capacity = 0;            // bytes of EEPROM
  std::size_t used = 0;
  std::uint8_t securityState = 0;
  bool externalAuthGranted = false;
  std::uint16_t currentFile = 0;
  bool ssf33KeyLoaded = false;
};

// Describes a token made by Token::inMemory or Token::openFile. Throws
// TokenError when its file cannot be read.
TokenDescription describeToken(Token& token);
// Describes the token file at path without creating or changing it. Throws
// TokenError when it is missing or cannot be used.
TokenDescription describeTokenFile(const std::string& path);
// Several lines of text for people.
std::string formatDescription(const TokenDescription& description);

}  // namespace vtoken
