// The result codes of the software cipher families, in one table.
//
// The streaming results of block_stream.h are the same for DES and RC2; the
// codes they become are not (a bad final length is "other error" for DES and a
// data length error for RC2, and their acquire operations fail differently).
#ifndef SOFTCRYPT_CIPHER_CODES_H
#define SOFTCRYPT_CIPHER_CODES_H

#include "softcrypt/block_stream.h"
#include "vorn_dal_pelu7.h"

namespace softcrypt {

enum class BlockFamily { Des, Rc2 };

struct FamilyCodeRow {
  StreamResult result;
  int des;
  int rc2;
};

// clang-format off
inline constexpr FamilyCodeRow kFamilyCodes[] = {
    // result                          DES                       RC2
    {StreamResult::Ok,                 VORN_DAL_OK,              VORN_DAL_OK},
    {StreamResult::BadMode,            VORN_DAL_ERR_MODE,        VORN_DAL_ERR_MODE},
    {StreamResult::BadPadding,         VORN_DAL_ERR_PADDING,     VORN_DAL_ERR_PADDING},
    {StreamResult::CiphertextLength,   VORN_DAL_ERR_DATA_LENGTH, VORN_DAL_ERR_DATA_LENGTH},
    {StreamResult::DecryptFinalLength, VORN_DAL_ERR_OTHER,       VORN_DAL_ERR_DATA_LENGTH},
    {StreamResult::EncryptFinalLength, VORN_DAL_ERR_OTHER,       VORN_DAL_ERR_DATA_LENGTH},
    {StreamResult::MacLength,          VORN_DAL_ERR_DATA_LENGTH, VORN_DAL_ERR_DATA_LENGTH},
    {StreamResult::OutputTooLong,      VORN_DAL_ERR_DATA_LENGTH, VORN_DAL_ERR_DATA_LENGTH},
    // The software ciphers never refuse a block; listed so every result has a code.
    {StreamResult::CipherFailed,       VORN_DAL_ERR_OTHER,       VORN_DAL_ERR_OTHER},
};
// clang-format on

// Acquire refused: no memory for the context, a key length outside the
// interface, or no place to store the handle.
inline constexpr int kDesAcquireRefused = VORN_DAL_ERR_KEY_OBJECT;
inline constexpr int kRc2AcquireRefused = VORN_DAL_ERR_OTHER;
inline constexpr int kRc4AcquireRefused = VORN_DAL_ERR_OTHER;
// An RC4 update longer than an int output length can report.
inline constexpr int kRc4TooLong = VORN_DAL_ERR_OTHER;

constexpr int toCode(StreamResult result, BlockFamily family) noexcept {
  for (const FamilyCodeRow& row : kFamilyCodes)
    if (row.result == result) return family == BlockFamily::Des ? row.des : row.rc2;
  return VORN_DAL_ERR_OTHER;
}

}  // namespace softcrypt

#endif
