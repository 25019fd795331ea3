// The probe DLL. Probe_Sha1 hashes with the statically linked libcrypto;
// Probe_OpenPort opens a port through TKRDR.dll, imported at link time, and
// sends it one command. Both are __stdcall; probe_dll.def names their exports.
#include "tkrdr.h"

#include <openssl/crypto.h>
#include <openssl/sha.h>
#include <windows.h>

#include <cstdio>

extern "C" {

// At FreeLibrary (reserved is null) libcrypto's memory is given back, since
// the library registers no exit handler of its own; at process exit the
// system takes it.
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_DETACH && reserved == nullptr) OPENSSL_cleanup();
  return TRUE;
}

// Writes SHA-1(data) as 40 lower-case hex digits and a terminating zero.
int __stdcall Probe_Sha1(const unsigned char *data, int len, char *hexOut) {
  if (data == nullptr || len < 0 || hexOut == nullptr) return -1;
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(data, static_cast<size_t>(len), digest);
  for (int i = 0; i < SHA_DIGEST_LENGTH; ++i) std::snprintf(hexOut + 2 * i, 3, "%02x", digest[i]);
  return 0;
}

// Opens USB<portIndex>, resets the card, sends one command and closes the
// port again. Returns the echoed first command byte, or a negative value
// where a step failed.
int __stdcall Probe_OpenPort(int portIndex) {
  char port[16];
  std::snprintf(port, sizeof port, "USB%d", portIndex);
  int handle = CT_open(port, 1, 0);
  if (handle < 0) return -101;
  unsigned char atrLen = 0;
  unsigned char atr[33];
  if (ICC_reset(handle, &atrLen, atr) != 0x9000) {
    CT_close(handle);
    return -102;
  }
  const unsigned char command[] = {0x5A, 0x84, 0x00, 0x00, 0x08};
  unsigned char response[500];
  unsigned char responseLen = 0;
  int sw = ICC_tsi_api(handle, sizeof command, command, &responseLen, response);
  CT_close(handle);
  if (sw != 0x9000 || responseLen != 1) return -105;
  return response[0];
}
}
