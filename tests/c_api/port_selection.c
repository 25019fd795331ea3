/* A host program that calls the two decorated exports by the plain names the
 * public header declares, linked against the shared library alone. Built as C
 * and as C++. */
#include <stdio.h>

#include "vorn_dal_pelu7.h"

static int expect(const char* what, int got, int wanted) {
  if (got == wanted) return 0;
  fprintf(stderr, "%s: got %d, wanted %d\n", what, got, wanted);
  return 1;
}

int main(void) {
  unsigned char bytes[8];
  int failures = 0;
  failures += expect("InitializeEx(-1)", VORN_DAL_InitializeEx(-1), VORN_DAL_ERR_ARGUMENT);
  /* Index 1 is USB2, which the environment leaves unmapped. */
  failures += expect("InitializeEx(1)", VORN_DAL_InitializeEx(1), VORN_DAL_ERR_OPEN_DEVICE);
  failures += expect("InitializeEx(0)", VORN_DAL_InitializeEx(0), 0);
  failures += expect("GenRand on USB1", VORN_DAL_GenRand(sizeof bytes, bytes), 0);
  failures += expect("FinalizeEx(0)", VORN_DAL_FinalizeEx(0), 0);
  if (failures != 0) return 1;
  printf("ok\n");
  return 0;
}
