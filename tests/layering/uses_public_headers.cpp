// Compiled like a tool source: the public DAL header and the virtual token's
// api header are all it may include, and they are enough.
#include "vorn_dal_pelu7.h"
#include "vtoken/virtual_token.h"

int main() { return VORN_DAL_GetErrMsg(0, nullptr) == 0 && vtoken::kVpcdDefaultPort != 0 ? 0 : 1; }
