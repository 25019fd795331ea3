// Compiled like a source of the PKCS#11 module, this must not build: the
// module sees the DAL through its public header only.
#include "dal/transport.h"

int main() { return 0; }
