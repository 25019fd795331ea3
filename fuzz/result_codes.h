// The results an export may give: 0, a code of the library's table, or, from
// the three PIN operations, the number of tries left.
#pragma once

#include "vorn_dal_pelu7.h"

namespace fuzzing {

inline bool isLibraryCode(int code) {
  switch (code) {
    case VORN_DAL_OK:
    case VORN_DAL_ERR_USER_PIN_LOCKED:
    case VORN_DAL_ERR_SUPER_PIN_LOCKED:
    case VORN_DAL_ERR_NOT_SUPPORTED:
    case VORN_DAL_ERR_NO_DEVICE:
    case VORN_DAL_ERR_OPEN_DEVICE:
    case VORN_DAL_ERR_RESET_DEVICE:
    case VORN_DAL_ERR_OTHER:
    case VORN_DAL_ERR_UNLOCK_SUPER_PIN:
    case VORN_DAL_ERR_VERIFY_PIN:
    case VORN_DAL_ERR_UNLOCK_PIN:
    case VORN_DAL_ERR_CHANGE_PIN:
    case VORN_DAL_ERR_LOGIN:
    case VORN_DAL_ERR_LOGOUT:
    case VORN_DAL_ERR_ERASE:
    case VORN_DAL_ERR_MAKER_AUTH:
    case VORN_DAL_ERR_WRITE_FILE_OLD:
    case VORN_DAL_ERR_CREATE_FILE:
    case VORN_DAL_ERR_CREATE_KEY_FILE:
    case VORN_DAL_ERR_WRITE_KEY_FILE:
    case VORN_DAL_ERR_WRITE_PIN:
    case VORN_DAL_ERR_WRITE_FILE:
    case VORN_DAL_ERR_READ_FILE:
    case VORN_DAL_ERR_FILE_DELETED:
    case VORN_DAL_ERR_DELETE_FILE:
    case VORN_DAL_ERR_MODULUS_LENGTH:
    case VORN_DAL_ERR_GEN_KEY_PAIR:
    case VORN_DAL_ERR_DATA_LENGTH:
    case VORN_DAL_ERR_RSA:
    case VORN_DAL_ERR_KEY_OBJECT:
    case VORN_DAL_ERR_MODE:
    case VORN_DAL_ERR_PADDING:
    case VORN_DAL_ERR_SSF33:
    case VORN_DAL_ERR_RANDOM:
    case VORN_DAL_ERR_CREATE_LOCK:
    case VORN_DAL_ERR_LOCK:
    case VORN_DAL_ERR_SSF33_ECB_FINAL:
    case VORN_DAL_ERR_ARGUMENT:
      return true;
    default:
      return false;
  }
}

inline bool isPinResult(int code) { return isLibraryCode(code) || (code >= 1 && code <= 14); }

}  // namespace fuzzing
