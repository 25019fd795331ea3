// The shared PIN generations: a table of 256 records of 32 bytes behind a
// 16-byte header (identity, the user's and the security officer's PIN
// generations, the tries word, when the record was last used), read and
// written with file calls (never through a mapping that could fault) under
// the shared file's exclusive lock.
#include "platform/pin_generations.h"

#include <chrono>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <thread>
#include <vector>

#include "platform/file_mapping.h"
#include "platform/file_store.h"

namespace platform {
namespace {

constexpr char kFileName[] = "pelu7-pins";
constexpr std::uint32_t kMagic = 0x50375032;  // "P7P2": this layout
constexpr std::size_t kRecords = 256;
constexpr std::size_t kHeaderSize = 16;
constexpr std::size_t kFileSize = kHeaderSize + kRecords * 32;
constexpr int kLockAttempts = 200000;  // a holder keeps it for two small file calls

// The tries word: one byte per role, 0 not known, kLocked, or kKnown | left.
constexpr std::uint32_t kKnown = 0x40;
constexpr std::uint32_t kLocked = 0x80;

struct Entry {
  std::uint64_t identity = 0;
  std::uint32_t userGeneration = 0;
  std::uint32_t soGeneration = 0;
  std::uint32_t tries = 0;
  std::uint32_t lastUsed = 0;  // seconds since the epoch, wrapping
  std::uint32_t unused[2] = {0, 0};

  std::uint32_t& generation(PinRole role) { return role == PinRole::kUser ? userGeneration : soGeneration; }
};
static_assert(sizeof(Entry) == 32);

struct Table {
  std::mutex use;
  SharedMapping file;
  bool failed = false;
};

// Used by exit handlers too, so never destroyed; kept in the library's own
// storage, so that a library unloaded after closePinGenerations leaves nothing
// on the heap.
alignas(Table) unsigned char tableStorage[sizeof(Table)];
Table& table() {
  static Table* shared = new (tableStorage) Table;
  return *shared;
}

std::uint32_t now() {
  return static_cast<std::uint32_t>(
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count());
}

// Runs `work` on the record of `identity` (claimed when `claim`, taking over
// the record used longest ago when the table is full) under the file's lock,
// writing it back when `work` returns true. False when the table cannot be
// had or the identity has no record and none was to be made.
template <class Work>
bool withRecord(std::uint64_t identity, bool claim, Work work) {
  if (identity == 0) return false;
  Table& t = table();
  std::unique_lock<std::mutex> guard(t.use, std::try_to_lock);  // a child of fork never waits for ever
  if (!guard.owns_lock() || t.failed) return false;
  bool created = false;
  if (!t.file.isOpen() && t.file.open(kFileName, kFileSize, created)) {
    t.failed = true;
    return false;
  }
  int attempts = 0;
  while (tryLockExclusive(t.file.file())) {
    if (++attempts >= kLockAttempts) return false;
    std::this_thread::yield();
  }
  struct Unlock {
    const File& file;
    ~Unlock() { unlock(file); }
  } unlocker{t.file.file()};
  std::uint32_t magic = 0;
  if (t.file.readAt(0, &magic, sizeof magic)) return false;
  std::vector<Entry> entries(kRecords);
  if (magic != kMagic) {
    // New, or of another layout (an earlier version): started afresh, which
    // only makes kept PINs be dropped, never presented.
    if (t.file.writeAt(kHeaderSize, entries.data(), kRecords * sizeof(Entry))) return false;
    magic = kMagic;
    if (t.file.writeAt(0, &magic, sizeof magic)) return false;
  }
  if (t.file.readAt(kHeaderSize, entries.data(), kRecords * sizeof(Entry))) return false;
  std::optional<std::size_t> at;
  std::optional<std::size_t> empty;
  std::size_t oldest = 0;
  const std::uint32_t time = now();
  for (std::size_t i = 0; i < kRecords; ++i) {
    if (entries[i].identity == identity) at = i;
    if (entries[i].identity == 0 && !empty) empty = i;
    if (time - entries[i].lastUsed > time - entries[oldest].lastUsed) oldest = i;
  }
  if (!at) {
    if (!claim) return work(nullptr), true;
    at = empty.value_or(oldest);
    entries[*at] = Entry{};
    entries[*at].identity = identity;
  }
  Entry& entry = entries[*at];
  entry.lastUsed = time;
  work(&entry);
  return !t.file.writeAt(kHeaderSize + *at * sizeof(Entry), &entry, sizeof entry);
}

unsigned shiftOf(PinRole role) { return role == PinRole::kUser ? 0 : 8; }

}  // namespace

std::optional<std::uint32_t> pinGeneration(std::uint64_t identity, PinRole role) noexcept {
  std::uint32_t generation = 0;
  if (!withRecord(identity, false, [&](Entry* entry) {
        if (entry != nullptr) generation = entry->generation(role);
      })) {
    return std::nullopt;
  }
  return generation;
}

std::uint32_t movePinGeneration(std::uint64_t identity, PinRole role) noexcept {
  std::uint32_t generation = 0;
  withRecord(identity, true, [&](Entry* entry) { generation = ++entry->generation(role); });
  return generation;
}

std::uint32_t movePinGenerationFrom(std::uint64_t identity, PinRole role, std::uint32_t seen) noexcept {
  std::uint32_t generation = 0;
  withRecord(identity, true, [&](Entry* entry) {
    if (entry->generation(role) == seen) ++entry->generation(role);
    generation = entry->generation(role);
  });
  return generation;
}

PinTriesSeen pinTriesSeen(std::uint64_t identity, PinRole role) noexcept {
  PinTriesSeen seen;
  withRecord(identity, false, [&](Entry* entry) {
    if (entry == nullptr) return;
    const std::uint32_t byte = entry->tries >> shiftOf(role) & 0xFF;
    if ((byte & kLocked) != 0) seen = PinTriesSeen{0, true};
    if ((byte & kKnown) != 0) seen = PinTriesSeen{static_cast<int>(byte & 0x0F), false};
  });
  return seen;
}

void notePinTries(std::uint64_t identity, PinRole role, PinTriesSeen seen) noexcept {
  std::uint32_t byte = 0;
  if (seen.locked) {
    byte = kLocked;
  } else if (seen.left >= 0) {
    byte = kKnown | (static_cast<std::uint32_t>(seen.left) & 0x0F);
  }
  withRecord(identity, byte != 0, [&](Entry* entry) {
    if (entry == nullptr) return;
    const unsigned shift = shiftOf(role);
    entry->tries = (entry->tries & ~(0xFFu << shift)) | byte << shift;
  });
}

void closePinGenerations() noexcept {
  Table& t = table();
  std::lock_guard<std::mutex> guard(t.use);
  t.file.close();
  t.failed = false;
}

}  // namespace platform
