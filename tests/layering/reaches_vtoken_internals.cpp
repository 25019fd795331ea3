// Compiled like a tool source, this must not build: the card model's own
// headers are not visible to tools.
#include "vtoken/card_os.h"

int main() { return 0; }
