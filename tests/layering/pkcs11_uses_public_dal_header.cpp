// Compiled like a source of the PKCS#11 module: its own headers and the
// public DAL header are what it sees.
#include "card.h"
#include "vorn_dal_pelu7.h"

int main() { return VORN_DAL_GetErrMsg(0, nullptr) == 0 && sizeof(p11::PinCheck) > 0 ? 0 : 1; }
