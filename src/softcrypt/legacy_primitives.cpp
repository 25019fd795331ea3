// The only place that calls the deprecated low-level cipher functions.
#include "legacy_primitives.h"

namespace softcrypt::legacy {

namespace {

// libcrypto spells its input block type const_DES_cblock but without const; it
// never writes through it.
const_DES_cblock* inputBlock(const unsigned char* bytes) noexcept {
  return reinterpret_cast<const_DES_cblock*>(const_cast<unsigned char*>(bytes));
}

DES_cblock* outputBlock(unsigned char* bytes) noexcept { return reinterpret_cast<DES_cblock*>(bytes); }

}  // namespace

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

void desSetKey(const unsigned char (&key)[8], DES_key_schedule& schedule) noexcept {
  DES_set_key_unchecked(inputBlock(key), &schedule);
}

void desEcb(const unsigned char* in, unsigned char* out, DES_key_schedule& schedule, bool encrypt) noexcept {
  DES_ecb_encrypt(inputBlock(in), outputBlock(out), &schedule, encrypt ? DES_ENCRYPT : DES_DECRYPT);
}

void desEcb3(const unsigned char* in, unsigned char* out, DES_key_schedule& k1, DES_key_schedule& k2,
             DES_key_schedule& k3, bool encrypt) noexcept {
  DES_ecb3_encrypt(inputBlock(in), outputBlock(out), &k1, &k2, &k3, encrypt ? DES_ENCRYPT : DES_DECRYPT);
}

void desCbc(const unsigned char* in, unsigned char* out, std::size_t length, DES_key_schedule& schedule,
            unsigned char (&iv)[8], bool encrypt) noexcept {
  DES_ncbc_encrypt(in, out, static_cast<long>(length), &schedule, &iv, encrypt ? DES_ENCRYPT : DES_DECRYPT);
}

void desEde3Cbc(const unsigned char* in, unsigned char* out, std::size_t length, DES_key_schedule& k1,
                DES_key_schedule& k2, DES_key_schedule& k3, unsigned char (&iv)[8], bool encrypt) noexcept {
  DES_ede3_cbc_encrypt(in, out, static_cast<long>(length), &k1, &k2, &k3, &iv, encrypt ? DES_ENCRYPT : DES_DECRYPT);
}

void rc2SetKey(RC2_KEY& schedule, const unsigned char* key, int keyLen, int effectiveBits) noexcept {
  RC2_set_key(&schedule, keyLen, key, effectiveBits);
}

void rc2Ecb(const unsigned char* in, unsigned char* out, RC2_KEY& schedule, bool encrypt) noexcept {
  RC2_ecb_encrypt(in, out, &schedule, encrypt ? RC2_ENCRYPT : RC2_DECRYPT);
}

void rc2Cbc(const unsigned char* in, unsigned char* out, std::size_t length, RC2_KEY& schedule, unsigned char (&iv)[8],
            bool encrypt) noexcept {
  RC2_cbc_encrypt(in, out, static_cast<long>(length), &schedule, iv, encrypt ? RC2_ENCRYPT : RC2_DECRYPT);
}

void rc4SetKey(RC4_KEY& state, const unsigned char* key, int keyLen) noexcept { RC4_set_key(&state, keyLen, key); }

void rc4(RC4_KEY& state, std::size_t length, const unsigned char* in, unsigned char* out) noexcept {
  RC4(&state, length, in, out);
}

#pragma GCC diagnostic pop

}  // namespace softcrypt::legacy
