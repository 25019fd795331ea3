// The reference side of the software cipher benchmarks: the same low-level
// OpenSSL calls that the library makes (DES_*, RC2_*, RC4), in bare loops
// that do the same work: PKCS#5 padding on encryption, its removal on
// decryption, and the CBC-MAC over the padded message with a zero start.
#pragma once

#include <openssl/des.h>
#include <openssl/rc2.h>
#include <openssl/rc4.h>
#include <openssl/sha.h>

#include <cstddef>

namespace bench {

enum class BlockCipherKind { Des, TripleDesTwoKey, TripleDesThreeKey, Rc2 };

inline constexpr int kEcb = 1;
inline constexpr int kCbc = 2;

class ReferenceBlockCipher {
 public:
  // key holds 8, 16 or 24 bytes for the DES kinds, 16 for RC2 (128 effective bits).
  ReferenceBlockCipher(BlockCipherKind kind, const unsigned char* key);

  // Encrypts length bytes with padding into out (length rounded down to 8,
  // plus 8 bytes); in CBC, iv is chained on. Returns the output length.
  std::size_t encrypt(int mode, unsigned char (&iv)[8], const unsigned char* in, std::size_t length,
                      unsigned char* out);
  // Decrypts a padded ciphertext (a positive multiple of 8 bytes); returns
  // the plaintext length, or 0 when the padding byte is out of range.
  std::size_t decrypt(int mode, unsigned char (&iv)[8], const unsigned char* in, std::size_t length,
                      unsigned char* out);
  // The CBC-MAC of the padded message, single blocks enciphered in ECB.
  void mac(const unsigned char* in, std::size_t length, unsigned char (&out)[8]);

 private:
  void ecbBlock(const unsigned char* in, unsigned char* out, bool encrypt);
  void cbcRun(const unsigned char* in, unsigned char* out, std::size_t length, unsigned char (&iv)[8], bool encrypt);
  void run(int mode, unsigned char (&iv)[8], const unsigned char* in, unsigned char* out, std::size_t length,
           bool encrypt);

  BlockCipherKind kind_;
  DES_key_schedule schedule1_;
  DES_key_schedule schedule2_;
  DES_key_schedule schedule3_;
  RC2_KEY rc2_;
};

// The value a PIN text is presented as: the first 8 bytes of its SHA-1
// digest, with the digest state on the stack (the low-level calls, which
// allocate nothing).
void derivePinReference(const unsigned char* text, std::size_t length, unsigned char (&out)[8]);

class ReferenceRc4 {
 public:
  ReferenceRc4(const unsigned char* key, int keyLength);
  void apply(const unsigned char* in, std::size_t length, unsigned char* out);

 private:
  RC4_KEY state_;
};

}  // namespace bench
