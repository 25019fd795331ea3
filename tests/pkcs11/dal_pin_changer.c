/* Changes the user PIN through the DAL alone, as another library or another
 * machine's program would: nothing of the PKCS#11 module or the pelu7 tool
 * learns of it. Logs the card out afterwards.
 *
 * usage: pkcs11_dal_pin_changer OLD_PIN NEW_PIN   (reader from PELU7_READERS) */
#include <stdio.h>
#include <string.h>

#include "vorn_dal_pelu7.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s OLD_PIN NEW_PIN\n", argv[0]);
    return 2;
  }
  const int changed = VORN_DAL_ChangePin(VORN_DAL_USER, (const unsigned char*)argv[1], (int)strlen(argv[1]),
                                         (const unsigned char*)argv[2], (int)strlen(argv[2]));
  const int loggedOut = VORN_DAL_Logout(VORN_DAL_USER);
  VORN_DAL_Finalize();
  if (changed != 0 || loggedOut != 0) {
    fprintf(stderr, "change %d, logout %d\n", changed, loggedOut);
    return 1;
  }
  return 0;
}
