// The library codes of the cipher families' results, in one place: one
// column per family of the streaming results (DES, RC2, SSF33 in ECB, SSF33 in
// CBC), the acquire refusals and the RC4 length refusal.
#pragma once

#include "softcrypt/block_stream.h"
#include "softcrypt/cipher_results.h"
#include "vorn_dal_pelu7.h"

namespace pelu7 {

enum class CipherFamily { Des, Rc2, Ssf33Ecb, Ssf33Cbc };

struct CipherCodeRow {
  softcrypt::StreamResult result;
  int des;
  int rc2;
  int ssf33Ecb;
  int ssf33Cbc;
};

// clang-format off
inline constexpr CipherCodeRow kCipherCodes[] = {
    // result                                     DES                       RC2                       SSF33 ECB                     SSF33 CBC
    {softcrypt::StreamResult::Ok,                 VORN_DAL_OK,              VORN_DAL_OK,              VORN_DAL_OK,                  VORN_DAL_OK},
    {softcrypt::StreamResult::BadMode,            VORN_DAL_ERR_MODE,        VORN_DAL_ERR_MODE,        VORN_DAL_ERR_MODE,            VORN_DAL_ERR_MODE},
    {softcrypt::StreamResult::BadPadding,         VORN_DAL_ERR_PADDING,     VORN_DAL_ERR_PADDING,     VORN_DAL_ERR_PADDING,         VORN_DAL_ERR_PADDING},
    {softcrypt::StreamResult::CiphertextLength,   VORN_DAL_ERR_DATA_LENGTH, VORN_DAL_ERR_DATA_LENGTH, VORN_DAL_ERR_DATA_LENGTH,     VORN_DAL_ERR_DATA_LENGTH},
    {softcrypt::StreamResult::DecryptFinalLength, VORN_DAL_ERR_OTHER,       VORN_DAL_ERR_DATA_LENGTH, VORN_DAL_ERR_DATA_LENGTH,     VORN_DAL_ERR_DATA_LENGTH},
    // A whole block pending (left by decryption updates) at an encryption final.
    {softcrypt::StreamResult::EncryptFinalLength, VORN_DAL_ERR_OTHER,       VORN_DAL_ERR_DATA_LENGTH, VORN_DAL_ERR_SSF33_ECB_FINAL, VORN_DAL_ERR_DATA_LENGTH},
    {softcrypt::StreamResult::MacLength,          VORN_DAL_ERR_DATA_LENGTH, VORN_DAL_ERR_DATA_LENGTH, VORN_DAL_ERR_DATA_LENGTH,     VORN_DAL_ERR_DATA_LENGTH},
    {softcrypt::StreamResult::OutputTooLong,      VORN_DAL_ERR_DATA_LENGTH, VORN_DAL_ERR_DATA_LENGTH, VORN_DAL_ERR_DATA_LENGTH,     VORN_DAL_ERR_DATA_LENGTH},
    // The software ciphers never refuse a block; the card may.
    {softcrypt::StreamResult::CipherFailed,       VORN_DAL_ERR_OTHER,       VORN_DAL_ERR_OTHER,       VORN_DAL_ERR_SSF33,           VORN_DAL_ERR_SSF33},
};
// clang-format on

constexpr int cipherCode(softcrypt::StreamResult result, CipherFamily family) noexcept {
  for (const CipherCodeRow& row : kCipherCodes) {
    if (row.result != result) continue;
    switch (family) {
      case CipherFamily::Des: return row.des;
      case CipherFamily::Rc2: return row.rc2;
      case CipherFamily::Ssf33Ecb: return row.ssf33Ecb;
      case CipherFamily::Ssf33Cbc: return row.ssf33Cbc;
    }
  }
  return VORN_DAL_ERR_OTHER;
}

// An acquire refused (no key length the family takes, no memory).
constexpr int acquireCode(softcrypt::AcquireResult result, CipherFamily family) noexcept {
  if (result == softcrypt::AcquireResult::Ok) return VORN_DAL_OK;
  return family == CipherFamily::Des ? VORN_DAL_ERR_KEY_OBJECT : VORN_DAL_ERR_OTHER;
}

// RC4: acquire refusals and updates too long for an int output length.
inline constexpr int kRc4AcquireRefused = VORN_DAL_ERR_OTHER;
constexpr int rc4Code(softcrypt::Rc4Result result) noexcept {
  return result == softcrypt::Rc4Result::Ok ? VORN_DAL_OK : VORN_DAL_ERR_OTHER;
}

}  // namespace pelu7
