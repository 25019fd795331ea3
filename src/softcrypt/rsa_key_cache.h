// The prepared RSA public keys of one thread.
//
// Host programs verify many signatures with one key. Building the OpenSSL
// RSA object from the modulus bytes, and OpenSSL's Montgomery set-up of the
// modulus on its first use, cost about as much as one 1024-bit public
// operation. Each thread therefore keeps the objects of the last few public
// keys it used, keyed by the whole RsaPublicKeyBlock (bit count, modulus and
// exponent bytes), so that a repeated key is used as OpenSSL uses a key
// object that it prepared once.
//
// The cache holds public keys only. It belongs to its thread (no lock, no
// thread of its own), holds at most kRsaKeyCacheSize keys, evicting the one
// least recently used, and frees every key when its thread ends (or, for the
// main thread, at exit), before OpenSSL's own clean-up runs. A lookup that
// finds its key allocates nothing.
#pragma once

#include <cstddef>
#include <cstdint>

#include "softcrypt/rsa_public_key.h"

namespace softcrypt {

inline constexpr std::size_t kRsaKeyCacheSize = 4;

class RsaKeyCache {
 public:
  RsaKeyCache() noexcept = default;
  RsaKeyCache(const RsaKeyCache&) = delete;
  RsaKeyCache& operator=(const RsaKeyCache&) = delete;

  // The RSA object of the block: the cached one when the same block was
  // used before, else one built now (toRsaKey) that takes the place of the
  // least recently used key. Null when OpenSSL cannot build it; nothing is
  // cached then. The object stays owned by the cache and is valid until the
  // next call of find on this cache.
  RSA* find(const RsaPublicKeyBlock& block) noexcept;

  // Whether the block's key is cached, without using it.
  bool holds(const RsaPublicKeyBlock& block) const noexcept;
  // How many keys are cached.
  std::size_t size() const noexcept;

 private:
  struct Entry {
    RsaPublicKeyBlock key;
    RsaHolder rsa;           // null: the entry is free
    std::uint64_t lastUse;   // the cache's use counter at the last find of this key
  };

  Entry entries_[kRsaKeyCacheSize]{};
  std::uint64_t uses_ = 0;
};

// The cache of the calling thread.
RsaKeyCache& threadRsaKeyCache() noexcept;

}  // namespace softcrypt
