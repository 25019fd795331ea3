// The software cipher families as the benchmarks drive them: the library's
// exports of each family and the matching OpenSSL reference.
#pragma once

#include <array>
#include <cstddef>

#include "bench/openssl_reference.h"
#include "cipher_exports.h"
#include "vorn_dal_pelu7.h"

namespace bench {

struct BlockCipherCase {
  const char* name;
  BlockCipherKind kind;
  int keyLength;
  const testsupport::CipherExports* dal;
};

inline const std::array<BlockCipherCase, 4> kBlockCiphers{{
    {"DES", BlockCipherKind::Des, 8, &testsupport::kDesExports},
    {"3DES-2key", BlockCipherKind::TripleDesTwoKey, 16, &testsupport::kDesExports},
    {"3DES-3key", BlockCipherKind::TripleDesThreeKey, 24, &testsupport::kDesExports},
    {"RC2-128", BlockCipherKind::Rc2, 16, &testsupport::kRc2Exports},
}};

inline constexpr unsigned char kCipherKey[24] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF,
                                                 0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10,
                                                 0x0F, 0x1E, 0x2D, 0x3C, 0x4B, 0x5A, 0x69, 0x78};
inline constexpr unsigned char kCipherIv[8] = {0xA0, 0xB1, 0xC2, 0xD3, 0xE4, 0xF5, 0x06, 0x17};
inline constexpr int kRc4KeyLength = 16;

// The reference's CBC chaining value, starting at the IV.
struct ChainValue {
  unsigned char bytes[8] = {kCipherIv[0], kCipherIv[1], kCipherIv[2], kCipherIv[3],
                            kCipherIv[4], kCipherIv[5], kCipherIv[6], kCipherIv[7]};
};

inline const char* modeName(int mode) { return mode == kCbc ? "CBC" : "ECB"; }

// A cipher context of the library, released on scope exit.
using DalContext = testsupport::SoftCipherContext;

// Acquires a context of the case in the given mode; false when refused.
inline bool acquire(const BlockCipherCase& cipher, int mode, DalContext& context) {
  return cipher.dal->acquire(kCipherKey, cipher.keyLength, kCipherIv, mode, 0, context.out()) == 0;
}

inline bool acquireRc4(DalContext& context) {
  return VORN_DAL_Rc4AcquireContext(kCipherKey, kRc4KeyLength, nullptr, 0, 0, context.out()) == 0;
}

// Compares every family with the reference on one message and records the
// allocations of the cipher calls in the summary; false on any difference.
bool checkSoftwareCiphers();

}  // namespace bench
