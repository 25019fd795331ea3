/* A host program in C that includes only the public header and links only the
 * DAL: draws random bytes from an in-memory virtual token. */
#include <stdio.h>
#include <string.h>

#include "vorn_dal_pelu7.h"

int main(void) {
  unsigned char first[20], second[20];
  char message[VORN_DAL_ERRMSG_SIZE];
  int rc;

  memset(first, 0, sizeof first);
  memset(second, 0, sizeof second);
  rc = VORN_DAL_GenRand(sizeof first, first);
  if (rc != 0) {
    VORN_DAL_GetErrMsg(rc, message);
    fprintf(stderr, "VORN_DAL_GenRand failed: %d (%s)\n", rc, message);
    return 1;
  }
  if (VORN_DAL_GenRand(sizeof second, second) != 0 || memcmp(first, second, sizeof first) == 0) {
    fprintf(stderr, "second draw failed or repeated the first\n");
    return 1;
  }
  VORN_DAL_Finalize();
  printf("ok\n");
  return 0;
}
