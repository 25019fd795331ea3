// External authentication of the host to the card with a two-key triple-DES
// key: the card's 8-byte challenge is encrypted and sent back.
#pragma once

namespace pelu7 {

// The result when the software triple-DES step failed; no status word equals it.
inline constexpr int kAuthSoftwareFailure = 0x10063;

// Returns kSwOk when the card accepted the cryptogram; otherwise the status
// of the failing GET CHALLENGE or EXTERNAL AUTHENTICATE, or
// kAuthSoftwareFailure (also for a challenge shorter than 8 bytes, which is
// never encrypted as if it were one).
int TransportKeyAuth(const unsigned char* key, int keyLen, int keyId);

}  // namespace pelu7
