#include "describe.h"

#include <cstdio>

#include "card_token.h"
#include "rsa_engine.h"
#include "token_store.h"

namespace vtoken {

namespace {

TokenDescription describeState(const CardState& state) {
  TokenDescription out;
  out.ssf33Supported = state.ssf33Supported;
  out.capacity = kCapacity;
  out.used = state.usedCapacity();
  out.securityState = state.securityState;
  out.externalAuthGranted = state.externalAuthGranted;
  out.currentFile = state.currentFile;
  out.ssf33KeyLoaded = !state.ssf33Key.empty();
  for (const auto& [id, file] : state.files) {
    out.files.push_back(
        {id, file.type, file.size, file.access, file.type == kFileTypeRsaPrivateKey && holdsRsaKey(file.content)});
    for (const auto& [keyId, key] : file.keys) {
      out.keys.push_back({keyId, key.type, key.attributes, key.maxTries(), key.triesLeft(), key.blocked()});
    }
  }
  return out;
}

const char* fileTypeName(std::uint8_t type) {
  switch (type) {
    case kFileTypeTransparent:
      return "transparent";
    case kFileTypeRsaPublicKey:
      return "RSA public key";
    case kFileTypeRsaPrivateKey:
      return "RSA private key";
    case kFileTypeKeyFile:
      return "key file";
    default:
      return "unknown";
  }
}

const char* keyTypeName(std::uint8_t type) {
  switch (type) {
    case kKeyTypeExternalAuth:
      return "external authentication key";
    case kKeyTypePin:
      return "PIN";
    case kKeyTypeUnblock:
      return "unblock key";
    default:
      return "unknown";
  }
}

std::string hex(unsigned value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*X", digits, value);
  return text;
}

std::string hexBytes(const std::array<std::uint8_t, 4>& bytes) {
  std::string out;
  for (const std::uint8_t byte : bytes) {
    if (!out.empty()) out += ' ';
    out += hex(byte, 2);
  }
  return out;
}

}  // namespace

TokenDescription describeToken(Token& token) {
  auto* card = dynamic_cast<CardToken*>(&token);
  if (card == nullptr) {
    throw TokenError("not a virtual token");
  }
  return describeState(card->snapshot());
}

TokenDescription describeTokenFile(const std::string& path) {
  const TokenStore store(path);
  const auto lock = store.lock();
  const auto loaded = store.load();
  if (!loaded) {
    throw TokenError("token file " + path + ": does not exist");
  }
  return describeState(loaded->state);
}

std::string formatDescription(const TokenDescription& d) {
  std::string out;
  out += "capacity: " + std::to_string(d.used) + " of " + std::to_string(d.capacity) + " bytes used, " +
         std::to_string(d.capacity - d.used) + " free\n";
  out += std::string("SSF33: ") + (d.ssf33Supported ? "supported" : "not supported") +
         (d.ssf33KeyLoaded ? ", key loaded" : "") + "\n";
  out += "security state: " + hex(d.securityState, 1) +
         (d.externalAuthGranted ? ", external authentication granted" : "") + "\n";
  out += "current file: " + hex(d.currentFile, 4) + "\n";
  out += "files: " + std::to_string(d.files.size()) + "\n";
  for (const auto& f : d.files) {
    out += "  " + hex(f.id, 4) + "  " + fileTypeName(f.type) + " (" + hex(f.type, 2) + "), " +
           std::to_string(f.size) + " bytes, access " + hexBytes(f.access);
    if (f.type == kFileTypeRsaPrivateKey) {
      out += f.holdsRsaKey ? ", holds a key" : ", empty";
    }
    out += "\n";
  }
  out += "key objects: " + std::to_string(d.keys.size()) + "\n";
  for (const auto& k : d.keys) {
    out += "  " + hex(k.id, 2) + "  " + keyTypeName(k.type) + " (" + hex(k.type, 2) + "), attributes " +
           hexBytes(k.attributes) + ", " +
           (k.blocked ? std::string("blocked")
                      : std::to_string(k.triesLeft) + " of " + std::to_string(k.maxTries) + " tries left") +
           "\n";
  }
  return out;
}

}  // namespace vtoken
