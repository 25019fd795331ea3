#include "softcrypt/rsa_key_cache.h"

#include <cstring>

namespace softcrypt {

namespace {

// The cached entry of the block, or null.
template <typename Entries>
auto* matchingEntry(Entries& entries, const RsaPublicKeyBlock& block) noexcept {
  for (auto& entry : entries)
    if (entry.rsa && std::memcmp(&entry.key, &block, sizeof block) == 0) return &entry;
  return static_cast<decltype(&entries[0])>(nullptr);
}

}  // namespace

RSA* RsaKeyCache::find(const RsaPublicKeyBlock& block) noexcept {
  ++uses_;
  if (Entry* found = matchingEntry(entries_, block)) {
    found->lastUse = uses_;
    return found->rsa.get();
  }
  RsaHolder built = toRsaKey(block);
  if (!built) return nullptr;
  // A free entry if there is one (its lastUse is 0), else the least recently
  // used key, which is freed here.
  Entry* victim = &entries_[0];
  for (Entry& entry : entries_) {
    if (!entry.rsa) {
      victim = &entry;
      break;
    }
    if (entry.lastUse < victim->lastUse) victim = &entry;
  }
  victim->rsa = std::move(built);
  std::memcpy(&victim->key, &block, sizeof block);
  victim->lastUse = uses_;
  return victim->rsa.get();
}

bool RsaKeyCache::holds(const RsaPublicKeyBlock& block) const noexcept {
  return matchingEntry(entries_, block) != nullptr;
}

std::size_t RsaKeyCache::size() const noexcept {
  std::size_t count = 0;
  for (const Entry& entry : entries_)
    if (entry.rsa) ++count;
  return count;
}

RsaKeyCache& threadRsaKeyCache() noexcept {
  // Destroyed when the thread ends; for the main thread at exit, before the
  // handlers registered with atexit (OpenSSL's clean-up among them).
  thread_local RsaKeyCache cache;
  return cache;
}

}  // namespace softcrypt
