// Numbered user data files with their own read and write conditions. Each
// card file starts with a 2-byte header whose first byte marks it live (non
// zero) or deleted (00); deleting only marks it, so a number stays taken until
// the next formatting.
#include <cstdint>
#include <source_location>

#include "card_layout.h"
#include "connection.h"
#include "file_ranges.h"
#include "transport.h"

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

// Names the card file of a type and number in fileId, or logs "******>file
// type" at the caller's line and gives -500.
int usrDataFileId(int fileType, int fileNo, int& fileId, std::source_location site = std::source_location::current()) {
  if (!namesUsrDataFile(fileType, fileNo)) {
    logText("******>file type", site);
    return VORN_DAL_ERR_ARGUMENT;
  }
  fileId = UsrDataFile(fileType, fileNo);
  return 0;
}

// Reads the header: the file must be readable and not marked deleted. Logs a
// refusal at the caller's line.
int requireLiveFile(int fileId, std::source_location site = std::source_location::current()) {
  unsigned char header[kUsrDataHeaderSize];
  if (PELU7_ReadFileBin(fileId, 0, header, sizeof header) != 0) {
    logText("******>PELU7_ReadFileBin", site);
    return cardFailure(VORN_DAL_ERR_READ_FILE);
  }
  if (header[0] == kUsrDataDeleted) {
    logText("******>file deled", site);
    return cardFailure(VORN_DAL_ERR_FILE_DELETED);
  }
  return 0;
}

}  // namespace
}  // namespace pelu7

using namespace pelu7;

extern "C" VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_CreateUsrDataFile(int fileType, int fileNo, int size,
                                                                        int readAccess, int writeAccess) {
  if (int rc = openDevice(); rc != 0) return rc;
  const std::uint8_t readByte = accessByteOf(readAccess);
  if (readByte == 0) {
    logText("******>read");
    return VORN_DAL_ERR_ARGUMENT;
  }
  const std::uint8_t writeByte = accessByteOf(writeAccess);
  if (writeByte == 0) {
    logText("******>wrt");
    return VORN_DAL_ERR_ARGUMENT;
  }
  int fileId = 0;
  if (int rc = usrDataFileId(fileType, fileNo, fileId); rc != 0) return rc;
  if (!fitsFileSize(static_cast<long>(size) + kUsrDataHeaderSize) || size < 0) {
    logText("******>file size");
    return VORN_DAL_ERR_ARGUMENT;
  }

  if (PELU7_CreateFileBin(fileId, size + kUsrDataHeaderSize, readByte, writeByte) != 0) {
    logText("******>create file");
    return cardFailure(VORN_DAL_ERR_CREATE_FILE);
  }
  const int result = writeHeader(fileId, kUsrDataLive);
  if (result != 0) {
    logText("******>PELU7_WriteFileBin");
    logFormatted("PELU7_WriteFileBin error:0X%X", result);
    return cardFailure(VORN_DAL_ERR_WRITE_FILE);
  }
  return 0;
}

extern "C" VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_ReadUsrDataFile(int fileType, int fileNo, int offset,
                                                                      int length, unsigned char* outData) {
  if (int rc = openDevice(); rc != 0) return rc;
  int fileId = 0;
  if (int rc = usrDataFileId(fileType, fileNo, fileId); rc != 0) return rc;
  if (!fitsDataTransfer(offset, length)) {
    logText("******>file range");
    return VORN_DAL_ERR_ARGUMENT;
  }
  if (int rc = requireLiveFile(fileId); rc != 0) return rc;
  if (length == 0) return 0;
  if (PELU7_ReadFileBin(fileId, offset + kUsrDataHeaderSize, outData, static_cast<unsigned>(length)) != 0) {
    logText("******>PELU7_ReadFileBin");
    return cardFailure(VORN_DAL_ERR_READ_FILE);
  }
  return 0;
}

extern "C" VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_WriteUsrDataFile(int fileType, int fileNo, int offset,
                                                                       int length, const unsigned char* inData) {
  if (int rc = openDevice(); rc != 0) return rc;
  int fileId = 0;
  if (int rc = usrDataFileId(fileType, fileNo, fileId); rc != 0) return rc;
  if (!fitsDataTransfer(offset, length)) {
    logText("******>file range");
    return VORN_DAL_ERR_ARGUMENT;
  }
  if (int rc = requireLiveFile(fileId); rc != 0) return rc;
  if (length == 0) return 0;
  const int result = PELU7_WriteFileBin(fileId, offset + kUsrDataHeaderSize, inData, static_cast<unsigned>(length));
  if (result != 0) {
    logText("******>PELU7_WriteFileBin");
    logFormatted("PELU7_WriteFileBin error:0X%X", result);
    return cardFailure(VORN_DAL_ERR_WRITE_FILE);
  }
  return 0;
}

extern "C" VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_DeleteUsrDataFile(int fileType, int fileNo) {
  if (int rc = openDevice(); rc != 0) return rc;
  int fileId = 0;
  if (int rc = usrDataFileId(fileType, fileNo, fileId); rc != 0) return rc;
  const int result = writeHeader(fileId, kUsrDataDeleted);
  if (result != 0) {
    logText("******>PELU7_WriteFileBin");
    logFormatted("PELU7_WriteFileBin error:0X%X", result);
    return cardFailure(VORN_DAL_ERR_DELETE_FILE);
  }
  return 0;
}
