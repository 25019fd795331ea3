// What the software cipher operations report, in softcrypt's own terms; the
// library turns these into its result codes in one place.
#ifndef SOFTCRYPT_CIPHER_RESULTS_H
#define SOFTCRYPT_CIPHER_RESULTS_H

#include "softcrypt/block_stream.h"

namespace softcrypt {

// An acquire: a context was made, or the key length, the place for the handle
// or the memory was missing.
enum class AcquireResult { Ok, Refused };

// An RC4 update: done, or longer than an int output length can report.
enum class Rc4Result { Ok, TooLong };

}  // namespace softcrypt

#endif
