// The cipher exports gathered per family on the public header's function
// types, so that the tests, the fuzzers and the benchmarks drive every family
// through one table. Header-only: it needs nothing but the public header.
#ifndef TESTSUPPORT_CIPHER_EXPORTS_H
#define TESTSUPPORT_CIPHER_EXPORTS_H

#include "vorn_dal_pelu7.h"

namespace testsupport {

// The exports of one block cipher family (DES, RC2, SSF33).
struct CipherExports {
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
};

inline constexpr CipherExports kDesExports{"Des",
                                           VORN_DAL_DesAcquireContext,
                                           VORN_DAL_DesEncUpdate,
                                           VORN_DAL_DesEncFinal,
                                           VORN_DAL_DesEncrypt,
                                           VORN_DAL_DesDecUpdate,
                                           VORN_DAL_DesDecFinal,
                                           VORN_DAL_DesDecrypt,
                                           VORN_DAL_DesMacUpdate,
                                           VORN_DAL_DesMacFinal,
                                           VORN_DAL_DesMac};

inline constexpr CipherExports kRc2Exports{"Rc2",
                                           VORN_DAL_Rc2AcquireContext,
                                           VORN_DAL_Rc2EncUpdate,
                                           VORN_DAL_Rc2EncFinal,
                                           VORN_DAL_Rc2Encrypt,
                                           VORN_DAL_Rc2DecUpdate,
                                           VORN_DAL_Rc2DecFinal,
                                           VORN_DAL_Rc2Decrypt,
                                           VORN_DAL_Rc2MacUpdate,
                                           VORN_DAL_Rc2MacFinal,
                                           VORN_DAL_Rc2Mac};

inline constexpr CipherExports kSsf33Exports{"Ssf33",
                                             VORN_DAL_SSF33AcquireContext,
                                             VORN_DAL_SSF33EncUpdate,
                                             VORN_DAL_SSF33EncFinal,
                                             VORN_DAL_SSF33Encrypt,
                                             VORN_DAL_SSF33DecUpdate,
                                             VORN_DAL_SSF33DecFinal,
                                             VORN_DAL_SSF33Decrypt,
                                             VORN_DAL_SSF33MacUpdate,
                                             VORN_DAL_SSF33MacFinal,
                                             VORN_DAL_SSF33Mac};

// The exports of the stream cipher (RC4): one update for both directions.
struct StreamCipherExports {
  const char* name;
  VORN_DAL_FN_ACQUIRE acquire;
  VORN_DAL_FN_UPDATE update;
  VORN_DAL_FN_FINAL final;
  VORN_DAL_FN_UPDATE encrypt;
};

inline constexpr StreamCipherExports kRc4Exports{"Rc4", VORN_DAL_Rc4AcquireContext, VORN_DAL_Rc4Update,
                                                 VORN_DAL_Rc4Final, VORN_DAL_Rc4Encrypt};

// The acquire export of each software cipher family, by name.
struct NamedAcquire {
  const char* name;
  VORN_DAL_FN_ACQUIRE acquire;
};

inline constexpr NamedAcquire kSoftAcquires[] = {{kDesExports.name, kDesExports.acquire},
                                                 {kRc2Exports.name, kRc2Exports.acquire},
                                                 {kRc4Exports.name, kRc4Exports.acquire}};

// A software cipher context (DES, RC2 or RC4), released by the shared release
// export when it goes out of scope.
class SoftCipherContext {
 public:
  SoftCipherContext() = default;
  SoftCipherContext(const SoftCipherContext&) = delete;
  SoftCipherContext& operator=(const SoftCipherContext&) = delete;
  ~SoftCipherContext() { VORN_DAL_DesReleaseCtx(handle_); }

  void** out() { return &handle_; }
  void* get() const { return handle_; }

 private:
  void* handle_ = nullptr;
};

}  // namespace testsupport

#endif
