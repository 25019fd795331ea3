// Allocation, recognition and release of the cipher contexts.
//
// Contexts reach the caller as opaque handles and come back as void*. So every
// context type starts with a ContextTag naming its kind, a 32-bit magic value
// at offset 0 that the library writes and no caller data shares a place with
// (keys and IVs come after it). Every operation looks the tag up before it
// uses a handle, and release reads it to know what it frees: it cleanses the
// whole context of that type (tag, key, schedules, chaining value, pending
// bytes, MAC state) and frees it. A handle whose tag is unknown was not made
// here and is left alone.
#ifndef SOFTCRYPT_CONTEXT_STORAGE_H
#define SOFTCRYPT_CONTEXT_STORAGE_H

#include <openssl/crypto.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>

namespace softcrypt {

// One value per kind of context the library hands out, including the SSF33
// context that the card-side cipher keeps.
enum class ContextTag : std::uint32_t {
  Des = 0x43534544,    // "DESC"
  Rc2 = 0x43325243,    // "CRC2"
  Rc4 = 0x43345243,    // "CRC4"
  Ssf33 = 0x33334653,  // "SF33"
};

template <class T>
concept TaggedContext = std::is_standard_layout_v<T> && std::is_trivially_destructible_v<T> &&
                        std::is_same_v<decltype(T::tag), ContextTag> && offsetof(T, tag) == 0 &&
                        std::is_same_v<decltype(T::kTag), const ContextTag>;

// The tag at the start of a handle, read without assuming its alignment.
// Null gives a value that no kind carries.
inline std::uint32_t tagAt(const void* ctx) noexcept {
  std::uint32_t tag = 0;
  if (ctx != nullptr) std::memcpy(&tag, ctx, sizeof tag);
  return tag;
}

// The context behind a handle when it carries T's tag; null otherwise
// (a null handle, or a context of another kind).
template <TaggedContext T>
T* contextOf(void* ctx) noexcept {
  if (tagAt(ctx) != static_cast<std::uint32_t>(T::kTag)) return nullptr;
  return static_cast<T*>(ctx);
}

// Allocates a zero-filled context of type T carrying its tag; null without memory.
template <TaggedContext T>
T* allocateContext() noexcept {
  T* context = new (std::nothrow) T{};
  if (context != nullptr) context->tag = T::kTag;
  return context;
}

// Cleanses and frees a context of type T.
template <TaggedContext T>
void destroyContext(T* context) noexcept {
  OPENSSL_cleanse(context, sizeof(T));
  delete context;
}

// Cleanses and frees a DES, RC2 or RC4 context recognised by its tag; true
// when it was one of them. Anything else (null included) is left alone.
bool releaseSoftContext(void* ctx) noexcept;

}  // namespace softcrypt

#endif
