// The DES and RC2 families with what these tests expect of them, so that one test runs on both.
#ifndef SOFTCRYPT_TEST_CIPHER_FAMILY_H
#define SOFTCRYPT_TEST_CIPHER_FAMILY_H

#include <ostream>
#include <utility>

#include "evp_oracle.h"
#include "support/cipher_exports.h"
#include "vorn_dal_pelu7.h"

namespace softcrypt_test {

// A family's exports with what the tests expect of it and its reference cipher.
struct CipherFamily : testsupport::CipherExports {
  int finalLengthCode;  // decryption or encryption final with the wrong amount pending
  int acquireRefused;
  OracleCipher (*oracle)(const Bytes& key, int mode);
};

inline const CipherFamily kDes{{testsupport::kDesExports}, VORN_DAL_ERR_OTHER, VORN_DAL_ERR_KEY_OBJECT, desOracle};
inline const CipherFamily kRc2{{testsupport::kRc2Exports}, VORN_DAL_ERR_DATA_LENGTH, VORN_DAL_ERR_OTHER, rc2Oracle};

inline std::ostream& operator<<(std::ostream& os, const CipherFamily* family) { return os << family->name; }

using Context = testsupport::SoftCipherContext;

// Output of one call: its result code and the bytes it reported.
struct CallOutput {
  int code;
  Bytes data;
};

// Calls an update or one-shot export with an output buffer of room bytes; the
// length variable starts at a sentinel so that an unwritten length shows.
inline CallOutput callUpdate(VORN_DAL_FN_UPDATE fn, void* ctx, const Bytes& in, std::size_t room) {
  Bytes out(room + 1, 0xEE);
  int outLen = -7;
  const int code = fn(ctx, in.data(), static_cast<unsigned int>(in.size()), out.data(), &outLen);
  if (code != 0) return {code, {}};
  out.resize(static_cast<std::size_t>(outLen));
  return {code, out};
}

inline CallOutput callFinal(VORN_DAL_FN_FINAL fn, void* ctx) {
  Bytes out(16, 0xEE);
  int outLen = -7;
  const int code = fn(ctx, out.data(), &outLen);
  if (code != 0) return {code, {}};
  out.resize(static_cast<std::size_t>(outLen));
  return {code, out};
}

inline Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace softcrypt_test

#endif
