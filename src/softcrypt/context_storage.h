// Allocation and release of the software cipher contexts.
//
// DES, RC2 and RC4 contexts are freed by one release operation, which gets
// nothing but the handle. So every context type starts with a ContextTag
// naming its kind: release reads the tag, cleanses the whole context of that
// type (key, schedules, chaining value, pending bytes, MAC state, tag) and
// frees it. A handle whose tag is unknown was not made here and is left alone.
#ifndef SOFTCRYPT_CONTEXT_STORAGE_H
#define SOFTCRYPT_CONTEXT_STORAGE_H

#include <cstdint>
#include <new>
#include <type_traits>

namespace softcrypt {

enum class ContextTag : std::uint32_t {
  Des = 0x43534544,  // "DESC"
  Rc2 = 0x43325243,  // "CRC2"
  Rc4 = 0x43345243,  // "CRC4"
};

// Allocates a zero-filled context of type T carrying its tag; null without memory.
template <class T>
T* allocateContext(ContextTag tag) noexcept {
  static_assert(std::is_standard_layout_v<T> && std::is_trivially_destructible_v<T>);
  static_assert(std::is_same_v<decltype(T::tag), ContextTag>, "a context starts with its tag");
  T* context = new (std::nothrow) T{};
  if (context != nullptr) context->tag = tag;
  return context;
}

// Cleanses and frees a context of any of the three kinds; null is accepted.
// Always 0.
int releaseContext(void* ctx) noexcept;

}  // namespace softcrypt

#endif
