// The shared PIN generations: a table of 256 records of 32 bytes behind a
// 16-byte header (identity, the user's and the security officer's PIN
// generations, the tries word, when the record was last used), in one shared file of the user. A record is claimed for an
// identity with a compare-and-swap on its first field; its generation and
// its tries word are then changed with atomic operations only.
#include "platform/pin_generations.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>

#include "platform/file_mapping.h"

namespace platform {
namespace {

constexpr char kFileName[] = "pelu7-pins";
constexpr std::uint32_t kMagic = 0x50375031;  // "P7P1": this layout
constexpr std::size_t kRecords = 256;
constexpr std::size_t kHeaderSize = 16;
constexpr std::size_t kRecordSize = 32;
constexpr std::size_t kFileSize = kHeaderSize + kRecords * kRecordSize;

// The tries word: one byte per role, 0 not known, kLocked, or kKnown | left.
constexpr std::uint32_t kKnown = 0x40;
constexpr std::uint32_t kLocked = 0x80;

struct Table {
  std::atomic<std::uint8_t*> base{nullptr};  // published once mapped
  std::mutex opening;
  SharedMapping mapping;
  bool failed = false;
};

Table& table() {
  static Table* shared = new Table;  // used by exit handlers too: never freed
  return *shared;
}

// The mapped table, or nullptr where the shared file cannot be had. The
// opening lock is only tried: a child of fork whose parent had a thread
// inside it goes on without the table rather than wait for ever.
std::uint8_t* mapped() {
  Table& t = table();
  if (std::uint8_t* base = t.base.load()) return base;
  std::unique_lock<std::mutex> guard(t.opening, std::try_to_lock);
  if (!guard.owns_lock() || t.failed) return nullptr;
  if (std::uint8_t* base = t.base.load()) return base;
  bool created = false;
  if (t.mapping.open(kFileName, kFileSize, created)) {
    t.failed = true;
    return nullptr;
  }
  std::atomic_ref<std::uint32_t> magic(*reinterpret_cast<std::uint32_t*>(t.mapping.data()));
  std::uint32_t expected = 0;
  if (!magic.compare_exchange_strong(expected, kMagic) && expected != kMagic) {
    // Not our table: nothing is shared rather than something misread.
    t.mapping.close();
    t.failed = true;
    return nullptr;
  }
  t.base.store(t.mapping.data());
  return t.mapping.data();
}

struct Record {
  std::atomic_ref<std::uint64_t> identity;
  std::atomic_ref<std::uint32_t> userGeneration;
  std::atomic_ref<std::uint32_t> soGeneration;
  std::atomic_ref<std::uint32_t> tries;
  std::atomic_ref<std::uint32_t> lastUsed;  // seconds since the epoch, wrapping

  std::atomic_ref<std::uint32_t>& generation(PinRole role) {
    return role == PinRole::kUser ? userGeneration : soGeneration;
  }
};

Record recordAt(std::uint8_t* base, std::size_t index) {
  std::uint8_t* at = base + kHeaderSize + index * kRecordSize;
  return Record{std::atomic_ref<std::uint64_t>(*reinterpret_cast<std::uint64_t*>(at)),
                std::atomic_ref<std::uint32_t>(*reinterpret_cast<std::uint32_t*>(at + 8)),
                std::atomic_ref<std::uint32_t>(*reinterpret_cast<std::uint32_t*>(at + 12)),
                std::atomic_ref<std::uint32_t>(*reinterpret_cast<std::uint32_t*>(at + 16)),
                std::atomic_ref<std::uint32_t>(*reinterpret_cast<std::uint32_t*>(at + 20))};
}

std::uint32_t now() {
  return static_cast<std::uint32_t>(
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count());
}

Record used(Record record) {
  record.lastUsed.store(now());
  return record;
}

// The record of an identity; `claim` makes one, taking over the record used
// longest ago when the table is full (its token's programs then find no
// generation and end their logins rather than try a PIN). nullopt: none.
std::optional<Record> find(std::uint64_t identity, bool claim) {
  if (identity == 0) return std::nullopt;
  std::uint8_t* base = mapped();
  if (base == nullptr) return std::nullopt;
  const std::size_t home = identity % kRecords;
  for (std::size_t step = 0; step < kRecords; ++step) {
    Record record = recordAt(base, (home + step) % kRecords);
    std::uint64_t held = record.identity.load();
    if (held == identity) return used(record);
    if (held != 0) continue;
    if (!claim) return std::nullopt;
    if (record.identity.compare_exchange_strong(held, identity) || held == identity) return used(record);
  }
  if (!claim) return std::nullopt;
  std::size_t oldest = home;
  const std::uint32_t time = now();
  for (std::size_t index = 0; index < kRecords; ++index) {
    if (time - recordAt(base, index).lastUsed.load() > time - recordAt(base, oldest).lastUsed.load()) oldest = index;
  }
  Record record = recordAt(base, oldest);
  record.userGeneration.store(0);
  record.soGeneration.store(0);
  record.tries.store(0);
  record.identity.store(identity);
  return used(record);
}

unsigned shiftOf(PinRole role) { return role == PinRole::kUser ? 0 : 8; }

}  // namespace

std::optional<std::uint32_t> pinGeneration(std::uint64_t identity, PinRole role) noexcept {
  if (identity == 0 || mapped() == nullptr) return std::nullopt;
  auto record = find(identity, false);
  return record ? record->generation(role).load() : 0;
}

std::uint32_t movePinGeneration(std::uint64_t identity, PinRole role) noexcept {
  auto record = find(identity, true);
  return record ? record->generation(role).fetch_add(1) + 1 : 0;
}

std::uint32_t movePinGenerationFrom(std::uint64_t identity, PinRole role, std::uint32_t seen) noexcept {
  auto record = find(identity, true);
  if (!record) return 0;
  std::uint32_t expected = seen;
  if (record->generation(role).compare_exchange_strong(expected, seen + 1)) return seen + 1;
  return expected;
}

PinTriesSeen pinTriesSeen(std::uint64_t identity, PinRole role) noexcept {
  const auto record = find(identity, false);
  if (!record) return {};
  const std::uint32_t byte = record->tries.load() >> shiftOf(role) & 0xFF;
  if ((byte & kLocked) != 0) return PinTriesSeen{0, true};
  if ((byte & kKnown) != 0) return PinTriesSeen{static_cast<int>(byte & 0x0F), false};
  return {};
}

void notePinTries(std::uint64_t identity, PinRole role, PinTriesSeen seen) noexcept {
  auto record = find(identity, seen.locked || seen.left >= 0);
  if (!record) return;
  std::uint32_t byte = 0;
  if (seen.locked) {
    byte = kLocked;
  } else if (seen.left >= 0) {
    byte = kKnown | (static_cast<std::uint32_t>(seen.left) & 0x0F);
  }
  const unsigned shift = shiftOf(role);
  std::uint32_t word = record->tries.load();
  while (!record->tries.compare_exchange_weak(word, (word & ~(0xFFu << shift)) | byte << shift)) {
  }
}

}  // namespace platform
