// A stand-in for TKRDR.dll: port "USB1" opens as handle 7, every other port
// fails; ICC_tsi_api answers 0x9000 with the command's first byte echoed.
#include "tkrdr.h"

#include <cstring>

extern "C" {

int TKRDR_CALL CT_open(const char *portName, int, int) {
  return portName != nullptr && std::strcmp(portName, "USB1") == 0 ? 7 : -1;
}

int TKRDR_CALL CT_close(int handle) { return handle == 7 ? 0 : -1; }

int TKRDR_CALL ICC_reset(int handle, unsigned char *atrLen, unsigned char *) {
  if (atrLen != nullptr) *atrLen = 0;
  return handle == 7 ? 0x9000 : TKRDR_SW_NO_HANDLE;
}

int TKRDR_CALL ICC_tsi_api(int handle, int cmdLen, const unsigned char *cmd, unsigned char *respLen,
                           unsigned char *resp) {
  if (handle != 7) return TKRDR_SW_NO_HANDLE;
  if (cmd == nullptr || respLen == nullptr || resp == nullptr || cmdLen < 4) return TKRDR_SW_BAD_ARGS;
  resp[0] = cmd[0];
  *respLen = 1;
  return 0x9000;
}
}
