// Compiled like a source of the PKCS#11 module, this must not build: the
// reader driver is the DAL's business.
#include "driver/apdu_trace.h"

int main() { return 0; }
