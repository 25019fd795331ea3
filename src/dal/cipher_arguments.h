// Argument checks shared by the cipher exports of every family (DES, RC2,
// RC4, SSF33).
//
// One rule for all of them: a handle that is not a context of the export's own
// kind, or a null pointer that the call would read or write, is refused with
// VORN_DAL_ERR_ARGUMENT before anything is read, written or sent. Each check
// returns the log text naming the first argument it refuses, or null when the
// call may go on; the export writes that text as its one log line at its own
// line, then returns VORN_DAL_ERR_ARGUMENT.
#pragma once

#include <cstdint>

namespace pelu7::cipher_arguments {

inline constexpr const char* kContext = "******>ctx";
inline constexpr const char* kKey = "******>key";
inline constexpr const char* kIv = "******>iv";
inline constexpr const char* kCtxOut = "******>ctxOut";
inline constexpr const char* kInData = "******>indata";
inline constexpr const char* kOutData = "******>outdata";
inline constexpr const char* kOutDataLen = "******>outDataLen";
inline constexpr const char* kMac = "******>mac";

inline constexpr int kModeCbc = 2;

// Acquire: the key is read when keyRead (a length the family refuses reads no
// key and is answered with the family's own code), the IV only in CBC.
inline const char* refusedAcquire(const void* key, bool keyRead, const void* iv, int mode, void** ctxOut) noexcept {
  if (ctxOut == nullptr) return kCtxOut;
  if (keyRead && key == nullptr) return kKey;
  if (mode == kModeCbc && iv == nullptr) return kIv;
  return nullptr;
}

// Update and one-shot cipher calls: inData is read when inDataLen is not 0,
// outData written when `writes` (an update that only buffers writes nothing),
// and the output length is always written.
inline const char* refusedUpdate(const void* context, const void* inData, std::uint32_t inDataLen, bool writes,
                                 const void* outData, const int* outDataLen) noexcept {
  if (context == nullptr) return kContext;
  if (inDataLen != 0 && inData == nullptr) return kInData;
  if (writes && outData == nullptr) return kOutData;
  if (outDataLen == nullptr) return kOutDataLen;
  return nullptr;
}

// Final cipher calls write their block to outData and its length.
inline const char* refusedFinal(const void* context, const void* outData, const int* outDataLen) noexcept {
  return refusedUpdate(context, nullptr, 0, true, outData, outDataLen);
}

// MAC calls: inData is read when inDataLen is not 0, mac written when macLen is not 0.
inline const char* refusedMac(const void* context, const void* inData, std::uint32_t inDataLen, const void* mac,
                              std::uint32_t macLen) noexcept {
  if (context == nullptr) return kContext;
  if (inDataLen != 0 && inData == nullptr) return kInData;
  if (macLen != 0 && mac == nullptr) return kMac;
  return nullptr;
}

}  // namespace pelu7::cipher_arguments
