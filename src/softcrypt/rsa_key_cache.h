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
// The cache holds public keys only, at most kRsaKeyCacheSize of them,
// evicting the one least recently used. A lookup that finds its key takes no
// lock and allocates nothing. Each thread's cache lives in a slot of a
// process-wide list that only grows (a slot is claimed with one atomic
// exchange, without a lock, and the library starts no thread): when the
// thread ends, its keys are freed and the slot is left for the next new
// thread. When the library is unloaded, or at exit before OpenSSL's own
// clean-up, every slot is freed; the thread-local part is a plain pointer,
// so that nothing keeps the library loaded.
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

  // Frees every cached key.
  void clear() noexcept;

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

// The cache of the calling thread, made on its first use. Null when it
// cannot be made (no memory) or once the library is being unloaded; the
// caller then builds its key for the one call.
RsaKeyCache* threadRsaKeyCache() noexcept;

}  // namespace softcrypt
