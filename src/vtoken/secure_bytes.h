// Byte buffers that wipe their memory (OPENSSL_cleanse) before giving it back,
// for everything that may hold key material, PIN values or private key files.
#pragma once

#include <openssl/crypto.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace vtoken {

template <typename T>
struct CleansingAllocator {
  using value_type = T;

  CleansingAllocator() noexcept = default;
  template <typename U>
  CleansingAllocator(const CleansingAllocator<U>&) noexcept {}

  T* allocate(std::size_t count) { return std::allocator<T>{}.allocate(count); }
  void deallocate(T* pointer, std::size_t count) noexcept {
    OPENSSL_cleanse(pointer, count * sizeof(T));
    std::allocator<T>{}.deallocate(pointer, count);
  }

  template <typename U>
  bool operator==(const CleansingAllocator<U>&) const noexcept {
    return true;
  }
};

using SecureBytes = std::vector<std::uint8_t, CleansingAllocator<std::uint8_t>>;

}  // namespace vtoken
