#include "softcrypt/block_cipher_ops.h"

#include "softcrypt/block_stream.h"
#include "softcrypt/cipher_codes.h"

namespace softcrypt {

namespace {

constexpr std::size_t kBlockSize = 8;

template <class Context>
struct FamilyOf;

template <>
struct FamilyOf<DesContext> {
  using Cipher = DesBlockCipher;
  static constexpr BlockFamily kFamily = BlockFamily::Des;
};

template <>
struct FamilyOf<Rc2Context> {
  using Cipher = Rc2BlockCipher;
  static constexpr BlockFamily kFamily = BlockFamily::Rc2;
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

template <class Context>
int codeOf(StreamResult result) noexcept {
  return toCode(result, FamilyOf<Context>::kFamily);
}

}  // namespace

template <class Context>
int encryptUpdate(Context& context, const unsigned char* in, std::uint32_t inLen, unsigned char* out,
                  int& outLen) noexcept {
  typename FamilyOf<Context>::Cipher cipher{context};
  return codeOf<Context>(streamOf(context).encryptUpdate(cipher, in, inLen, out, outLen));
}

template <class Context>
int encryptFinal(Context& context, unsigned char* out, int& outLen) noexcept {
  typename FamilyOf<Context>::Cipher cipher{context};
  return codeOf<Context>(streamOf(context).encryptFinal(cipher, out, outLen));
}

template <class Context>
int encrypt(Context& context, const unsigned char* in, std::uint32_t inLen, unsigned char* out, int& outLen) noexcept {
  typename FamilyOf<Context>::Cipher cipher{context};
  return codeOf<Context>(streamOf(context).encrypt(cipher, in, inLen, out, outLen));
}

template <class Context>
int decryptUpdate(Context& context, const unsigned char* in, std::uint32_t inLen, unsigned char* out,
                  int& outLen) noexcept {
  typename FamilyOf<Context>::Cipher cipher{context};
  return codeOf<Context>(streamOf(context).decryptUpdate(cipher, in, inLen, out, outLen));
}

template <class Context>
int decryptFinal(Context& context, unsigned char* out, int& outLen) noexcept {
  typename FamilyOf<Context>::Cipher cipher{context};
  return codeOf<Context>(streamOf(context).decryptFinal(cipher, out, outLen));
}

template <class Context>
int decrypt(Context& context, const unsigned char* in, std::uint32_t inLen, unsigned char* out, int& outLen) noexcept {
  typename FamilyOf<Context>::Cipher cipher{context};
  return codeOf<Context>(streamOf(context).decrypt(cipher, in, inLen, out, outLen));
}

template <class Context>
int macUpdate(Context& context, const unsigned char* in, std::uint32_t inLen) noexcept {
  typename FamilyOf<Context>::Cipher cipher{context};
  return codeOf<Context>(macStreamOf(context).update(cipher, in, inLen));
}

template <class Context>
int macFinal(Context& context, unsigned char* mac, std::uint32_t macLen) noexcept {
  typename FamilyOf<Context>::Cipher cipher{context};
  return codeOf<Context>(macStreamOf(context).finalize(cipher, mac, macLen));
}

template <class Context>
int mac(Context& context, const unsigned char* in, std::uint32_t inLen, unsigned char* macOut,
        std::uint32_t macLen) noexcept {
  const int result = macUpdate(context, in, inLen);
  return result != 0 ? result : macFinal(context, macOut, macLen);
}

#define SOFTCRYPT_DEFINE_BLOCK_OPS(Context)                                                                 \
  template int encryptUpdate<Context>(Context&, const unsigned char*, std::uint32_t, unsigned char*, int&); \
  template int encryptFinal<Context>(Context&, unsigned char*, int&);                                       \
  template int encrypt<Context>(Context&, const unsigned char*, std::uint32_t, unsigned char*, int&);       \
  template int decryptUpdate<Context>(Context&, const unsigned char*, std::uint32_t, unsigned char*, int&); \
  template int decryptFinal<Context>(Context&, unsigned char*, int&);                                       \
  template int decrypt<Context>(Context&, const unsigned char*, std::uint32_t, unsigned char*, int&);       \
  template int macUpdate<Context>(Context&, const unsigned char*, std::uint32_t);                           \
  template int macFinal<Context>(Context&, unsigned char*, std::uint32_t);                                  \
  template int mac<Context>(Context&, const unsigned char*, std::uint32_t, unsigned char*, std::uint32_t);
SOFTCRYPT_DEFINE_BLOCK_OPS(DesContext)
SOFTCRYPT_DEFINE_BLOCK_OPS(Rc2Context)
#undef SOFTCRYPT_DEFINE_BLOCK_OPS

}  // namespace softcrypt
