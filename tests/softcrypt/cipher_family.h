// The DES and RC2 exports gathered per family, so that one test runs on both.
#ifndef SOFTCRYPT_TEST_CIPHER_FAMILY_H
#define SOFTCRYPT_TEST_CIPHER_FAMILY_H

#include <ostream>
#include <utility>

#include "evp_oracle.h"
#include "vorn_dal_pelu7.h"

namespace softcrypt_test {

struct CipherFamily {
  const char* name;
  VORN_DAL_FN_ACQUIRE acquire;
  VORN_DAL_FN_UPDATE encUpdate;
  VORN_DAL_FN_FINAL encFinal;
  VORN_DAL_FN_UPDATE encrypt;
  VORN_DAL_FN_UPDATE decUpdate;
  VORN_DAL_FN_FINAL decFinal;
  VORN_DAL_FN_UPDATE decrypt;
  VORN_DAL_FN_MAC_UPDATE macUpdate;
  VORN_DAL_FN_MAC_FINAL macFinal;
  VORN_DAL_FN_MAC mac;
  int finalLengthCode;  // decryption or encryption final with the wrong amount pending
  int acquireRefused;
  OracleCipher (*oracle)(const Bytes& key, int mode);
};

inline const CipherFamily kDes{"Des",
                               VORN_DAL_DesAcquireContext,
                               VORN_DAL_DesEncUpdate,
                               VORN_DAL_DesEncFinal,
                               VORN_DAL_DesEncrypt,
                               VORN_DAL_DesDecUpdate,
                               VORN_DAL_DesDecFinal,
                               VORN_DAL_DesDecrypt,
                               VORN_DAL_DesMacUpdate,
                               VORN_DAL_DesMacFinal,
                               VORN_DAL_DesMac,
                               VORN_DAL_ERR_OTHER,
                               VORN_DAL_ERR_KEY_OBJECT,
                               desOracle};

inline const CipherFamily kRc2{"Rc2",
                               VORN_DAL_Rc2AcquireContext,
                               VORN_DAL_Rc2EncUpdate,
                               VORN_DAL_Rc2EncFinal,
                               VORN_DAL_Rc2Encrypt,
                               VORN_DAL_Rc2DecUpdate,
                               VORN_DAL_Rc2DecFinal,
                               VORN_DAL_Rc2Decrypt,
                               VORN_DAL_Rc2MacUpdate,
                               VORN_DAL_Rc2MacFinal,
                               VORN_DAL_Rc2Mac,
                               VORN_DAL_ERR_DATA_LENGTH,
                               VORN_DAL_ERR_OTHER,
                               rc2Oracle};

inline std::ostream& operator<<(std::ostream& os, const CipherFamily* family) { return os << family->name; }

// A context released by the shared release export when the test ends.
class Context {
 public:
  Context() = default;
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;
  ~Context() { VORN_DAL_DesReleaseCtx(handle_); }

  void** out() { return &handle_; }
  void* get() const { return handle_; }

 private:
  void* handle_ = nullptr;
};

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
