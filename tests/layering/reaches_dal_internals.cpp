// Compiled like a tool source, this must not build: the DAL's own headers are
// not visible to tools.
#include "dal/transport.h"

int main() { return 0; }
