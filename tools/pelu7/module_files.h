// The user data files the PKCS#11 module libpelu7-pkcs11.so keeps on a token
// (type 3, numbers 256 to 511: its token information, its object index and
// its object payloads). A running module trusts them as it last read them,
// so the tool does not create, write or delete them behind its back unless
// told to with --force; a forced change moves the module's change counter,
// so that every running module reads the token again.
#pragma once

#include "cli_args.h"

namespace pelu7tool {

inline constexpr OptionSpec kForceOption[] = {{"force", false}};

// Whether a user data file of this type and number lies where the module
// keeps its files.
bool inModuleRange(int type, int number);

// Before a change to file TYPE/NUMBER on the open token: without --force,
// refuses (ToolError naming the module) a file in the module's range on a
// token that carries the module's files. Returns whether the change must be
// followed by moveModuleCounter().
bool guardModuleFile(const ParsedArgs& args, int type, int number);

// After a forced change: moves the module's change counter in its index, so
// that running modules drop what they learnt. Warns on stderr when it cannot
// (the index needs the user's login to be written).
void moveModuleCounter();

}  // namespace pelu7tool
