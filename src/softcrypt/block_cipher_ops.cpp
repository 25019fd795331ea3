#include "softcrypt/block_cipher_ops.h"

#include "softcrypt/block_stream.h"

namespace softcrypt {

namespace {

constexpr std::size_t kBlockSize = 8;

template <class Context>
struct FamilyOf;

template <>
struct FamilyOf<DesContext> {
  using Cipher = DesBlockCipher;
};

template <>
struct FamilyOf<Rc2Context> {
  using Cipher = Rc2BlockCipher;
};

// The software ciphers move the chaining value on after a final block too.
template <class Context>
BlockStream<kBlockSize, ChainUpdate::Store> streamOf(Context& context) noexcept {
  return {context.pending, context.pendingLen};
}

template <class Context>
MacStream<kBlockSize> macStreamOf(Context& context) noexcept {
  return {context.pending, context.pendingLen, context.macState};
}

}  // namespace

template <class Context>
StreamResult encryptUpdate(Context& context, const unsigned char* in, std::uint32_t inLen, unsigned char* out,
                           int& outLen) noexcept {
  typename FamilyOf<Context>::Cipher cipher{context};
  return streamOf(context).encryptUpdate(cipher, in, inLen, out, outLen);
}

template <class Context>
StreamResult encryptFinal(Context& context, unsigned char* out, int& outLen) noexcept {
  typename FamilyOf<Context>::Cipher cipher{context};
  return streamOf(context).encryptFinal(cipher, out, outLen);
}

template <class Context>
StreamResult encrypt(Context& context, const unsigned char* in, std::uint32_t inLen, unsigned char* out,
                     int& outLen) noexcept {
  typename FamilyOf<Context>::Cipher cipher{context};
  return streamOf(context).encrypt(cipher, in, inLen, out, outLen);
}

template <class Context>
StreamResult decryptUpdate(Context& context, const unsigned char* in, std::uint32_t inLen, unsigned char* out,
                           int& outLen) noexcept {
  typename FamilyOf<Context>::Cipher cipher{context};
  return streamOf(context).decryptUpdate(cipher, in, inLen, out, outLen);
}

template <class Context>
StreamResult decryptFinal(Context& context, unsigned char* out, int& outLen) noexcept {
  typename FamilyOf<Context>::Cipher cipher{context};
  return streamOf(context).decryptFinal(cipher, out, outLen);
}

template <class Context>
StreamResult decrypt(Context& context, const unsigned char* in, std::uint32_t inLen, unsigned char* out,
                     int& outLen) noexcept {
  typename FamilyOf<Context>::Cipher cipher{context};
  return streamOf(context).decrypt(cipher, in, inLen, out, outLen);
}

template <class Context>
StreamResult macUpdate(Context& context, const unsigned char* in, std::uint32_t inLen) noexcept {
  typename FamilyOf<Context>::Cipher cipher{context};
  return macStreamOf(context).update(cipher, in, inLen);
}

template <class Context>
StreamResult macFinal(Context& context, unsigned char* mac, std::uint32_t macLen) noexcept {
  typename FamilyOf<Context>::Cipher cipher{context};
  return macStreamOf(context).finalize(cipher, mac, macLen);
}

template <class Context>
StreamResult mac(Context& context, const unsigned char* in, std::uint32_t inLen, unsigned char* macOut,
                 std::uint32_t macLen) noexcept {
  const StreamResult result = macUpdate(context, in, inLen);
  return result != StreamResult::Ok ? result : macFinal(context, macOut, macLen);
}

#define SOFTCRYPT_DEFINE_BLOCK_OPS(Context)                                                                          \
  template StreamResult encryptUpdate<Context>(Context&, const unsigned char*, std::uint32_t, unsigned char*, int&); \
  template StreamResult encryptFinal<Context>(Context&, unsigned char*, int&);                                       \
  template StreamResult encrypt<Context>(Context&, const unsigned char*, std::uint32_t, unsigned char*, int&);       \
  template StreamResult decryptUpdate<Context>(Context&, const unsigned char*, std::uint32_t, unsigned char*, int&); \
  template StreamResult decryptFinal<Context>(Context&, unsigned char*, int&);                                       \
  template StreamResult decrypt<Context>(Context&, const unsigned char*, std::uint32_t, unsigned char*, int&);       \
  template StreamResult macUpdate<Context>(Context&, const unsigned char*, std::uint32_t);                           \
  template StreamResult macFinal<Context>(Context&, unsigned char*, std::uint32_t);                                  \
  template StreamResult mac<Context>(Context&, const unsigned char*, std::uint32_t, unsigned char*, std::uint32_t);
SOFTCRYPT_DEFINE_BLOCK_OPS(DesContext)
SOFTCRYPT_DEFINE_BLOCK_OPS(Rc2Context)
#undef SOFTCRYPT_DEFINE_BLOCK_OPS

}  // namespace softcrypt
