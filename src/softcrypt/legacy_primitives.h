// Thin wrappers over the low-level DES, RC2 and RC4 calls of libcrypto.
//
// These calls are deprecated in OpenSSL 3 but need no provider, so they work
// in any host process whatever its provider configuration. Keeping every call
// behind these wrappers confines the deprecation to one translation unit.
#ifndef SOFTCRYPT_LEGACY_PRIMITIVES_H
#define SOFTCRYPT_LEGACY_PRIMITIVES_H

#include <openssl/des.h>
#include <openssl/rc2.h>
#include <openssl/rc4.h>

#include <cstddef>

namespace softcrypt::legacy {

// Expands one 8-byte DES key; parity is ignored and weak keys are accepted.
void desSetKey(const unsigned char (&key)[8], DES_key_schedule& schedule) noexcept;

// One 8-byte block with single DES.
void desEcb(const unsigned char* in, unsigned char* out, DES_key_schedule& schedule, bool encrypt) noexcept;

// One 8-byte block with triple DES (EDE on encryption, DED on decryption).
void desEcb3(const unsigned char* in, unsigned char* out, DES_key_schedule& k1, DES_key_schedule& k2,
             DES_key_schedule& k3, bool encrypt) noexcept;

// A run of whole blocks in CBC; iv is replaced by the last ciphertext block.
void desCbc(const unsigned char* in, unsigned char* out, std::size_t length, DES_key_schedule& schedule,
            unsigned char (&iv)[8], bool encrypt) noexcept;
void desEde3Cbc(const unsigned char* in, unsigned char* out, std::size_t length, DES_key_schedule& k1,
                DES_key_schedule& k2, DES_key_schedule& k3, unsigned char (&iv)[8], bool encrypt) noexcept;

// RC2 key set-up with an explicit effective key length in bits.
void rc2SetKey(RC2_KEY& schedule, const unsigned char* key, int keyLen, int effectiveBits) noexcept;

// One 8-byte block with RC2.
void rc2Ecb(const unsigned char* in, unsigned char* out, RC2_KEY& schedule, bool encrypt) noexcept;

// A run of whole blocks with RC2 in CBC; iv is replaced by the last ciphertext block.
void rc2Cbc(const unsigned char* in, unsigned char* out, std::size_t length, RC2_KEY& schedule, unsigned char (&iv)[8],
            bool encrypt) noexcept;

void rc4SetKey(RC4_KEY& state, const unsigned char* key, int keyLen) noexcept;

// XORs length bytes with the keystream; in and out may be the same buffer.
void rc4(RC4_KEY& state, std::size_t length, const unsigned char* in, unsigned char* out) noexcept;

}  // namespace softcrypt::legacy

#endif
