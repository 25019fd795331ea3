// Buffers for PIN values, keys and private key files, wiped (OPENSSL_cleanse)
// before their memory is given back.
//
//   SecureBytes     a byte vector on the heap whose allocator wipes every
//                   block it frees, so a reallocation leaves no stray copy;
//   SecureText      the same for text (a trace line that shows a key);
//   SecretBytes<N>  N bytes in place (on the stack), for code that must not
//                   allocate, wiped when it goes out of scope.
#pragma once

#include <openssl/crypto.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace common {

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
// Short texts live inside the object itself (no allocation): keep secrets
// in texts longer than that, or wipe the object too.
using SecureText = std::basic_string<char, std::char_traits<char>, CleansingAllocator<char>>;

template <std::size_t N>
struct SecretBytes {
  std::uint8_t bytes[N] = {};
  SecretBytes() = default;
  SecretBytes(const SecretBytes&) = delete;
  SecretBytes& operator=(const SecretBytes&) = delete;
  ~SecretBytes() { OPENSSL_cleanse(bytes, N); }
};

}  // namespace common
