// Opening and closing the reader port. The port is opened lazily by the first
// call that needs the card and stays open until Finalize or library unload.
#include "connection.h"

#include <cstdio>

#include "driver/tkrdr.h"
#include "platform/unload.h"

namespace pelu7 {

int readerHandle = kNoReader;

namespace {

constexpr int kOpenMode = 1;
constexpr int kOpenReserved = 0;
constexpr int kPortNameSize = 12;        // "USB" + up to 8 digits + terminator
constexpr int kLastPortIndex = 99999998; // index + 1 still has 8 digits
constexpr int kIndexOfFirstPortAgain = 8;

void closeReader() {
  if (readerHandle != kNoReader) {
    CT_close(readerHandle);
    readerHandle = kNoReader;
  }
}

int openPort(const char* name) {
  readerHandle = CT_open(name, kOpenMode, kOpenReserved);
  // An open port is closed when the library is unloaded (or the process
  // exits). Registered on the first successful open, after the driver's own
  // state exists, so that it runs before the driver's state is torn down.
  if (readerHandle != kNoReader) platform::runAtUnload(closeReader);
  return readerHandle;
}

}  // namespace
}  // namespace pelu7

using namespace pelu7;

extern "C" VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_Initialize(void) {
  if (readerHandle != kNoReader) return 0;
  if (openPort("USB1") != kNoReader) return 0;
  if (openPort("USB2") != kNoReader) return 0;
  logText("******>PELU7_open");
  return VORN_DAL_ERR_OPEN_DEVICE;
}

extern "C" VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_InitializeEx(int portIndex) {
  // Indexes whose port name would not fit the name buffer are refused like
  // negative ones: nothing else happens.
  if (portIndex < 0 || portIndex > kLastPortIndex) return VORN_DAL_ERR_ARGUMENT;
  closeReader();
  const int portNumber = portIndex == kIndexOfFirstPortAgain ? 1 : portIndex + 1;
  char name[kPortNameSize];
  std::snprintf(name, sizeof name, "USB%d", portNumber);
  if (openPort(name) != kNoReader) return 0;
  logText("******>device open");
  return VORN_DAL_ERR_OPEN_DEVICE;
}

extern "C" VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_Finalize(void) {
  closeReader();
  return 0;
}

extern "C" VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_FinalizeEx(int /*unused*/) {
  closeReader();
  return 0;
}

extern "C" VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_GetFreeSpace(int /*unused*/) {
  return VORN_DAL_ERR_NOT_SUPPORTED;
}
