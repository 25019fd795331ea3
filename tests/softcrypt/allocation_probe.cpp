#include "allocation_probe.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace softcrypt_test::allocation_probe {

namespace {

// Each block is laid out as a header holding its size, the block, then guard bytes.
constexpr std::size_t kHeader = 16;  // keeps the block as aligned as malloc's
constexpr std::size_t kGuard = 1024;
constexpr unsigned char kGuardByte = 0xA5;
std::size_t overruns = 0;

bool refuseNext = false;
const void* watched = nullptr;
std::size_t watchedSize = 0;
WatchResult result = WatchResult::NotReleased;

void inspect(void* block) noexcept {
  if (block == nullptr || block != watched) return;
  const auto* bytes = static_cast<const unsigned char*>(block);
  result = WatchResult::ReleasedZeroed;
  for (std::size_t i = 0; i < watchedSize; ++i)
    if (bytes[i] != 0) result = WatchResult::ReleasedWithData;
  watched = nullptr;
}

void* allocate(std::size_t size) noexcept {
  auto* raw = static_cast<unsigned char*>(std::malloc(kHeader + size + kGuard));
  if (raw == nullptr) return nullptr;
  std::memcpy(raw, &size, sizeof size);
  std::memset(raw + kHeader + size, kGuardByte, kGuard);
  return raw + kHeader;
}

void release(void* block) noexcept {
  if (block == nullptr) return;
  inspect(block);
  unsigned char* raw = static_cast<unsigned char*>(block) - kHeader;
  std::size_t size = 0;
  std::memcpy(&size, raw, sizeof size);
  for (std::size_t i = 0; i < kGuard; ++i) {
    if (raw[kHeader + size + i] != kGuardByte) {
      ++overruns;
      break;
    }
  }
  std::free(raw);
}

}  // namespace

std::size_t overrunBlocks() { return overruns; }

void refuseNextNothrowAllocation() { refuseNext = true; }

void watchRelease(const void* address, std::size_t size) {
  watched = address;
  watchedSize = size;
  result = WatchResult::NotReleased;
}

WatchResult watchResult() { return result; }

}  // namespace softcrypt_test::allocation_probe

using softcrypt_test::allocation_probe::allocate;
using softcrypt_test::allocation_probe::release;

void* operator new(std::size_t size) {
  if (void* block = allocate(size)) return block;
  throw std::bad_alloc();
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (softcrypt_test::allocation_probe::refuseNext) {
    softcrypt_test::allocation_probe::refuseNext = false;
    return nullptr;
  }
  return allocate(size);
}

void operator delete(void* block) noexcept { release(block); }

void operator delete(void* block, std::size_t) noexcept { release(block); }
