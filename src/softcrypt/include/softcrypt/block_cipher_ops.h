// The cipher and MAC operations of the DES and RC2 contexts, reporting the
// streaming result (StreamResult::Ok on success). Output lengths are written
// only on success. Instantiated for DesContext and Rc2Context.
#ifndef SOFTCRYPT_BLOCK_CIPHER_OPS_H
#define SOFTCRYPT_BLOCK_CIPHER_OPS_H

#include <cstdint>

#include "softcrypt/des_context.h"
#include "softcrypt/rc2_context.h"

namespace softcrypt {

template <class Context>
StreamResult encryptUpdate(Context& context, const unsigned char* in, std::uint32_t inLen, unsigned char* out,
                           int& outLen) noexcept;
template <class Context>
StreamResult encryptFinal(Context& context, unsigned char* out, int& outLen) noexcept;
template <class Context>
StreamResult encrypt(Context& context, const unsigned char* in, std::uint32_t inLen, unsigned char* out,
                     int& outLen) noexcept;

template <class Context>
StreamResult decryptUpdate(Context& context, const unsigned char* in, std::uint32_t inLen, unsigned char* out,
                           int& outLen) noexcept;
template <class Context>
StreamResult decryptFinal(Context& context, unsigned char* out, int& outLen) noexcept;
template <class Context>
StreamResult decrypt(Context& context, const unsigned char* in, std::uint32_t inLen, unsigned char* out,
                     int& outLen) noexcept;

// The MAC ignores mode, IV and chaining value: single blocks under the key,
// chained through macState from zero.
template <class Context>
StreamResult macUpdate(Context& context, const unsigned char* in, std::uint32_t inLen) noexcept;
template <class Context>
StreamResult macFinal(Context& context, unsigned char* mac, std::uint32_t macLen) noexcept;
// An update then, if it succeeded, a final: a bad macLen is reported only
// after the data has been absorbed.
template <class Context>
StreamResult mac(Context& context, const unsigned char* in, std::uint32_t inLen, unsigned char* macOut,
                 std::uint32_t macLen) noexcept;

#define SOFTCRYPT_DECLARE_BLOCK_OPS(Context)                                                                          \
  extern template StreamResult encryptUpdate<Context>(Context&, const unsigned char*, std::uint32_t, unsigned char*,  \
                                                      int&);                                                          \
  extern template StreamResult encryptFinal<Context>(Context&, unsigned char*, int&);                                 \
  extern template StreamResult encrypt<Context>(Context&, const unsigned char*, std::uint32_t, unsigned char*, int&); \
  extern template StreamResult decryptUpdate<Context>(Context&, const unsigned char*, std::uint32_t, unsigned char*,  \
                                                      int&);                                                          \
  extern template StreamResult decryptFinal<Context>(Context&, unsigned char*, int&);                                 \
  extern template StreamResult decrypt<Context>(Context&, const unsigned char*, std::uint32_t, unsigned char*, int&); \
  extern template StreamResult macUpdate<Context>(Context&, const unsigned char*, std::uint32_t);                     \
  extern template StreamResult macFinal<Context>(Context&, unsigned char*, std::uint32_t);                            \
  extern template StreamResult mac<Context>(Context&, const unsigned char*, std::uint32_t, unsigned char*,            \
                                            std::uint32_t);
SOFTCRYPT_DECLARE_BLOCK_OPS(DesContext)
SOFTCRYPT_DECLARE_BLOCK_OPS(Rc2Context)
#undef SOFTCRYPT_DECLARE_BLOCK_OPS

}  // namespace softcrypt

#endif
