// The SSF33 steps of the hostile card target. One context at a time is kept
// between steps of an input, so that its cipher and MAC calls interleave with
// other exports; output buffers are exactly as long as the interface asks for,
// given the bytes the context holds back.
#pragma once

#include "byte_source.h"
#include "result_codes.h"

namespace fuzzing {

void ssf33Acquire(ByteSource& in);
void ssf33Cipher(ByteSource& in);
void ssf33Mac(ByteSource& in);
// Releases the context of the input, if any.
void ssf33Release();

}  // namespace fuzzing
