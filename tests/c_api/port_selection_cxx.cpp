// The same host program compiled as C++.
#include "port_selection.c"
