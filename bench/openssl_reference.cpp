#include "bench/openssl_reference.h"

#include <cstring>

#include "bench/deprecated_call.h"

namespace bench {
namespace {

const_DES_cblock* inputBlock(const unsigned char* bytes) {
  return reinterpret_cast<const_DES_cblock*>(const_cast<unsigned char*>(bytes));
}

DES_cblock* outputBlock(unsigned char* bytes) { return reinterpret_cast<DES_cblock*>(bytes); }

void setDesKey(const unsigned char* key, DES_key_schedule& schedule) {
  BENCH_DEPRECATED_CALL(DES_set_key_unchecked(inputBlock(key), &schedule))
}

}  // namespace

ReferenceBlockCipher::ReferenceBlockCipher(BlockCipherKind kind, const unsigned char* key) : kind_(kind) {
  switch (kind) {
    case BlockCipherKind::Des:
      setDesKey(key, schedule1_);
      break;
    case BlockCipherKind::TripleDesTwoKey:
      setDesKey(key, schedule1_);
      setDesKey(key + 8, schedule2_);
      setDesKey(key, schedule3_);
      break;
    case BlockCipherKind::TripleDesThreeKey:
      setDesKey(key, schedule1_);
      setDesKey(key + 8, schedule2_);
      setDesKey(key + 16, schedule3_);
      break;
    case BlockCipherKind::Rc2:
      BENCH_DEPRECATED_CALL(RC2_set_key(&rc2_, 16, key, 128))
      break;
  }
}

void ReferenceBlockCipher::ecbBlock(const unsigned char* in, unsigned char* out, bool encrypt) {
  switch (kind_) {
    case BlockCipherKind::Des:
      BENCH_DEPRECATED_CALL(
          DES_ecb_encrypt(inputBlock(in), outputBlock(out), &schedule1_, encrypt ? DES_ENCRYPT : DES_DECRYPT))
      break;
    case BlockCipherKind::TripleDesTwoKey:
    case BlockCipherKind::TripleDesThreeKey:
      BENCH_DEPRECATED_CALL(DES_ecb3_encrypt(inputBlock(in), outputBlock(out), &schedule1_, &schedule2_,
                                             &schedule3_, encrypt ? DES_ENCRYPT : DES_DECRYPT))
      break;
    case BlockCipherKind::Rc2:
      BENCH_DEPRECATED_CALL(RC2_ecb_encrypt(in, out, &rc2_, encrypt ? RC2_ENCRYPT : RC2_DECRYPT))
      break;
  }
}

void ReferenceBlockCipher::cbcRun(const unsigned char* in, unsigned char* out, std::size_t length,
                                  unsigned char (&iv)[8], bool encrypt) {
  const long n = static_cast<long>(length);
  switch (kind_) {
    case BlockCipherKind::Des:
      BENCH_DEPRECATED_CALL(
          DES_ncbc_encrypt(in, out, n, &schedule1_, outputBlock(iv), encrypt ? DES_ENCRYPT : DES_DECRYPT))
      break;
    case BlockCipherKind::TripleDesTwoKey:
    case BlockCipherKind::TripleDesThreeKey:
      BENCH_DEPRECATED_CALL(DES_ede3_cbc_encrypt(in, out, n, &schedule1_, &schedule2_, &schedule3_,
                                                 outputBlock(iv), encrypt ? DES_ENCRYPT : DES_DECRYPT))
      break;
    case BlockCipherKind::Rc2:
      BENCH_DEPRECATED_CALL(RC2_cbc_encrypt(in, out, n, &rc2_, iv, encrypt ? RC2_ENCRYPT : RC2_DECRYPT))
      break;
  }
}

void ReferenceBlockCipher::run(int mode, unsigned char (&iv)[8], const unsigned char* in, unsigned char* out,
                               std::size_t length, bool encrypt) {
  if (mode == kCbc) {
    cbcRun(in, out, length, iv, encrypt);
    return;
  }
  for (std::size_t i = 0; i < length; i += 8) ecbBlock(in + i, out + i, encrypt);
}

std::size_t ReferenceBlockCipher::encrypt(int mode, unsigned char (&iv)[8], const unsigned char* in,
                                          std::size_t length, unsigned char* out) {
  const std::size_t whole = length / 8 * 8;
  if (whole != 0) run(mode, iv, in, out, whole, true);
  unsigned char last[8];
  const std::size_t rest = length - whole;
  std::memcpy(last, in + whole, rest);
  std::memset(last + rest, static_cast<int>(8 - rest), 8 - rest);
  run(mode, iv, last, out + whole, 8, true);
  return whole + 8;
}

std::size_t ReferenceBlockCipher::decrypt(int mode, unsigned char (&iv)[8], const unsigned char* in,
                                          std::size_t length, unsigned char* out) {
  const std::size_t lead = length - 8;
  if (lead != 0) run(mode, iv, in, out, lead, false);
  unsigned char last[8];
  run(mode, iv, in + lead, last, 8, false);
  const unsigned pad = last[7];
  if (pad == 0 || pad > 8) return 0;
  std::memcpy(out + lead, last, 8 - pad);
  return lead + 8 - pad;
}

void ReferenceBlockCipher::mac(const unsigned char* in, std::size_t length, unsigned char (&out)[8]) {
  unsigned char state[8] = {};
  unsigned char block[8];
  const std::size_t whole = length / 8 * 8;
  for (std::size_t i = 0; i < whole; i += 8) {
    for (int j = 0; j < 8; ++j) block[j] = state[j] ^ in[i + j];
    ecbBlock(block, state, true);
  }
  const std::size_t rest = length - whole;
  std::memcpy(block, in + whole, rest);
  std::memset(block + rest, static_cast<int>(8 - rest), 8 - rest);
  for (int j = 0; j < 8; ++j) block[j] ^= state[j];
  ecbBlock(block, out, true);
}

ReferenceRc4::ReferenceRc4(const unsigned char* key, int keyLength) {
  BENCH_DEPRECATED_CALL(RC4_set_key(&state_, keyLength, key))
}

void ReferenceRc4::apply(const unsigned char* in, std::size_t length, unsigned char* out) {
  BENCH_DEPRECATED_CALL(RC4(&state_, length, in, out))
}

void derivePinReference(const unsigned char* text, std::size_t length, unsigned char (&out)[8]) {
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA_CTX context;
  BENCH_DEPRECATED_CALL(SHA1_Init(&context))
  BENCH_DEPRECATED_CALL(SHA1_Update(&context, text, length))
  BENCH_DEPRECATED_CALL(SHA1_Final(digest, &context))
  std::memcpy(out, digest, sizeof out);
}

}  // namespace bench
