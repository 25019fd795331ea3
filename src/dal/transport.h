// Card transport: every command goes to the reader driver through
// PELU7_tsi_api; three helpers create, write and read transparent files in
// chunks of at most 245 bytes. The helpers return 0 or the failing status word
// and leave its translation to their callers.
#pragma once

#include "apdu.h"

namespace pelu7 {

inline constexpr unsigned kMaxChunk = 245;

// A marker that no status word can equal: the card answered 9000 but sent
// fewer bytes than were asked for.
inline constexpr int kStatusShortAnswer = 0x10001;

// The helpers give 0 for success, so a refusal with the status word 0000
// (which a broken card or a driver may answer) is reported as this marker:
// no caller may take it for success.
inline constexpr int kStatusZero = 0x10000;

// A card that cannot be reached (pulled out, its reader or the reader
// service gone, the exchange broken: the driver's own statuses, SW1 = F0,
// but for a virtual token's storage failure) gives the
// library's "no device" answer, never an operation's own code, so that no
// caller takes a pulled card for a missing file or a refused PIN. The
// exchanges of one call on one thread are watched from openDevice() on.
void beginCardCall();
// `code`, or VORN_DAL_ERR_NO_DEVICE when an exchange of this call found the
// card unreachable.
int cardFailure(int code);
bool isDriverFailure(int status);

int PELU7_tsi_api(int cmdLen, const unsigned char* cmd, unsigned char* respLen, unsigned char* resp);

// Sends a command built on the stack and collects the answer.
int exchange(const CommandApdu& command, Response& response);

int PELU7_CreateFileBin(int fileId, int size, int readAccess, int writeAccess);
int PELU7_WriteFileBin(int fileId, int offset, const unsigned char* data, unsigned int length);
int PELU7_ReadFileBin(int fileId, int offset, unsigned char* buffer, unsigned int length);

}  // namespace pelu7
