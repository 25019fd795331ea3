/* A host program built against an installed tree alone: formats an in-memory
 * virtual token, logs the user in and draws random bytes. */
#include <stdio.h>
#include <string.h>

#include <vorn_dal_pelu7.h>

static int step(const char* what, int rc) {
  if (rc == 0) return 0;
  fprintf(stderr, "%s failed: %d\n", what, rc);
  return 1;
}

int main(void) {
  static const unsigned char superPin[] = "87654321";
  static const unsigned char userPin[] = "12345678";
  unsigned char bytes[16];
  unsigned char zero[sizeof bytes];
  memset(bytes, 0, sizeof bytes);
  memset(zero, 0, sizeof zero);
  if (step("open USB1", VORN_DAL_InitializeEx(0)) != 0) return 1;
  if (step("format", VORN_DAL_FormatDevice(superPin, 8, userPin, 8)) != 0) return 1;
  if (step("login", VORN_DAL_Login(2, userPin, 8)) != 0) return 1;
  if (step("random", VORN_DAL_GenRand(sizeof bytes, bytes)) != 0) return 1;
  if (memcmp(bytes, zero, sizeof bytes) == 0) {
    fprintf(stderr, "random bytes are all zero\n");
    return 1;
  }
  VORN_DAL_FinalizeEx(0);
  printf("ok\n");
  return 0;
}
