// The global information file: one transparent file of opaque caller data,
// readable by anybody and writable while the user is logged in.
#include "card_layout.h"
#include "connection.h"
#include "file_ranges.h"
#include "transport.h"

using namespace pelu7;

extern "C" VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_CreateGlobalInfoFile(int size) {
  if (int rc = openDevice(); rc != 0) return rc;
  if (!fitsFileSize(size)) {
    logText("******>file size");
    return VORN_DAL_ERR_ARGUMENT;
  }
  if (PELU7_CreateFileBin(GlobalInfoFile, size, kAccessFree, kAccessUser) != 0) {
    logText("******>create global info file");
    return cardFailure(VORN_DAL_ERR_CREATE_FILE);
  }
  return 0;
}

extern "C" VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_ReadGlobalInfoFile(int offset, int length,
                                                                         unsigned char* outData) {
  if (int rc = openDevice(); rc != 0) return rc;
  if (!fitsTransfer(offset, length)) {
    logText("******>file range");
    return VORN_DAL_ERR_ARGUMENT;
  }
  if (PELU7_ReadFileBin(GlobalInfoFile, offset, outData, static_cast<unsigned>(length)) != 0) {
    logText("******>PELU7_ReadFileBin");
    return cardFailure(VORN_DAL_ERR_READ_FILE);
  }
  return 0;
}

extern "C" VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_WriteGlobalInfoFile(int offset, int length,
                                                                          const unsigned char* inData) {
  if (int rc = openDevice(); rc != 0) return rc;
  if (!fitsTransfer(offset, length)) {
    logText("******>file range");
    return VORN_DAL_ERR_ARGUMENT;
  }
  const int result = PELU7_WriteFileBin(GlobalInfoFile, offset, inData, static_cast<unsigned>(length));
  if (result != 0) {
    logText("******>PELU7_WriteFileBin");
    logFormatted("PELU7_WriteFileBin error:0X%X", result);
    return cardFailure(VORN_DAL_ERR_WRITE_FILE);
  }
  return 0;
}
