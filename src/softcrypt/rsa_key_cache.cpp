#include "rsa_key_cache.h"

#include <openssl/crypto.h>
#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

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
  // A free entry if there is one, else the entry of the least recently used
  // key, which is freed here.
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

void RsaKeyCache::clear() noexcept {
  for (Entry& entry : entries_) {
    entry.rsa.reset();
    entry.lastUse = 0;
  }
  uses_ = 0;
}

namespace {

// A thread's cache, in a list of slots that only grows until the library is
// unloaded. A slot whose thread ended is free for the next new thread.
struct CacheSlot {
  RsaKeyCache cache;
  std::atomic<bool> inUse{true};
  CacheSlot* next = nullptr;  // set before the slot is published, never changed
};

std::atomic<CacheSlot*> slots{nullptr};
std::atomic<bool> tornDown{false};
pthread_key_t threadEndKey;
bool threadEndKeyMade = false;
std::once_flag setUpOnce;

thread_local CacheSlot* threadSlot = nullptr;

// A thread ended: its keys go, its slot becomes free.
void releaseSlot(void* slot) noexcept {
  auto* ended = static_cast<CacheSlot*>(slot);
  ended->cache.clear();
  ended->inUse.store(false, std::memory_order_release);
}

// At unload, or at exit: every key and slot goes; calls made after this
// (by threads still running at exit) build their keys per call.
void tearDown() noexcept {
  tornDown.store(true, std::memory_order_release);
  if (threadEndKeyMade) pthread_key_delete(threadEndKey);
  CacheSlot* slot = slots.exchange(nullptr, std::memory_order_acq_rel);
  while (slot != nullptr) {
    CacheSlot* next = slot->next;
    delete slot;
    slot = next;
  }
}

// Once per load of the library: OpenSSL is initialised first, so that the
// tear-down registered after it runs before OpenSSL's clean-up at exit; in
// a library loaded with dlopen it runs at dlclose.
void setUp() noexcept {
  OPENSSL_init_crypto(0, nullptr);
  threadEndKeyMade = pthread_key_create(&threadEndKey, releaseSlot) == 0;
  if (!threadEndKeyMade || std::atexit(tearDown) != 0) tornDown.store(true, std::memory_order_release);
}

CacheSlot* claimSlot() noexcept {
  for (CacheSlot* slot = slots.load(std::memory_order_acquire); slot != nullptr; slot = slot->next) {
    bool free = false;
    if (slot->inUse.compare_exchange_strong(free, true, std::memory_order_acquire)) return slot;
  }
  auto* made = new (std::nothrow) CacheSlot;
  if (made == nullptr) return nullptr;
  made->next = slots.load(std::memory_order_relaxed);
  while (!slots.compare_exchange_weak(made->next, made, std::memory_order_release, std::memory_order_relaxed)) {
  }
  return made;
}

}  // namespace

RsaKeyCache* threadRsaKeyCache() noexcept {
  if (threadSlot == nullptr) {
    try {
      std::call_once(setUpOnce, setUp);
    } catch (...) {  // the once flag could not be waited on
      return nullptr;
    }
    if (tornDown.load(std::memory_order_acquire)) return nullptr;
    CacheSlot* slot = claimSlot();
    if (slot == nullptr) return nullptr;
    if (pthread_setspecific(threadEndKey, slot) != 0) {
      releaseSlot(slot);
      return nullptr;
    }
    threadSlot = slot;
  }
  if (tornDown.load(std::memory_order_acquire)) return nullptr;
  return &threadSlot->cache;
}

}  // namespace softcrypt
