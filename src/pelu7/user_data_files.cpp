// Numbered user data files with their own read and write conditions. Each
// card file starts with a 2-byte header whose first byte marks it live (non
// zero) or deleted (00); deleting only marks it, so a number stays taken until
// the next formatting.
#include <cstdint>

#include "pelu7/card_layout.h"
#include "pelu7/connection.h"
#include "pelu7/file_ranges.h"
#include "pelu7/transport.h"

namespace pelu7 {
namespace {

constexpr int kMinFileType = 1;
constexpr int kMaxFileType = 3;

// Access classes 0, 1, 2 of the caller; 0 when the class is out of range.
std::uint8_t accessByteOf(int accessClass) {
  switch (accessClass) {
    case 0:
      return kAccessFree;
    case 1:
      return kAccessUser;
    case 2:
      return kAccessSuperUser;
    default:
      return 0;
  }
}

bool validType(int fileType) { return fileType >= kMinFileType && fileType <= kMaxFileType; }

// The number is not range-checked, and the id wraps modulo 0x10000, so a pair
// may name any card file. Pairs that would reach the library's own files (the
// key file and key-pair files below 0200, the global information file, the
// key-pair counter, the flag files, the MF) are refused: writing a header there
// would corrupt them. All other ids stay usable as they always were.
bool namesUsrDataFile(int fileType, int fileNo) {
  if (!validType(fileType)) return false;
  const int id = UsrDataFile(fileType, fileNo);
  if (id < kUsrDataFileTypeStride) return false;
  switch (id) {
    case GlobalInfoFile:
    case KeyPairCounterFile:
    case PinCheckFlagFile:
    case SuperUserPinCheckFlagFile:
    case MF:
      return false;
    default:
      return true;
  }
}

// A caller's range inside the data part, which starts after the header. An
// empty range fits anywhere: the caller reads or writes nothing.
bool fitsDataTransfer(int offset, int length) {
  if (length == 0) return true;
  return offset >= 0 && length > 0 && fitsTransfer(static_cast<long>(offset) + kUsrDataHeaderSize, length);
}

int writeHeader(int fileId, std::uint8_t status) {
  const unsigned char header[kUsrDataHeaderSize] = {status, 0x00};
  return PELU7_WriteFileBin(fileId, 0, header, sizeof header);
}

}  // namespace
}  // namespace pelu7

using namespace pelu7;

// Checks the file type and number and names the card file, or logs and returns -500.
#define FILE_ID_OR_RETURN(fileType, fileNo, fileIdOut)                        \
  do {                                                                              \
    if (!namesUsrDataFile(fileType, fileNo)) {                                      \
      PELU7_LOG("******>file type");                                                \
      return VORN_DAL_ERR_ARGUMENT;                                                 \
    }                                                                               \
    fileIdOut = UsrDataFile(fileType, fileNo);                                      \
  } while (0)

// Reads the header: the file must be readable and not marked deleted.
#define REQUIRE_LIVE_FILE(fileId)                                                   \
  do {                                                                              \
    unsigned char header_[kUsrDataHeaderSize];                                      \
    if (PELU7_ReadFileBin(fileId, 0, header_, sizeof header_) != 0) {               \
      PELU7_LOG("******>PELU7_ReadFileBin");                                        \
      return VORN_DAL_ERR_READ_FILE;                                                \
    }                                                                               \
    if (header_[0] == kUsrDataDeleted) {                                            \
      PELU7_LOG("******>file deled");                                               \
      return VORN_DAL_ERR_FILE_DELETED;                                             \
    }                                                                               \
  } while (0)

extern "C" VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_CreateUsrDataFile(int fileType, int fileNo, int size,
                                                                        int readAccess, int writeAccess) {
  PELU7_OPEN_DEVICE_OR_RETURN();
  const std::uint8_t readByte = accessByteOf(readAccess);
  if (readByte == 0) {
    PELU7_LOG("******>read");
    return VORN_DAL_ERR_ARGUMENT;
  }
  const std::uint8_t writeByte = accessByteOf(writeAccess);
  if (writeByte == 0) {
    PELU7_LOG("******>wrt");
    return VORN_DAL_ERR_ARGUMENT;
  }
  int fileId = 0;
  FILE_ID_OR_RETURN(fileType, fileNo, fileId);
  if (!fitsFileSize(static_cast<long>(size) + kUsrDataHeaderSize) || size < 0) {
    PELU7_LOG("******>file size");
    return VORN_DAL_ERR_ARGUMENT;
  }

  if (PELU7_CreateFileBin(fileId, size + kUsrDataHeaderSize, readByte, writeByte) != 0) {
    PELU7_LOG("******>create file");
    return VORN_DAL_ERR_CREATE_FILE;
  }
  const int result = writeHeader(fileId, kUsrDataLive);
  if (result != 0) {
    PELU7_LOG("******>PELU7_WriteFileBin");
    PELU7_LOG_FORMAT("PELU7_WriteFileBin error:0X%X", result);
    return VORN_DAL_ERR_WRITE_FILE;
  }
  return 0;
}

extern "C" VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_ReadUsrDataFile(int fileType, int fileNo, int offset,
                                                                      int length, unsigned char* outData) {
  PELU7_OPEN_DEVICE_OR_RETURN();
  int fileId = 0;
  FILE_ID_OR_RETURN(fileType, fileNo, fileId);
  if (!fitsDataTransfer(offset, length)) {
    PELU7_LOG("******>file range");
    return VORN_DAL_ERR_ARGUMENT;
  }
  REQUIRE_LIVE_FILE(fileId);
  if (length == 0) return 0;
  if (PELU7_ReadFileBin(fileId, offset + kUsrDataHeaderSize, outData, static_cast<unsigned>(length)) != 0) {
    PELU7_LOG("******>PELU7_ReadFileBin");
    return VORN_DAL_ERR_READ_FILE;
  }
  return 0;
}

extern "C" VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_WriteUsrDataFile(int fileType, int fileNo, int offset,
                                                                       int length, const unsigned char* inData) {
  PELU7_OPEN_DEVICE_OR_RETURN();
  int fileId = 0;
  FILE_ID_OR_RETURN(fileType, fileNo, fileId);
  if (!fitsDataTransfer(offset, length)) {
    PELU7_LOG("******>file range");
    return VORN_DAL_ERR_ARGUMENT;
  }
  REQUIRE_LIVE_FILE(fileId);
  if (length == 0) return 0;
  const int result = PELU7_WriteFileBin(fileId, offset + kUsrDataHeaderSize, inData, static_cast<unsigned>(length));
  if (result != 0) {
    PELU7_LOG("******>PELU7_WriteFileBin");
    PELU7_LOG_FORMAT("PELU7_WriteFileBin error:0X%X", result);
    return VORN_DAL_ERR_WRITE_FILE;
  }
  return 0;
}

extern "C" VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_DeleteUsrDataFile(int fileType, int fileNo) {
  PELU7_OPEN_DEVICE_OR_RETURN();
  int fileId = 0;
  FILE_ID_OR_RETURN(fileType, fileNo, fileId);
  const int result = writeHeader(fileId, kUsrDataDeleted);
  if (result != 0) {
    PELU7_LOG("******>PELU7_WriteFileBin");
    PELU7_LOG_FORMAT("PELU7_WriteFileBin error:0X%X", result);
    return VORN_DAL_ERR_DELETE_FILE;
  }
  return 0;
}
