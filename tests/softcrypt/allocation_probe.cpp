#include "allocation_probe.h"

#include <cstdlib>
#include <new>

namespace softcrypt_test::allocation_probe {

namespace {

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

}  // namespace

void refuseNextNothrowAllocation() { refuseNext = true; }

void watchRelease(const void* address, std::size_t size) {
  watched = address;
  watchedSize = size;
  result = WatchResult::NotReleased;
}

WatchResult watchResult() { return result; }

}  // namespace softcrypt_test::allocation_probe

using softcrypt_test::allocation_probe::inspect;

void* operator new(std::size_t size) {
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (softcrypt_test::allocation_probe::refuseNext) {
    softcrypt_test::allocation_probe::refuseNext = false;
    return nullptr;
  }
  return std::malloc(size == 0 ? 1 : size);
}

void operator delete(void* block) noexcept {
  inspect(block);
  std::free(block);
}

void operator delete(void* block, std::size_t) noexcept {
  inspect(block);
  std::free(block);
}
