// What the tool tells the other programs of the machine when it changes the
// token: a PIN changed or unblocked moves the machine's PIN generation of
// the token's identity, so that programs keeping the old PIN (the PKCS#11
// module) never present it; tries left that a refused PIN showed are
// recorded for them too; a format gives the token a new identity at once,
// the one the module then shows as the token's serial; a write to one of the
// module's files moves the module's change counter.
#pragma once

namespace pelu7tool {

// After the DAL's change or unblock of the role's PIN (VORN_DAL_USER or
// VORN_DAL_SUPER_USER) answered `result`.
void notePinResult(int role, int result);
// After a successful format: the token's new identity.
void giveNewIdentity();
// After a file of the token was created, written or deleted: when it is one
// of the PKCS#11 module's files, the change counter the module looks at
// moves, so that running modules read their files again.
void noteFileChange(int fileType, int fileNo);

}  // namespace pelu7tool
